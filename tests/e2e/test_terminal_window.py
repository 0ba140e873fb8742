"""The 80 x 25 screen in real terminals (tmux) of other sizes and kinds: the window onto it in
smaller panes and across resizes, the hand-back after the end, line mode for terminals that
cannot place the cursor, and the key mode across a stop from outside and quit signals."""

import os
import re
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness as h  # noqa: E402

TRACE_ROW = re.compile(r"^\d\d:\d\d:\d\d\.\d{3} [A-Z0-9]{3}")
ROWS_CUT = "\u2195"


# A whole row of shutdown lines: "Thread stopping ..." has no line end of its own.
SHUTDOWN_ROW = (r"^(Thread stopping \.\.\.)?(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d Program unloaded|"
                r"Clean at shutdown|\*Thread: [A-Z_]+: ReturnCode=0x[0-9A-F]+|"
                r"WAIT_FOR_MESSAGE-Thread stopped\.)?$")


def shell(script):
    return "sh -c " + h.shell_quote(script)


def process_state(pid):
    with open("/proc/%d/stat" % pid) as f:
        return f.read().rsplit(")", 1)[1].split()[0]


@h.needs(h.LINKSPY, h.QZ7EMU)
class Pane(unittest.TestCase):
    """linkspy -2 in a pane of the given size, past its start-up box."""

    def open_pane(self, command, width=80, height=25, rate="5"):
        self.emulator = h.Emulator("--rate", rate)
        self.addCleanup(self.emulator.stop)
        self.folder = h.run_folder(self.emulator.port)
        self.tmux = h.Tmux(command, self.folder, width=width, height=height)
        self.addCleanup(self.tmux.close)

    def start(self, width=80, height=25, rate="5"):
        self.open_pane(h.LINKSPY + " -2", width, height, rate)
        self.assertTrue(self.tmux.wait_for_text("[ OK ]"), self.tmux.screen())
        self.tmux.send_keys(b"\r")

    def wait_row(self, row, predicate, timeout=30.0):
        self.assertTrue(self.tmux.wait_for(lambda rows: predicate(rows[row]), timeout),
                        (row, self.tmux.screen()))

    def open_prompt(self, prompt_row):
        self.tmux.send_keys(h.ACCESS + b" ")
        self.wait_row(prompt_row, lambda row: row.startswith("C1:-)"))

    def command(self, line, prompt_row, reply):
        """Opens the prompt, enters line and waits for reply on the row below the prompt."""
        self.tmux.send_keys(b" ")
        self.wait_row(prompt_row, lambda row: row.rstrip() == "C1:-)")
        self.tmux.type_text(line)
        self.wait_row(prompt_row, lambda row: row.startswith("C1:-)" + line))
        self.tmux.send_keys(b"\r")
        self.wait_row(prompt_row + 1, lambda row: row.startswith(reply))

    def end(self):
        self.tmux.send_keys(h.CTRL["X"])
        self.assertEqual(self.tmux.exit_status(20), 0, self.tmux.screen())
        self.assertIn(b"Program unloaded\n", h.read_log(self.folder))


class SmallerPanes(Pane):
    def test_80_by_24_shows_the_newest_trace_line_and_every_reply(self):
        self.start(80, 24, rate="20")
        # Outside debug mode the region scrolls on row 24, the pane's last row.
        self.wait_row(23, TRACE_ROW.match, 30)
        self.assertEqual(self.tmux.screen()[0][79:], ROWS_CUT)
        newest = self.tmux.screen()[23][:23]
        self.assertTrue(newest in (h.read_log(self.folder) or b"").decode("latin-1"), newest)
        self.tmux.send_keys(h.ACCESS)
        for line, reply in ((".c", "Controller number: 1"), (".e", "Disp contr no on"),
                            (".e", "Disp contr no off"), (".f", "Filter enabled"),
                            (".f", "Filter disabled"), (".a", "Auto popup mode on"),
                            (".w", "Wait mode on"), (".x", "Please exit program"),
                            ("zz", "V42 CMT SM2")):
            self.command(line, 22, reply)
        self.wait_row(20, TRACE_ROW.match)  # model row 21, the newest in debug mode
        self.end()

    def test_80_by_24_shows_the_welcome_line_until_a_key_or_its_time_is_up(self):
        # Few trace lines: the region does not scroll the welcome line away meanwhile.
        self.start(80, 24, rate="1")
        self.assertTrue(self.tmux.wait_for_text("D-Channel Protocol"), self.tmux.screen())
        welcome = "Welcome in debug mode, ready for input..."

        def type_access_sequence():
            for key, digits in ((h.CTRL["P"], "1"), (h.CTRL["E"], "12")):
                self.tmux.send_keys(key)
                self.wait_row(0, lambda row: row.startswith(digits))
            self.tmux.send_keys(h.CTRL["N"])
            self.wait_row(0, lambda row: row.startswith(welcome))
            self.assertEqual(self.tmux.cursor(), (0, 2))
            self.assertEqual(self.tmux.screen()[0][79:], ROWS_CUT)

        def window_at_bottom(rows):  # model row 1, blank below the welcome line, on top
            return rows[0].rstrip(ROWS_CUT).strip() == ""

        type_access_sequence()
        time.sleep(1.0)  # it stays a while ...
        self.assertTrue(self.tmux.screen()[0].startswith(welcome), self.tmux.screen())
        self.assertTrue(self.tmux.wait_for(window_at_bottom, 10), self.tmux.screen())  # ... not on
        self.assertEqual(self.tmux.cursor(), (0, 1))
        # Logged out and in again: a key that does nothing in debug mode ends the showing at once.
        self.command(".l", 22, "")
        self.wait_row(0, lambda row: row.startswith("LINKSPY for Windows NT v0.96"))
        type_access_sequence()
        self.tmux.send_keys(b"x")
        self.assertTrue(self.tmux.wait_for(window_at_bottom, 2), self.tmux.screen())
        self.command(".x", 22, "Please exit program")
        self.end()

    def test_60_by_18_shows_the_prompt_the_typed_text_and_the_reply(self):
        self.start(60, 18)
        self.open_prompt(16)
        self.tmux.type_text(".c5")
        self.wait_row(16, lambda row: row.startswith("C1:-).c5"))
        self.assertEqual(self.tmux.cursor(), (8, 16))
        self.tmux.send_keys(b"\r")
        self.wait_row(17, lambda row: row.startswith("Controller number: 5"))
        self.assertEqual(self.tmux.screen()[0][59:], "+")
        # A line longer than the pane: the window follows the cursor to the right.
        self.tmux.send_keys(b" ")
        self.wait_row(16, lambda row: row.rstrip() == "C5:-)")
        self.tmux.type_text("l2d " + "x" * 66)
        self.wait_row(16, lambda row: row.rstrip().endswith("x" * 50))
        self.assertEqual(self.tmux.cursor()[0], 59)
        self.tmux.send_keys(b"\r")
        # The cursor stands behind the reply, beyond column 59: the window stays to the right.
        self.wait_row(17, lambda row: row.rstrip().endswith("FAX L3P STP"))
        self.end()

    def test_resized_with_the_prompt_open(self):
        self.start(80, 25)
        self.open_prompt(23)
        self.tmux.type_text(".x")
        self.wait_row(23, lambda row: row.startswith("C1:-).x"))
        self.tmux.resize(80, 20)
        self.wait_row(18, lambda row: row.startswith("C1:-).x"))
        self.wait_row(17, lambda row: row == "-" * 80)
        self.tmux.type_text("y")
        self.wait_row(18, lambda row: row.startswith("C1:-).xy"))
        self.tmux.resize(80, 25)
        self.wait_row(23, lambda row: row.startswith("C1:-).xy"))
        self.wait_row(0, lambda row: row.startswith("Welcome in debug mode"))
        self.tmux.send_keys(b"\r")
        self.wait_row(24, lambda row: row.startswith("Please exit program"))
        self.end()


class HandBack(Pane):
    def test_the_shell_continues_on_a_clean_row_after_help_screen_and_traces(self):
        self.open_pane(shell("%s -2; printf 'EXIT=%%s\\n' $?" % h.LINKSPY), rate="20")
        self.assertTrue(self.tmux.wait_for_text("[ OK ]"), self.tmux.screen())
        self.tmux.send_keys(b"\r")
        self.assertTrue(self.tmux.wait_for_text("D-Channel Protocol"))
        self.tmux.send_keys(h.ACCESS + b" ")
        self.wait_row(23, lambda row: row.startswith("C1:-)"))
        self.tmux.type_text(".h")
        self.tmux.send_keys(b"\r")
        self.assertTrue(self.tmux.wait_for_text("The following commands"), self.tmux.screen())
        self.wait_row(21, TRACE_ROW.match, 30)
        self.tmux.send_keys(b" ")
        self.wait_row(23, lambda row: row.startswith("C1:-)"))
        self.tmux.type_text(".x")
        self.tmux.send_keys(b"\r")
        self.wait_row(24, lambda row: row.startswith("Please exit program"))
        self.tmux.send_keys(h.CTRL["X"])
        self.assertTrue(self.tmux.wait_for_text("EXIT=0"), self.tmux.screen())
        rows = self.tmux.screen()
        at = [i for i, row in enumerate(rows) if "EXIT=0" in row]
        self.assertEqual(len(at), 1, rows)
        self.assertEqual(rows[at[0]], "EXIT=0")
        self.assertEqual(rows[at[0] + 1:], [""] * (len(rows) - at[0] - 1))
        # The shutdown lines stand on rows of their own, under the reply and above the shell
        # (the receive thread's last lines may come before or after the others).
        reply = [i for i, row in enumerate(rows) if row.startswith("Please exit program")]
        self.assertEqual(len(reply), 1, rows)
        shutdown = rows[reply[0] + 1:at[0]]
        self.assertIn("Clean at shutdown", shutdown)
        self.assertTrue(any(row.endswith(" Program unloaded") for row in shutdown), rows)
        for row in shutdown:
            self.assertRegex(row, SHUTDOWN_ROW)
        self.assertIn("-" * 80, rows)  # the prompt's separator, a full row
        self.assertTrue(any(TRACE_ROW.match(row) for row in rows[:at[0]]), rows)


class LineMode(Pane):
    def test_unknown_and_dumb_terminals_get_lines(self):
        for term, reason in (("nosuchterm", 'terminal type "nosuchterm" is unknown'),
                             ("dumb", 'terminal type "dumb" cannot place the cursor'),
                             ("", "TERM is not set")):
            with self.subTest(term=term):
                setting = "TERM=%s" % term if term else "-u TERM"
                self.open_pane(shell("echo $$ > pid; exec env %s %s -2" % (setting, h.LINKSPY)),
                               rate="10")
                raw = os.path.join(self.folder, "raw")
                self.tmux._tmux("pipe-pane", "-t", "t", "-o", "cat > " + h.shell_quote(raw))
                self.assertTrue(self.tmux.wait_for_text("Press Enter to continue"),
                                self.tmux.screen())
                self.assertTrue(self.tmux.wait_for_text(
                    "LINKSPY: %s: line mode, no screen" % reason), self.tmux.screen())
                self.assertTrue(self.tmux.wait_for_text("ISDN trace monitor"))
                self.tmux.send_keys(b"\r")
                self.assertTrue(self.tmux.wait_for(
                    lambda rows: sum(bool(TRACE_ROW.match(row)) for row in rows) >= 3, 30),
                    self.tmux.screen())
                self.tmux.send_keys(h.ACCESS + b" ")
                self.assertTrue(self.tmux.wait_for(
                    lambda rows: any(row.startswith("C1:-)") for row in rows)), self.tmux.screen())
                self.tmux.type_text(".c")
                self.tmux.send_keys(b"\r")
                self.assertTrue(self.tmux.wait_for_text("Controller number: 1"), self.tmux.screen())
                self.tmux.send_keys(h.CTRL["X"])
                self.assertEqual(self.tmux.exit_status(20), 0)
                self.assertTrue(self.tmux.wait_for_text("Clean at shutdown"))
                rows = self.tmux.screen()
                self.assertTrue(any(row.startswith("C1:-).c") for row in rows), rows)
                with open(raw, "rb") as f:
                    output = f.read()
                self.assertNotIn(b"\x1b", output)
                # Each trace line is a line of its own.
                for line in re.findall(rb"[^\n]*\d\d:\d\d:\d\d\.\d{3} L2D[^\n]*\n", output):
                    self.assertRegex(line, rb"^\r?\d\d:\d\d:\d\d\.\d{3} L2D[^\r]*\r+\n$")
                self.tmux.close()
                self.emulator.stop()


class JobControlAndQuit(Pane):
    def stty(self, *args):
        with open(self.tmux.tty()) as tty:
            return subprocess.run(["stty", *args], stdin=tty, capture_output=True,
                                  text=True).stdout

    def modes(self):
        return self.stty("-g")

    def test_stop_and_continue_keep_the_key_mode(self):
        self.open_pane(shell("stty -g > before; echo $$ > pid; exec %s -2" % h.LINKSPY))
        self.assertTrue(self.tmux.wait_for_text("[ OK ]"), self.tmux.screen())
        self.tmux.send_keys(b"\r")
        self.assertTrue(self.tmux.wait_for_text("D-Channel Protocol"))
        with open(os.path.join(self.folder, "pid")) as f:
            pid = int(f.read())
        with open(os.path.join(self.folder, "before")) as f:
            shell_modes = f.read()
        raw_modes = self.modes()
        self.assertNotEqual(raw_modes, shell_modes)
        # A stop from outside: the shell's mode while stopped, the key mode after.
        os.kill(pid, signal.SIGTSTP)
        self.assertTrue(h.wait_until(lambda: process_state(pid) == "T"))
        self.assertEqual(self.modes(), shell_modes)
        os.kill(pid, signal.SIGCONT)
        self.assertTrue(h.wait_until(lambda: self.modes() == raw_modes), self.modes())
        self.assertTrue(self.tmux.wait_for_text("D-Channel Protocol"), self.tmux.screen())
        # A stop the program cannot see, and a shell that sets its own mode meanwhile.
        os.kill(pid, signal.SIGSTOP)
        self.assertTrue(h.wait_until(lambda: process_state(pid) == "T"))
        self.stty("sane")
        os.kill(pid, signal.SIGCONT)
        self.assertTrue(h.wait_until(lambda: self.modes() == raw_modes), self.modes())
        # Ctrl-\ is a key, not the quit signal.
        self.tmux.send_keys(b"\x1c")
        time.sleep(0.5)
        self.assertNotEqual(process_state(pid), "Z")
        self.assertIsNone(self.tmux.exit_status(0.1))
        self.tmux.send_keys(h.CTRL["X"])
        self.assertEqual(self.tmux.exit_status(20), 0)

    def test_stop_and_fg_in_an_interactive_shell(self):
        self.open_pane("bash --norc --noprofile -i")
        self.tmux.type_text("PS1='$ '; stty -g > before; %s -2 & echo $! > pid; fg\n" % h.LINKSPY)
        self.assertTrue(self.tmux.wait_for_text("[ OK ]"), self.tmux.screen())
        self.tmux.send_keys(b"\r")
        self.assertTrue(self.tmux.wait_for_text("D-Channel Protocol"), self.tmux.screen())
        raw_modes = self.modes()
        with open(os.path.join(self.folder, "pid")) as f:
            pid = int(f.read())
        os.kill(pid, signal.SIGTSTP)
        self.assertTrue(self.tmux.wait_for_text("Stopped"), self.tmux.screen())
        self.tmux.type_text("fg\n")
        self.assertTrue(self.tmux.wait_for(lambda rows: rows[0].startswith("LINKSPY for Windows")),
                        self.tmux.screen())
        self.assertTrue(h.wait_until(lambda: self.modes() == raw_modes), self.modes())
        self.tmux.send_keys(b"\x1c")
        time.sleep(0.5)
        self.assertIn(process_state(pid), ("S", "R"))
        self.tmux.send_keys(h.CTRL["X"])
        self.assertTrue(self.tmux.wait_for(lambda rows: any(row == "$" for row in rows)),
                        self.tmux.screen())
        self.assertIn(b"Program unloaded\n", h.read_log(self.folder))

    def test_quit_signal_gives_the_terminal_back(self):
        self.open_pane(shell("stty -g > before; sh -c 'echo $$ > pid; exec %s -2'; "
                             "status=$?; stty -g > after; exit $status" % h.LINKSPY))
        self.assertTrue(self.tmux.wait_for_text("[ OK ]"), self.tmux.screen())
        self.tmux.send_keys(b"\r")
        self.assertTrue(self.tmux.wait_for_text("D-Channel Protocol"))
        with open(os.path.join(self.folder, "pid")) as f:
            os.kill(int(f.read()), signal.SIGQUIT)
        self.assertEqual(self.tmux.exit_status(20), 128 + signal.SIGQUIT)
        with open(os.path.join(self.folder, "before")) as f:
            before = f.read()
        with open(os.path.join(self.folder, "after")) as f:
            self.assertEqual(f.read(), before)


if __name__ == "__main__":
    h.main()
