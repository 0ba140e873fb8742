"""linkspy.exe under Wine in an 80 x 25 tmux pane, against qz7emu behind Wine's CAPI2032.DLL:
the title, the start-up report, decoder commands at the emulator, trace rows on screen and in
the log, the access digits, the prompt and dot commands, line input, the idle CPU, Ctrl-X,
Ctrl-C and the shutdown lines."""

import os
import re
import subprocess
import tempfile
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wine  # noqa: E402

h = wine.h
TRACE_ROW = re.compile(r"^\d\d:\d\d:\d\d\.\d{3} [A-Z0-9]{3}")
TRACE_LINE = re.compile(rb"^\d\d:\d\d:\d\d\.\d{3} [A-Z0-9]{3}.*\r$", re.MULTILINE)
# Wine starts slowly, and slower still while the machine is busy.
START_TIMEOUT = 60



@wine.needs_wine(h.QZ7EMU)
class WineTerminal(h.EmulatorCase):
    emulator_args = ("--rate", "5")

    def setUp(self):
        super().setUp()
        self.tmux = h.Tmux(wine.pane_command("-2 -3"), self.folder)
        self.assertTrue(self.tmux.wait_for_text("D-Channel Protocol: ", timeout=START_TIMEOUT),
                        self.tmux.screen())

    def tearDown(self):
        self.tmux.close()
        super().tearDown()

    def wait_row(self, row, predicate, timeout=30.0):
        self.assertTrue(self.tmux.wait_for(lambda rows: predicate(rows[row]), timeout),
                        (row, self.tmux.screen()))

    def prompt(self, line):
        """Opens the prompt with the blank key and enters line."""
        self.tmux.send_keys(b" ")
        self.wait_row(23, lambda row: row.startswith("C") and row[2:5] == ":-)")
        self.tmux.type_text(line)
        self.tmux.send_keys(b"\r")

    def exit_with(self, key):
        self.tmux.send_keys(key)
        self.assertEqual(self.tmux.exit_status(timeout=30), 0, self.tmux.screen())
        self.assertTrue(self.tmux.wait_for_text("Clean at shutdown"), self.tmux.screen())
        log = h.read_log(self.folder)
        self.assertRegex(log, rb"\d\d/\d\d/\d{4} \d\d:\d\d:\d\d Program unloaded\r\n$")
        return log

    def test_start_up_report_decoders_and_traces_from_row_13(self):
        self.wait_row(13, TRACE_ROW.match)
        rows = self.tmux.screen()
        self.assertEqual(rows[0], "LINKSPY for Windows NT v0.96")
        self.assertEqual(rows[2], "** Version for internal use only **")
        # Wine passes the console title on to the terminal.
        self.assertEqual(self.tmux._tmux("display", "-p", "-t", "t", "#{pane_title}").strip(),
                         "LINKSPY for Windows NT")
        labels = ["Fileserver Name   : ", "Fileserver Time   : ", "Controller Number : 1",
                  "Adaptertype       : ", "Version of QZ.BIN : ", "Line Interface    : ",
                  "D-Channel Protocol: "]
        for label, row in zip(labels, rows[4:11]):
            self.assertTrue(row.startswith(label.rstrip()), (label, rows))
        self.assertTrue(rows[4][len(labels[0]):].strip(), "no computer name: %r" % rows[4])
        for row in rows[13:]:
            self.assertLessEqual(len(row), 80)
        # Through Wine's CAPI2032.DLL: the registration's parameters, the four adapter
        # queries, then the decoders of -2 -3 as firmware commands.
        requests = [line for line in self.emulator.commands() if not line.startswith("hex ")]
        self.assertEqual(requests[:7], [
            "register buffer=2048 maxLogicalConnection=1 maxBDataBlocks=10 maxBDataLen=130",
            "adapter_req ctrl=1 type=6", "adapter_req ctrl=1 type=4",
            "adapter_req ctrl=1 type=2", "adapter_req ctrl=1 type=2",
            "cmd cmt l2", "cmd cmt l3"], requests)
        # Enough lines to scroll the whole screen: the report moves up and off.
        self.assertTrue(self.tmux.wait_for(lambda rows: not any(
            r.startswith("D-Channel Protocol") for r in rows), timeout=30), self.tmux.screen())
        rows = self.tmux.screen()
        self.assertTrue(TRACE_ROW.match(rows[24]), rows)
        log = self.exit_with(h.CTRL["X"])
        self.assertTrue(log.startswith(b"\r\n\r\nStart program LINKSPY v0.96\r\n"), log[:200])
        self.assertIn(b"\r\nFileserver Name   : ", log)
        self.assertGreaterEqual(len(TRACE_LINE.findall(log)), 12)
        self.assertNotRegex(log, rb"(?<!\r)\n")

    def test_access_sequence_prompt_and_dot_commands(self):
        # A wrong key in between starts the sequence again; the digits stand top-left.
        self.tmux.send_keys(h.CTRL["P"] + h.CTRL["E"] + b"q")
        self.tmux.send_keys(h.CTRL["P"])
        self.wait_row(0, lambda row: row.startswith("1"))
        self.tmux.send_keys(h.CTRL["E"])
        self.wait_row(0, lambda row: row.startswith("12"))
        self.tmux.send_keys(h.CTRL["N"])
        self.wait_row(0, lambda row: row == "Welcome in debug mode, ready for input...")
        self.wait_row(2, TRACE_ROW.match)
        self.prompt(".c5")
        self.wait_row(24, lambda row: row.startswith("Controller number: 5"))
        self.assertEqual(self.tmux.screen()[22], "-" * 80)
        self.prompt(".m")
        self.wait_row(24, lambda row: row.startswith("Set Marker No. 1"))
        self.assertTrue(self.tmux.screen()[23].startswith("C5:-).m"))
        # Typing keeps its place while trace rows scroll above the prompt.
        self.tmux.send_keys(b" ")
        self.wait_row(23, lambda row: row.startswith("C5:-)"))
        self.tmux.type_text(".x")
        self.wait_row(23, lambda row: row.startswith("C5:-).x"))
        time.sleep(1.5)
        rows = self.tmux.screen()
        self.assertTrue(rows[23].startswith("C5:-).x"), rows)
        self.assertEqual(rows[22], "-" * 80)
        self.tmux.send_keys(b"\r")
        self.wait_row(24, lambda row: row.startswith("Please exit program with <CTRL-X>!"))
        self.prompt("dch 22")
        self.assertTrue(h.wait_until(lambda: "cmd dch 22" in self.emulator.commands(), 10),
                        self.emulator.commands())
        self.prompt("DCH 22")
        self.wait_row(24, lambda row: row.startswith("V42 CMT SM2 L2D PPP DCH BCH FD0"))
        log = self.exit_with(h.CTRL["X"])
        self.assertRegex(log, rb"################### Marker No\. 001 - \d\d/\d\d/\d{4} "
                              rb"\d\d:\d\d:\d\d  #####################\r\n")
        self.assertNotIn("cmd DCH 22", self.emulator.commands())

    def test_an_overlong_prompt_line_is_cut_and_its_rest_dropped(self):
        self.tmux.send_keys(h.ACCESS)
        self.wait_row(0, lambda row: row.startswith("Welcome in debug mode"))
        # 300 characters: the line buffer takes 255; what is left must not come back as keys
        # or as the next line.
        self.prompt(".c3" + "x" * 297)
        self.wait_row(24, lambda row: row.startswith("Controller number: 3"))
        self.prompt(".x")
        self.wait_row(24, lambda row: row.startswith("Please exit program with <CTRL-X>!"))
        self.assertTrue(self.tmux.screen()[23].startswith("C3:-).x"), self.tmux.screen())
        self.exit_with(h.CTRL["X"])

    def test_each_pasted_line_runs_as_a_line_of_its_own(self):
        self.tmux.send_keys(h.ACCESS)
        self.wait_row(0, lambda row: row.startswith("Welcome in debug mode"))
        self.tmux.send_keys(b" ")
        self.wait_row(23, lambda row: row.startswith("C1:-)"))
        self.tmux.send_keys(b"l2d stat\rdch 22\rcmt l3x\r.m\r")
        # Wine's console may echo lines that wait before its line input starts on the prompt's
        # row: the reply is looked for anywhere.
        self.assertTrue(self.tmux.wait_for_text("Set Marker No. 1"), self.tmux.screen())
        self.assertTrue(h.wait_until(lambda: "cmd cmt l3x" in self.emulator.commands(), 10),
                        self.emulator.commands())
        sent = [c for c in self.emulator.commands()
                if c.startswith("cmd ") and c not in ("cmd cmt l2", "cmd cmt l3")]
        self.assertEqual(sent, ["cmd l2d stat", "cmd dch 22", "cmd cmt l3x"])
        log = self.exit_with(h.CTRL["X"])
        self.assertEqual(log.count(b"Marker No."), 1)

    def test_help_screen_shows_the_superscript_two(self):
        self.tmux.send_keys(h.ACCESS)
        self.wait_row(0, lambda row: row.startswith("Welcome in debug mode"))
        self.prompt(".h")
        self.assertTrue(self.tmux.wait_for_text(
            "The following commands can be entered at promt sign:"), self.tmux.screen())
        rows = self.tmux.screen()
        # The superscript two stands in column 7 of the four option lines; a trace row may
        # already have overwritten one of them.
        self.assertGreaterEqual(sum(row.startswith(".") and row[7:9] == "\u00b2-" for row in rows),
                                3, rows)
        self.assertTrue(any(row.startswith("\u00b2 = parameter is available at command line")
                            for row in rows), rows)
        self.exit_with(h.CTRL["X"])

    def test_ctrl_c_ends_through_the_normal_shutdown(self):
        self.wait_row(13, TRACE_ROW.match)
        self.exit_with(h.CTRL["C"])

    def test_idle_program_uses_no_measurable_cpu(self):
        pid = wine_program_pid(self.tmux)
        self.assertIsNotNone(pid)
        time.sleep(1.0)
        before, start = cpu_seconds(pid), time.time()
        time.sleep(3)
        used = (cpu_seconds(pid) - before) / (time.time() - start)
        # Five trace lines a second arrive meanwhile; a spinning key loop takes a whole core.
        self.assertLess(used, 0.05, "CPU share %.3f" % used)
        self.exit_with(h.CTRL["X"])


NUMBERED = re.compile(r"^\d\d:\d\d:\d\d\.\d{3} L2D NUM (\d{6})")
LOGGED_NUMBER = re.compile(rb"L2D NUM (\d{6})")


def number_of(row):
    match = NUMBERED.match(row)
    return int(match.group(1)) if match else None


def logged_numbers(folder):
    return [int(n) for n in LOGGED_NUMBER.findall(h.read_log(folder) or b"")]


@wine.needs_wine(h.QZ7EMU)
class WineHold(unittest.TestCase):
    """Wait mode's hold on the Win32 console: a stream of numbered lines, Ctrl-A, Page Up."""

    def setUp(self):
        self.folder = h.run_folder()
        script = os.path.join(self.folder, "numbered.script")
        with open(script, "w") as f:
            f.write("wait-decoder\n")
            f.write("".join("wait 20\ntrace L2D NUM %06d\n" % n for n in range(1, 20001)))
        self.emulator = h.Emulator("--rate", "0", "--script", script)
        self.addCleanup(self.emulator.stop)
        with open(os.path.join(self.folder, ".capi20rc"), "w") as f:
            f.write("REMOTE rcapi 127.0.0.1 %d\nTRACELEVEL 0\n" % self.emulator.port)
        self.tmux = h.Tmux(wine.pane_command("-2"), self.folder)
        self.addCleanup(self.tmux.close)
        self.assertTrue(self.tmux.wait_for_text("D-Channel Protocol: ", timeout=START_TIMEOUT),
                        self.tmux.screen())

    def title(self):
        return self.tmux._tmux("display", "-p", "-t", "t", "#{pane_title}").strip()

    def region(self):
        return [number_of(row[:40]) for row in self.tmux.screen()[:22]]

    def test_ctrl_a_holds_page_up_looks_back_and_ctrl_a_releases(self):
        self.tmux.send_keys(h.ACCESS)
        self.assertTrue(self.tmux.wait_for_text("Welcome in debug mode"), self.tmux.screen())
        self.tmux.send_keys(b" ")
        self.assertTrue(self.tmux.wait_for(lambda rows: rows[23].startswith("C1:-)")))
        self.tmux.type_text(".w")
        self.tmux.send_keys(b"\r")
        self.assertTrue(self.tmux.wait_for(lambda rows: rows[24].startswith("Wait mode on")),
                        self.tmux.screen())
        self.assertTrue(self.tmux.wait_for(lambda rows: (number_of(rows[21]) or 0) > 60, 60),
                        self.tmux.screen())
        self.tmux.send_keys(h.CTRL["A"])
        self.assertTrue(h.wait_until(lambda: "Held:" in self.title(), 20), self.title())
        self.assertTrue(self.tmux.wait_for(lambda rows: "Held:" in rows[0]), self.tmux.screen())
        held = self.region()
        newest = held[-1]
        self.assertEqual(held[1:], list(range(newest - 20, newest + 1)), self.tmux.screen())
        self.assertTrue(h.wait_until(lambda: max(logged_numbers(self.folder)) >= newest + 50, 60))
        self.assertEqual(self.region()[1:], held[1:], self.tmux.screen())
        self.assertRegex(self.title(), r"Held: \d+ new")

        self.tmux.send_keys(b"\x1b[5~")
        older = list(range(newest - 22 - 20, newest - 22 + 1))
        self.assertTrue(self.tmux.wait_for(lambda rows: self.region()[1:] == older, 20),
                        (older, self.tmux.screen()))

        self.tmux.send_keys(h.CTRL["A"])
        self.assertTrue(h.wait_until(lambda: self.title() == "LINKSPY for Windows NT", 20),
                        self.title())
        released = max(logged_numbers(self.folder))
        self.assertTrue(self.tmux.wait_for(lambda rows: (number_of(rows[21]) or 0) > released, 60),
                        self.tmux.screen())
        self.assertNotIn("Held:", self.tmux.screen()[0])
        self.tmux.send_keys(h.CTRL["X"])
        self.assertEqual(self.tmux.exit_status(timeout=30), 0, self.tmux.screen())
        numbers = logged_numbers(self.folder)
        self.assertEqual(numbers, list(range(1, len(numbers) + 1)))


@wine.needs_wine()
class WineUnitTests(unittest.TestCase):
    def run_unit_test(self, name):
        program = os.path.join(wine.RUN_BUILD, name)
        if not os.path.exists(program):
            self.skipTest("not built: %s" % program)
        folder = tempfile.mkdtemp()
        process = subprocess.run([wine.WINE, program], env=wine.wine_env(), capture_output=True,
                                 cwd=folder, timeout=START_TIMEOUT)
        self.assertEqual(process.returncode, 0, process.stdout + process.stderr)
        self.assertIn(b"PASS: 0 failed", process.stdout)

    def test_key_records_unit_test_passes_under_wine(self):
        self.run_unit_test("key_records_test.exe")

    def test_log_pass_unit_test_passes_under_wine(self):
        self.run_unit_test("log_pass_test.exe")


def wine_program_pid(tmux):
    """The process of linkspy.exe below the pane's shell."""
    return h.wait_until(lambda: h.program_in_folder(tmux.folder, "linkspy.exe"), 10)


def cpu_seconds(pid):
    ticks = os.sysconf("SC_CLK_TCK")
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / ticks


@wine.needs_wine(h.QZ7EMU)
class WineKeysDuringStartUp(h.EmulatorCase):
    """Ctrl-X and Ctrl-C typed at the console while the adapter answers its queries late."""

    emulator_args = ("--rate", "0", "--do", "late all 5000")

    def test_a_key_that_ends_the_program_ends_the_slow_queries_at_once(self):
        for key in ("X", "C"):
            with self.subTest(key=key):
                self.tearDown()
                self.setUp()
                tmux = h.Tmux(wine.pane_command("-2 -3"), self.folder)
                self.addCleanup(tmux.close)
                self.assertTrue(h.wait_until(lambda: any(
                    line.startswith("adapter_req") for line in self.emulator.commands()),
                    START_TIMEOUT), tmux.screen())
                typed = time.time()
                tmux.send_keys(h.CTRL[key])
                self.assertEqual(tmux.exit_status(timeout=30), 0, tmux.screen())
                self.assertLess(time.time() - typed, 6)
                sent = [line for line in self.emulator.commands()
                        if line.startswith(("adapter_req", "cmd"))]
                self.assertEqual(sent, ["adapter_req ctrl=1 type=6"])
                self.assertNotIn(b"Controller Number", h.read_log(self.folder))


if __name__ == "__main__":
    wine.main()
