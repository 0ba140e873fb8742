"""Wait mode's hold in real terminals (tmux) and without one: after .w, Ctrl-A holds the output
region during a stream of numbered lines, the marker counts them, Page Up shows older rows,
Ctrl-A again shows the newest, and the log holds every line once, in order. In line mode the
hold stops the trace lines and the release prints one line; headless, Ctrl-A holds nothing."""

import os
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness as h  # noqa: E402

NUMBERED = re.compile(r"^\d\d:\d\d:\d\d\.\d{3} L2D NUM (\d{6})")
LOGGED_NUMBER = re.compile(rb"L2D NUM (\d{6})")
MARKER = re.compile(r"Held: (\d+) new, view (at newest|(\d+) rows up)")
PAGE_UP = b"\x1b[5~"
LINES = 20000


def numbered_stream(folder, pause_ms=5):
    """A script of LINES numbered trace lines, one every pause_ms once a decoder is on."""
    path = os.path.join(folder, "numbered.script")
    with open(path, "w") as f:
        f.write("wait-decoder\n")
        for n in range(1, LINES + 1):
            f.write("wait %d\ntrace L2D NUM %06d\n" % (pause_ms, n))
    return path


def logged_numbers(folder):
    return [int(n) for n in LOGGED_NUMBER.findall(h.read_log(folder) or b"")]


def number_of(row):
    match = NUMBERED.match(row)
    return int(match.group(1)) if match else None


@h.needs(h.LINKSPY, h.QZ7EMU)
class HeldScreen(unittest.TestCase):
    """linkspy -2 in a pane of 80 x height, in debug mode with wait mode on."""

    def start(self, height):
        self.folder = h.run_folder()
        script = numbered_stream(self.folder)
        self.emulator = h.Emulator("--rate", "0", "--script", script)
        self.addCleanup(self.emulator.stop)
        with open(os.path.join(self.folder, ".capi20rc"), "w") as f:
            f.write("REMOTE rcapi 127.0.0.1 %d\nTRACELEVEL 0\n" % self.emulator.port)
        self.tmux = h.Tmux(h.LINKSPY + " -2", self.folder, height=height)
        self.addCleanup(self.tmux.close)
        # Model row r stands on the pane's row r - top.
        self.top = 25 - height
        self.assertTrue(self.tmux.wait_for_text("[ OK ]"), self.tmux.screen())
        self.tmux.send_keys(b"\r")
        self.tmux.send_keys(h.ACCESS + b" ")
        self.assertTrue(self.tmux.wait_for(lambda rows: rows[23 - self.top].startswith("C1:-)")),
                        self.tmux.screen())
        self.tmux.type_text(".w")
        self.tmux.send_keys(b"\r")
        self.assertTrue(self.tmux.wait_for(
            lambda rows: rows[24 - self.top].startswith("Wait mode on")), self.tmux.screen())

    def region(self, rows):
        """The numbers on the region's rows the pane shows, the top row's left part included."""
        shown = rows[:22 - self.top]
        return [number_of(row[:40]) for row in shown]

    def marker(self, rows):
        return MARKER.search(rows[0])

    def hold_page_up_and_release(self, height):
        self.start(height)
        self.assertTrue(self.tmux.wait_for(
            lambda rows: (number_of(rows[21 - self.top]) or 0) > 60, 30), self.tmux.screen())
        self.tmux.send_keys(h.CTRL["A"])
        self.assertTrue(self.tmux.wait_for(self.marker), self.tmux.screen())
        held = self.region(self.tmux.screen())
        newest = held[-1]
        self.assertEqual(held, list(range(newest - len(held) + 1, newest + 1)), held)

        # The region stays as it was while a hundred more lines reach the log.
        self.assertTrue(h.wait_until(lambda: max(logged_numbers(self.folder)) >= newest + 100,
                                     30), logged_numbers(self.folder)[-3:])
        # The painter shows the count at its next paint.
        self.assertTrue(self.tmux.wait_for(
            lambda rows: self.marker(rows) and int(self.marker(rows).group(1)) >= 100),
            self.tmux.screen())
        rows = self.tmux.screen()
        self.assertEqual(self.region(rows), held, rows)

        # Page Up: the region before the one held, a region's rows further up.
        self.tmux.send_keys(PAGE_UP)
        older = list(range(newest - 22 - len(held) + 1, newest - 22 + 1))
        self.assertTrue(self.tmux.wait_for(lambda rows: self.region(rows) == older),
                        (older, self.tmux.screen()))
        self.assertIsNotNone(self.marker(self.tmux.screen()).group(3), self.tmux.screen()[0])

        # Ctrl-A again: the newest rows, the marker gone, the trace flowing on.
        self.tmux.send_keys(h.CTRL["A"])
        self.assertTrue(self.tmux.wait_for(lambda rows: not self.marker(rows)), self.tmux.screen())
        released = max(logged_numbers(self.folder))
        self.assertTrue(self.tmux.wait_for(
            lambda rows: (number_of(rows[21 - self.top]) or 0) > released, 30), self.tmux.screen())
        shown = self.region(self.tmux.screen())
        self.assertEqual(shown, list(range(shown[-1] - len(shown) + 1, shown[-1] + 1)), shown)

        self.tmux.send_keys(h.CTRL["X"])
        self.assertEqual(self.tmux.exit_status(20), 0, self.tmux.screen())
        numbers = logged_numbers(self.folder)
        self.assertEqual(numbers, list(range(1, len(numbers) + 1)))

    def test_lines_beyond_the_history_are_named_at_the_release_for_a_while(self):
        folder = h.run_folder()
        self.emulator = h.Emulator("--rate", "0", "--do", "wait-decoder", "--do", "wait-signal",
                                   "--do", "flood 3000")
        self.addCleanup(self.emulator.stop)
        with open(os.path.join(folder, ".capi20rc"), "w") as f:
            f.write("REMOTE rcapi 127.0.0.1 %d\nTRACELEVEL 0\n" % self.emulator.port)
        self.tmux = h.Tmux(h.LINKSPY + " -2", folder)
        self.addCleanup(self.tmux.close)
        self.assertTrue(self.tmux.wait_for_text("[ OK ]"), self.tmux.screen())
        self.tmux.send_keys(b"\r")
        self.tmux.send_keys(h.ACCESS + b" ")
        self.assertTrue(self.tmux.wait_for(lambda rows: rows[23].startswith("C1:-)")))
        self.tmux.type_text(".w")
        self.tmux.send_keys(b"\r")
        self.assertTrue(self.tmux.wait_for(lambda rows: rows[24].startswith("Wait mode on")))
        self.tmux.send_keys(h.CTRL["A"])
        self.assertTrue(self.tmux.wait_for(lambda rows: "Held: 0 new" in rows[0]),
                        self.tmux.screen())
        self.emulator.go_ahead()
        self.assertTrue(self.tmux.wait_for(lambda rows: "Held: 3000 new" in rows[0], 60),
                        self.tmux.screen())
        self.tmux.send_keys(h.CTRL["A"])
        # 3,000 held, 2,048 kept: the release names the 952 left only in the log, for 3 s.
        self.assertTrue(self.tmux.wait_for(
            lambda rows: "952 held lines are only in the log" in rows[0]), self.tmux.screen())
        rows = self.tmux.screen()
        self.assertIn("L2D FLOOD 003000", rows[21], rows)
        self.assertTrue(self.tmux.wait_for(lambda rows: "only in the log" not in rows[0], 10),
                        self.tmux.screen())
        self.tmux.send_keys(h.CTRL["X"])
        self.assertEqual(self.tmux.exit_status(20), 0, self.tmux.screen())
        self.assertEqual(len(re.findall(rb"L2D FLOOD \d{6}", h.read_log(folder))), 3000)

    def test_ctrl_x_while_held_leaves_the_newest_rows_as_the_last_screen(self):
        self.start(25)
        self.assertTrue(self.tmux.wait_for(lambda rows: (number_of(rows[21]) or 0) > 10, 30),
                        self.tmux.screen())
        self.tmux.send_keys(h.CTRL["A"])
        self.assertTrue(self.tmux.wait_for(self.marker), self.tmux.screen())
        held_newest = self.region(self.tmux.screen())[-1]
        self.assertTrue(h.wait_until(
            lambda: max(logged_numbers(self.folder)) >= held_newest + 50, 30))
        logged = max(logged_numbers(self.folder))
        self.tmux.send_keys(h.CTRL["X"])
        self.assertEqual(self.tmux.exit_status(20), 0, self.tmux.screen())
        self.assertTrue(self.tmux.wait_for_text("Clean at shutdown"), self.tmux.screen())
        rows = [row.rstrip() for row in self.tmux._tmux("capture-pane", "-p", "-t", "t",
                                                       "-S", "-200").split("\n")]
        shown = [number_of(row) for row in rows if number_of(row) is not None]
        self.assertGreaterEqual(shown[-1], logged, rows)
        self.assertFalse([row for row in rows if MARKER.search(row)], rows)

    def test_80_by_25_holds_looks_back_and_releases(self):
        self.hold_page_up_and_release(25)

    def test_80_by_24_holds_looks_back_and_releases(self):
        self.hold_page_up_and_release(24)


@h.needs(h.LINKSPY, h.QZ7EMU)
class WithoutAScreen(unittest.TestCase):

    def stream(self):
        folder = h.run_folder()
        self.emulator = h.Emulator("--rate", "0", "--script", numbered_stream(folder, 20))
        self.addCleanup(self.emulator.stop)
        with open(os.path.join(folder, ".capi20rc"), "w") as f:
            f.write("REMOTE rcapi 127.0.0.1 %d\nTRACELEVEL 0\n" % self.emulator.port)
        return folder

    def test_line_mode_stops_the_trace_lines_and_says_how_many_were_held(self):
        folder = self.stream()
        tmux = h.Tmux("env TERM=dumb %s -2" % h.LINKSPY, folder)
        self.addCleanup(tmux.close)
        raw = os.path.join(folder, "raw")
        tmux._tmux("pipe-pane", "-t", "t", "-o", "cat > " + h.shell_quote(raw))
        self.assertTrue(tmux.wait_for_text("Press Enter to continue"), tmux.screen())
        tmux.send_keys(b"\r")
        tmux.send_keys(h.ACCESS + b" ")
        self.assertTrue(tmux.wait_for(lambda rows: any(r.startswith("C1:-)") for r in rows)))
        tmux.type_text(".w")
        tmux.send_keys(b"\r")
        self.assertTrue(tmux.wait_for_text("Wait mode on"), tmux.screen())
        self.assertTrue(h.wait_until(lambda: len(logged_numbers(folder)) > 5, 30))
        tmux.send_keys(h.CTRL["A"])
        held_from = max(logged_numbers(folder)) + 1
        self.assertTrue(h.wait_until(lambda: max(logged_numbers(folder)) >= held_from + 20, 30))
        tmux.send_keys(h.CTRL["A"])
        self.assertTrue(tmux.wait_for_text("trace lines were held; the log has them"),
                        tmux.screen())
        tmux.send_keys(h.CTRL["X"])
        self.assertEqual(tmux.exit_status(20), 0)
        with open(raw, "rb") as f:
            output = f.read()
        printed = [int(n) for n in LOGGED_NUMBER.findall(output)]
        line = re.search(rb"LINKSPY: (\d+) trace lines were held; the log has them", output)
        held = int(line.group(1))
        self.assertGreaterEqual(held, 20)
        # The held numbers were not printed; the ones before and after the hold were.
        before = output[:line.start()]
        last_before = max(int(n) for n in LOGGED_NUMBER.findall(before))
        self.assertLess(last_before, held_from + 2, printed)
        self.assertNotIn(last_before + 3, printed)
        self.assertEqual(logged_numbers(folder), list(range(1, len(logged_numbers(folder)) + 1)))

    def test_headless_ctrl_a_holds_nothing(self):
        folder = self.stream()
        run = h.Headless(folder, ["-2"])
        self.assertTrue(run.wait_for(b"D-Channel Protocol"), run.out)
        run.send(b"\r" + h.ACCESS + b" .w\n")
        self.assertTrue(run.wait_for(b"Welcome in debug mode"), run.out)
        self.assertTrue(h.wait_until(lambda: len(logged_numbers(folder)) > 5, 30))
        run.send(h.CTRL["A"])
        run.send(b" .m\n")
        # Lines go on as before; nothing is said about a hold.
        count = len(logged_numbers(folder))
        self.assertTrue(h.wait_until(lambda: len(logged_numbers(folder)) > count + 20, 30))
        run.send(h.CTRL["A"] + h.CTRL["X"])
        self.assertEqual(run.finish(), 0)
        self.assertNotIn(b"were held", run.out + run.err)
        numbers = logged_numbers(folder)
        self.assertEqual(numbers, list(range(1, len(numbers) + 1)))


if __name__ == "__main__":
    h.main()
