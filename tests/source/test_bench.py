"""The benchmark's own bookkeeping: the results file's sections, the steady window's lines, the
pane watcher's reading of the tmux control stream, the percentiles."""

import io
import os
import sys
import tempfile
import time
import types
import unittest

SOURCE = os.environ.get("LINKSPY_SOURCE",
                        os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
sys.path.insert(0, os.path.join(SOURCE, "bench"))
sys.dont_write_bytecode = True

import run_bench  # noqa: E402
import steady  # noqa: E402


class ResultsFile(unittest.TestCase):
    def setUp(self):
        folder = tempfile.TemporaryDirectory(prefix="linkspy-results-")
        self.addCleanup(folder.cleanup)
        self.path = os.path.join(folder.name, "RESULTS.md")

    def text(self):
        with open(self.path) as f:
            return f.read()

    def test_a_new_section_goes_before_the_soak_and_the_others_stay(self):
        with open(self.path, "w") as f:
            f.write("# Benchmark results\n\nflood\n\n## Before\n\nold figures\n\n## Soak\n\nsoak\n")
        run_bench.replace_section(self.path, "Steady rate", "steady figures\n")
        self.assertEqual(self.text(), "# Benchmark results\n\nflood\n\n## Before\n\nold figures\n\n"
                         "## Steady rate\n\nsteady figures\n\n## Soak\n\nsoak\n")

    def test_a_section_is_replaced_in_its_place(self):
        run_bench.replace_section(self.path, None, "# Benchmark results\n\nflood 1\n")
        run_bench.replace_section(self.path, "Steady rate", "steady 1")
        run_bench.replace_section(self.path, "Soak", "soak 1")
        run_bench.replace_section(self.path, "Steady rate", "steady 2")
        run_bench.replace_section(self.path, None, "# Benchmark results\n\nflood 2\n")
        self.assertEqual(self.text(), "# Benchmark results\n\nflood 2\n\n## Steady rate\n\n"
                         "steady 2\n\n## Soak\n\nsoak 1\n")


class SteadyWindow(unittest.TestCase):
    def test_the_lines_after_the_first_marker_up_to_the_last_across_a_rotation(self):
        with tempfile.TemporaryDirectory(prefix="linkspy-window-") as folder:
            with open(os.path.join(folder, "LINKSPY.BAK"), "wb") as f:
                f.write(b"23:59:58.000 L2D start\n23:59:59.500 L2D STEADY FIRST\n"
                        b"23:59:59.600 L2D one\n")
            with open(os.path.join(folder, "LINKSPY.LOG"), "wb") as f:
                f.write(b"00:00:00.100 L2D two\n00:00:01.500 L2D STEADY LAST\n00:00:01.600 L2D x\n")
            h = types.SimpleNamespace(log_generations=lambda _: ["LINKSPY.BAK", "LINKSPY.LOG"])
            lines, seconds = steady.window_lines(h, folder)
        self.assertEqual(lines, 3)
        self.assertAlmostEqual(seconds, 2.0)

    def test_the_time_of_day_is_the_heads_own(self):
        now = time.time()
        head = time.strftime("%H:%M:%S", time.localtime(now)) + ".%03d" % int(now % 1 * 1000)
        self.assertLess(abs(steady.seconds_of_day(now) - steady.head_seconds(head.encode())),
                        0.0011)


class FakeClient:
    def __init__(self):
        self.stdin = io.BytesIO()


class PaneWatch(unittest.TestCase):
    def setUp(self):
        self.watch = steady.PaneWatch(FakeClient())

    def feed(self, now, *lines):
        for line in lines:
            self.watch.take(line, now)

    def capture(self, now, *rows):
        self.feed(now, b"%begin 1 2 1", *rows, b"%end 1 2 1")

    def test_the_attach_reply_is_no_capture_and_each_output_asks_for_one(self):
        self.assertTrue(self.watch.in_flight)
        self.feed(1.0, b"%begin 1 1 0", b"%end 1 1 0")
        self.assertFalse(self.watch.in_flight)
        self.assertEqual(self.watch.client.stdin.getvalue(), b"")
        self.feed(1.5, b"%output %0 \\033[1;1Hx")
        self.watch.ask()
        self.assertEqual(self.watch.client.stdin.getvalue(), b"capture-pane -p -t t\n")
        self.assertTrue(self.watch.in_flight)

    def test_a_marker_is_seen_at_the_first_reply_holding_it(self):
        self.feed(1.0, b"%begin 1 1 0", b"%end 1 1 0", b"%output %0 a")
        self.watch.ask()
        self.feed(1.004, b"%output %0 b")
        self.capture(1.005, b"12:00:00.000 L2D RX RR")
        self.watch.ask()
        self.feed(1.007, b"%output %0 c")
        self.capture(1.009, b"12:00:00.001 L2D LATENCY 0001")
        self.watch.ask()
        self.capture(1.020, b"12:00:00.001 L2D LATENCY 0001")
        self.assertEqual(list(self.watch.seen), [1])
        seen, resolution = self.watch.seen[1]
        self.assertEqual(seen, 1.009)
        # Not in the capture asked for after the output at 1.004, so shown after it.
        self.assertAlmostEqual(resolution, 0.005)


class MarkerLatencies(unittest.TestCase):
    def test_a_marker_shown_or_scrolled_past_counts_at_the_first_capture_as_new(self):
        base = time.time()
        sent = {1: steady.seconds_of_day(base), 2: steady.seconds_of_day(base + 0.1),
                3: steady.seconds_of_day(base + 0.2)}
        captures = [
            # Older texts only, then marker 1 itself.
            (base + 0.005, 0.001, set(), sent[1] - 0.002),
            (base + 0.010, 0.002, {1}, sent[1]),
            # Marker 2 scrolled away: the first capture after it already shows later texts.
            (base + 0.150, 0.003, set(), sent[2] + 0.030),
        ]
        figures = steady.marker_latencies(captures, sent, 3)
        self.assertEqual([round(v) for v in figures["latencies"]], [10, 50])
        self.assertEqual(figures["passed"], 1)
        self.assertEqual(figures["missed"], 1)  # marker 3: nothing as new was ever shown
        self.assertAlmostEqual(figures["resolution"], 2.5)

    def test_the_newest_head_of_a_capture(self):
        watch = steady.PaneWatch(FakeClient())
        watch.take(b"%begin 1 1 0", 1.0)
        watch.take(b"%end 1 1 0", 1.0)
        watch.take(b"%begin 1 2 1", 2.0)
        for row in (b"12:00:00.004 L2D a", b"12:00:00.009 L2D LATENCY 0007", b"C1:-)", b""):
            watch.take(row, 2.0)
        watch.take(b"%end 1 2 1", 2.0)
        _, _, shown, newest = watch.captures[-1]
        self.assertEqual(shown, {7})
        self.assertAlmostEqual(newest, 12 * 3600 + 0.009)


class Percentile(unittest.TestCase):
    def test_the_nearest_rank(self):
        values = list(range(1, 101))
        self.assertEqual(steady.percentile(values, 0.5), 50)
        self.assertEqual(steady.percentile(values, 0.99), 99)
        self.assertEqual(steady.percentile([7.0], 0.99), 7.0)
        self.assertEqual(steady.percentile([1, 2, 3], 0.99), 3)


if __name__ == "__main__":
    unittest.main()
