"""linkspy in a real 80 x 25 terminal (tmux) against the emulator: the start-up screen, the
access digits, the welcome line, trace rows, the prompt area and the end."""

import os
import re
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness as h  # noqa: E402

TRACE_ROW = re.compile(r"^\d\d:\d\d:\d\d\.\d{3} [A-Z0-9]{3}")


class TerminalSession(h.EmulatorCase):
    """linkspy -2 -3 in a pane, past its start-up message box."""

    emulator_args = ("--rate", "5")

    def setUp(self):
        super().setUp()
        self.tmux = h.Tmux(h.LINKSPY + " -2 -3", self.folder)
        # The start-up message box waits for Enter.
        self.assertTrue(self.tmux.wait_for_text("LINKSPY for Windows NT"), self.tmux.screen())
        self.tmux.wait_for_text("OK", timeout=5)
        self.tmux.send_keys(b"\r")

    def tearDown(self):
        self.tmux.close()
        super().tearDown()


@h.needs(h.QZ7EMU)
class ScreenWithTraffic(TerminalSession):

    def test_start_up_report_then_traces_from_row_13(self):
        self.assertTrue(self.tmux.wait_for(lambda rows: TRACE_ROW.match(rows[13])), self.tmux.screen())
        rows = self.tmux.screen()
        self.assertEqual(rows[0], "LINKSPY for Windows NT v0.96")
        self.assertEqual(rows[2], "** Version for internal use only **")
        self.assertTrue(rows[4].startswith("Fileserver Name   : "), rows)
        labels = ["Fileserver Time   : ", "Controller Number : 1", "Adaptertype       : ",
                  "Version of QZ.BIN : ", "Line Interface    : ", "D-Channel Protocol: "]
        for label, row in zip(labels, rows[5:11]):
            self.assertTrue(row.startswith(label), (label, rows))
        for row in rows[13:]:
            self.assertLessEqual(len(row), 80)

    def test_access_digits_welcome_line_and_prompt(self):
        self.tmux.wait_for_text("D-Channel Protocol")
        self.tmux.send_keys(h.CTRL["P"])
        self.assertTrue(self.tmux.wait_for(lambda rows: rows[0].startswith("1")), self.tmux.screen())
        self.tmux.send_keys(h.CTRL["E"])
        self.assertTrue(self.tmux.wait_for(lambda rows: rows[0].startswith("12")))
        self.tmux.send_keys(h.CTRL["N"])
        self.assertTrue(self.tmux.wait_for(
            lambda rows: rows[0] == "Welcome in debug mode, ready for input..."), self.tmux.screen())
        self.assertTrue(self.tmux.wait_for(lambda rows: TRACE_ROW.match(rows[2])), self.tmux.screen())
        self.tmux.send_keys(b" ")
        self.assertTrue(self.tmux.wait_for(lambda rows: rows[23].startswith("C1:-)")), self.tmux.screen())
        self.assertEqual(self.tmux.screen()[22], "-" * 80)
        self.tmux.type_text(".x")
        self.assertTrue(self.tmux.wait_for(lambda rows: rows[23].startswith("C1:-).x")),
                        self.tmux.screen())
        # The typed text keeps its place while trace lines scroll above it.
        time.sleep(1.0)
        rows = self.tmux.screen()
        self.assertTrue(rows[23].startswith("C1:-).x"), rows)
        self.assertEqual(rows[22], "-" * 80)
        self.tmux.send_keys(b"\r")
        self.assertTrue(self.tmux.wait_for(
            lambda rows: rows[24].startswith("Please exit program with <CTRL-X>!")), self.tmux.screen())
        self.tmux.send_keys(h.CTRL["X"])
        self.assertEqual(self.tmux.exit_status(), 0)
        self.assertTrue(self.tmux.wait_for_text("Clean at shutdown"), self.tmux.screen())
        log = h.read_log(self.folder)
        self.assertIn(b"Program unloaded\n", log)


@h.needs(h.QZ7EMU)
class ScreenWithoutTraffic(TerminalSession):
    """No trace traffic, so that full-screen texts stay in place."""

    emulator_args = ("--rate", "0")

    def test_help_screen_shows_the_superscript_two(self):
        self.tmux.wait_for_text("D-Channel Protocol")
        self.tmux.send_keys(h.ACCESS + b" ")
        self.assertTrue(self.tmux.wait_for(lambda rows: rows[23].startswith("C1:-)")))
        self.tmux.type_text(".h")
        self.tmux.send_keys(b"\r")
        self.assertTrue(self.tmux.wait_for_text("The following commands can be entered at promt sign:"),
                        self.tmux.screen())
        rows = self.tmux.screen()
        self.assertEqual(rows[2], ".a     \u00b2- toggle auto popup screen mode         [status: 0]")
        self.assertEqual(rows[17], "\u00b2 = parameter is available at command line")
        self.tmux.send_keys(h.CTRL["X"])
        self.assertEqual(self.tmux.exit_status(), 0)


@h.needs(h.QZ7EMU)
class KeysAtThePrompt(TerminalSession):
    """Pastes and bytes that are no UTF-8, typed into the prompt of a quiet session."""

    emulator_args = ("--rate", "0")
    PASTE = ["l2d stat", "dch 22", "cmt l3x", ".m"]

    def setUp(self):
        super().setUp()
        self.assertTrue(self.tmux.wait_for_text("D-Channel Protocol"), self.tmux.screen())
        self.tmux.send_keys(h.ACCESS)
        self.assertTrue(self.tmux.wait_for_text("Welcome in debug mode"), self.tmux.screen())

    def open_prompt(self):
        self.tmux.send_keys(b" ")
        self.assertTrue(self.tmux.wait_for(lambda rows: rows[23] == "C1:-)"), self.tmux.screen())

    def sent(self):
        """The firmware command lines the emulator received after the decoders' own."""
        return [c[4:] for c in self.emulator.commands()
                if c.startswith("cmd ") and c not in ("cmd cmt l2", "cmd cmt l3")]

    def markers(self):
        return (h.read_log(self.folder) or b"").count(b"Marker No.")

    def test_each_pasted_line_runs_as_a_line_of_its_own(self):
        pastes = {
            "one write, carriage returns": lambda text: self.tmux.send_keys(
                text.replace("\n", "\r").encode()),
            "one string, line feeds": self.tmux.type_text,
            "paste buffer, bracketed if asked": self.paste_buffer,
            "bracketed": lambda text: self.tmux.send_keys(
                b"\x1b[200~" + text.replace("\n", "\r").encode() + b"\x1b[201~"),
        }
        for number, (how, paste) in enumerate(pastes.items(), 1):
            with self.subTest(how):
                self.open_prompt()
                paste("".join(line + "\n" for line in self.PASTE))
                self.assertTrue(h.wait_until(lambda: self.markers() == number), self.markers())
                self.assertTrue(h.wait_until(lambda: len(self.sent()) == 3 * number),
                                self.sent())
                self.assertEqual(self.sent()[-3:], self.PASTE[:3])
                # The last line closed the prompt: no new one stands open.
                self.assertTrue(self.tmux.wait_for(lambda rows: rows[24].startswith(
                    "Set Marker No. %d" % number)), self.tmux.screen())
                self.assertEqual(self.tmux.screen()[23], "C1:-).m")
        # A last line without its line end stays in the prompt to be finished.
        self.open_prompt()
        self.tmux.send_keys(b"dch 23\r.c")
        self.assertTrue(self.tmux.wait_for(lambda rows: rows[23] == "C1:-).c"), self.tmux.screen())
        self.tmux.send_keys(b"5\r")
        self.assertTrue(self.tmux.wait_for(lambda rows: rows[24].startswith(
            "Controller number: 5")), self.tmux.screen())
        self.assertEqual(self.sent()[-1], "dch 23")
        self.tmux.send_keys(h.CTRL["X"])
        self.assertEqual(self.tmux.exit_status(), 0)
        self.assertEqual(self.markers(), len(pastes))
        self.assertEqual(len(self.sent()), 3 * len(pastes) + 1)

    def paste_buffer(self, text):
        self.tmux._tmux("set-buffer", "-b", "lines", text)
        self.tmux._tmux("paste-buffer", "-p", "-d", "-b", "lines", "-t", "t")

    def test_a_bad_byte_costs_itself_and_not_the_key_after_it(self):
        # In the prompt: the Enter after a bad byte ends the line.
        self.open_prompt()
        self.tmux.send_keys(b"\xc3\r")
        self.assertTrue(self.tmux.wait_for(lambda rows: rows[24].startswith("V42 CMT SM2")),
                        self.tmux.screen())
        self.assertEqual(self.tmux.screen()[23], "C1:-)?")
        # Three bad bytes are three '?' and the blank after them is kept.
        self.open_prompt()
        self.tmux.send_keys(b"l\xe4\xf6\xfc x\r")
        self.assertTrue(h.wait_until(lambda: self.sent() == ["l??? x"]), self.sent())
        self.assertEqual(self.tmux.screen()[23], "C1:-)l??? x")
        # In the keyboard loop: the blank after a bad byte opens the prompt, Ctrl-X ends.
        self.tmux.send_keys(b"\xc3 ")
        self.assertTrue(self.tmux.wait_for(lambda rows: rows[23] == "C1:-)"), self.tmux.screen())
        self.tmux.send_keys(b".x\r")
        self.assertTrue(self.tmux.wait_for(lambda rows: rows[24].startswith(
            "Please exit program with <CTRL-X>!")), self.tmux.screen())
        self.tmux.send_keys(b"\xe4" + h.CTRL["X"])
        self.assertEqual(self.tmux.exit_status(), 0)


@h.needs(h.QZ7EMU)
class LinkLostOnScreen(unittest.TestCase):
    LOST = "LINKSPY: Connection to the CAPI provider lost"

    def test_lost_link_line_on_the_newest_row_and_again_after_the_end(self):
        # Enough traffic before the drop that the trace has scrolled past the start-up rows:
        # the stream's place then lies over an old trace row.
        emulator = h.Emulator("--rate", "25", "--do", "wait-decoder", "--do", "wait-signal",
                              "--do", "wait 1500", "--do", "trace L2D before the drop",
                              "--do", "drop")
        self.addCleanup(emulator.stop)
        folder = h.run_folder(emulator.port)
        tmux = h.Tmux(h.LINKSPY + " -2 -3", folder)
        self.addCleanup(tmux.close)
        self.assertTrue(tmux.wait_for_text("OK"), tmux.screen())
        tmux.send_keys(b"\r")
        # The drop comes some 37 trace lines after the trace screen is up.
        self.assertTrue(tmux.wait_for(lambda rows: any(TRACE_ROW.match(row) for row in rows), 20),
                        tmux.screen())
        emulator.go_ahead()
        self.assertEqual(tmux.exit_status(20), 255)
        # The pane after the end: the last screen, then the line once more above the shell.
        rows = [row.rstrip() for row in tmux._tmux("capture-pane", "-p", "-t", "t",
                                                   "-S", "-200").split("\n")]
        while rows and not rows[-1]:
            rows.pop()
        self.assertEqual(rows[-2:], ["Clean at shutdown", self.LOST], rows)
        self.assertEqual(rows.count(self.LOST), 2, rows)
        lost = rows.index(self.LOST)
        self.assertRegex(rows[lost - 1], TRACE_ROW, rows)
        self.assertEqual(rows[lost + 1], "WAIT_FOR_MESSAGE-Thread stopped.", rows)
        self.assertFalse([row for row in rows if "Thread stopped." in row and
                          row != "WAIT_FOR_MESSAGE-Thread stopped."], rows)
        self.assertRegex(h.read_log(folder), rb"\nLINKSPY: Connection to the CAPI provider lost\n"
                                             rb"[^\n]* Program unloaded\n$")


if __name__ == "__main__":
    h.main()
