"""The terminal console in a real 80 x 25 terminal (tmux): text before the screen opens, the
message box, the title, raw keys and line editing, resizing, and the terminal given back on
every way out with the last screen still readable."""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness as h  # noqa: E402

BOX_TOP = "\u2554"
BOX_BUTTON = "[ OK ]"


def shell(script):
    """A command line that runs script in sh inside the pane."""
    return "sh -c " + h.shell_quote(script)


def with_terminal_modes(command):
    """Runs command between two snapshots of the terminal mode (files before and after)."""
    return shell("stty -g > before; %s; status=$?; stty -g > after; exit $status" % command)


def read(folder, name):
    with open(os.path.join(folder, name), encoding="utf-8", errors="replace") as f:
        return f.read()


class BeforeTheScreen(unittest.TestCase):
    @h.needs(h.LINKSPY)
    def test_usage_stays_readable_and_the_terminal_mode_is_untouched(self):
        folder = h.run_folder()
        tmux = h.Tmux(with_terminal_modes(h.LINKSPY + " -h"), folder)
        try:
            self.assertEqual(tmux.exit_status(), 0)
            rows = tmux.screen()
            self.assertIn("LINKSPY: Max log file size 500 kBytes", rows)
            self.assertTrue(any(row.startswith("Usage: LOAD LINKSPY -h") for row in rows), rows)
            self.assertEqual(read(folder, "before"), read(folder, "after"))
        finally:
            tmux.close()


@h.needs(h.LINKSPY, h.QZ7EMU)
class OnTheScreen(h.EmulatorCase):
    emulator_args = ("--rate", "2")

    def tearDown(self):
        self.tmux.close()
        super().tearDown()

    def start(self, command):
        self.tmux = h.Tmux(command, self.folder)
        self.assertTrue(self.tmux.wait_for_text(BOX_BUTTON), self.tmux.screen())

    def box_rows(self):
        return [i for i, row in enumerate(self.tmux.screen()) if BOX_TOP in row]

    def test_box_title_keys_and_the_last_screen_after_ctrl_c(self):
        self.start(with_terminal_modes(h.LINKSPY + " -2"))
        rows = self.tmux.screen()
        top = self.box_rows()
        self.assertEqual(len(top), 1, rows)
        frame = rows[top[0]]
        self.assertIn(" LINKSPY ", frame)
        left = frame.index(BOX_TOP)
        right = frame.rindex("\u2557")
        self.assertLess(abs(left - (79 - right)), 2, frame)  # centred
        self.assertTrue(any("LINKSPY for Windows NT" in row for row in rows[top[0]:]), rows)
        self.assertEqual(self.tmux._tmux("display", "-p", "-t", "t", "#{pane_title}").strip(),
                         "LINKSPY for Windows NT")
        # Other keys leave the box up; Enter closes it and the screen goes on below it.
        self.tmux.send_keys(b"q")
        time.sleep(0.3)
        self.assertEqual(len(self.box_rows()), 1)
        self.tmux.send_keys(b"\r")
        self.assertTrue(self.tmux.wait_for_text("D-Channel Protocol"), self.tmux.screen())
        self.assertEqual(self.box_rows(), [])
        # Ctrl-C is a key here, and ends the program as Ctrl-X does.
        self.tmux.send_keys(h.CTRL["C"])
        self.assertEqual(self.tmux.exit_status(), 0)
        rows = self.tmux.screen()
        self.assertTrue(any("Clean at shutdown" in row for row in rows), rows)
        self.assertTrue(any(row.startswith("D-Channel Protocol") for row in rows), rows)
        self.assertEqual(read(self.folder, "before"), read(self.folder, "after"))

    def test_ctrl_c_at_the_start_up_box_closes_it_and_ends_the_program(self):
        self.start(with_terminal_modes(h.LINKSPY + " -2"))
        self.tmux.send_keys(h.CTRL["C"])
        self.assertEqual(self.tmux.exit_status(), 0)
        self.assertEqual(self.box_rows(), [])
        self.assertEqual(read(self.folder, "before"), read(self.folder, "after"))
        # Start-up ends at the box: no query, no decoder command, no report, no failed waits.
        rows = self.tmux.screen()
        self.assertTrue(any("Clean at shutdown" in row for row in rows), rows)
        self.assertFalse(any("WAIT_FOR_SIGNAL" in row or "Fileserver" in row for row in rows), rows)
        log = h.read_log(self.folder)
        self.assertRegex(log, rb"^\n\nStart program LINKSPY v0\.96\n.*\n"
                              rb"\*\* Version for internal use only \*\*\n"
                              rb"\d\d/\d\d/\d{4} \d\d:\d\d:\d\d Program unloaded\n$")
        sent = [line for line in self.emulator.commands() if not line.startswith("hex ")]
        self.assertFalse([line for line in sent if line.startswith(("adapter_req", "cmd"))], sent)

    def test_line_editing_at_the_prompt_then_a_signal_ends_the_wait(self):
        self.start(shell("echo $$ > pid; exec %s" % h.LINKSPY))
        self.tmux.send_keys(b" ")  # closes the box
        self.assertTrue(self.tmux.wait_for_text("D-Channel Protocol"))
        self.tmux.send_keys(h.ACCESS + b" ")
        self.assertTrue(self.tmux.wait_for(lambda rows: rows[23].startswith("C1:-)")),
                        self.tmux.screen())
        self.tmux.type_text(".hx\u00e9")
        self.tmux.send_keys(b"\x7f\x7f\x1b[D")  # two backspaces, an arrow key that is skipped
        # Page Up, Ctrl-Home and Up in their CSI and SS3 forms: keys, never characters.
        self.tmux.send_keys(b"\x1b[5~")
        self.tmux.send_keys(b"\x1b[1;5H")
        self.tmux.send_keys(b"\x1bOA")
        self.tmux.type_text("!")
        self.assertTrue(self.tmux.wait_for(lambda rows: rows[23] == "C1:-).h!"), self.tmux.screen())
        with open(os.path.join(self.folder, "pid")) as f:
            os.kill(int(f.read()), 15)
        self.assertEqual(self.tmux.exit_status(), 0)
        self.assertIn(b"Program unloaded\n", h.read_log(self.folder))

    def test_a_resized_terminal_shows_a_window_and_then_the_whole_screen(self):
        self.start(h.LINKSPY)
        self.tmux.send_keys(b"\r")
        self.assertTrue(self.tmux.wait_for_text("D-Channel Protocol"))
        full = self.tmux.screen()
        # 12 rows: the bottom ones, up to the cursor's row 12 (below the report).
        self.tmux.resize(40, 12)
        self.assertTrue(self.tmux.wait_for(
            lambda rows: rows[0] == full[12][:39].ljust(39) + "+" and rows[12:] == [""] * 13),
            self.tmux.screen())
        # The access digits put the cursor on row 0: the window follows it up.
        self.tmux.send_keys(h.CTRL["P"])
        self.assertTrue(self.tmux.wait_for(lambda rows: rows[0] == ("1" + full[0][1:39]).ljust(39) + "+"),
                        self.tmux.screen())
        self.tmux.resize(100, 30)
        self.assertTrue(self.tmux.wait_for(
            lambda rows: rows[0] == "1" + full[0][1:] and rows[1:11] == full[1:11]),
            self.tmux.screen())
        self.tmux.send_keys(h.CTRL["X"])
        self.assertEqual(self.tmux.exit_status(), 0)

    def test_keys_stay_raw_when_standard_output_is_redirected(self):
        self.tmux = h.Tmux(with_terminal_modes(h.LINKSPY + " > out.txt"), self.folder)
        self.assertTrue(h.wait_until(lambda: b"D-Channel Protocol" in
                                     (open(os.path.join(self.folder, "out.txt"), "rb").read()
                                      if os.path.exists(os.path.join(self.folder, "out.txt"))
                                      else b"")))
        self.tmux.send_keys(h.CTRL["X"])
        self.assertEqual(self.tmux.exit_status(), 0)
        out = read(self.folder, "out.txt")
        self.assertIn("Clean at shutdown\n", out)
        self.assertEqual(read(self.folder, "before"), read(self.folder, "after"))


if __name__ == "__main__":
    h.main()
