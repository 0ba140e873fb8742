"""Numbered log backups kept on request (LINKSPY_LOG_BACKUPS): several rotations with every
line accounted for, a rename failure among the backups, and values that are refused."""

import os
import re
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness as h  # noqa: E402
from test_log_faults import FLOOD_LINE, flood_numbers  # noqa: E402


@h.needs(h.LINKSPY, h.QZ7EMU)
class LogBackups(unittest.TestCase):
    def flood(self, lines, backups, folder_setup=None):
        """Runs a flood of lines into linkspy keeping backups; returns its folder and output."""
        emulator = h.Emulator("--rate", "0", "--do", "wait-decoder", "--do", "wait 200",
                              "--do", "flood %d" % lines, "--do", "trace L2D FLOOD DONE")
        self.addCleanup(emulator.stop)
        folder = h.run_folder(emulator.port)
        if folder_setup:
            folder_setup(folder)
        run = h.Headless(folder, ["-2"], env=h.linkspy_env(folder, LINKSPY_LOG_BACKUPS=backups))
        self.addCleanup(run.kill)
        deadline = time.time() + 60
        while b"FLOOD DONE" not in (h.read_log(folder) or b""):
            self.assertLess(time.time(), deadline, run.out[-1500:])
            self.assertIsNone(run.process.poll(), run.out[-1500:])
            run._pump(0.1)
        run.send(h.CTRL["X"])
        self.assertEqual(run.finish(timeout=20), 0, run.out[-2000:])
        return folder, run.out

    def test_three_backups_over_several_rotations(self):
        folder, out = self.flood(40000, "3")
        self.assertIn(b"LINKSPY: Max log file size 500 kBytes\n"
                      b"LINKSPY: Keeping 3 log backups\n", out)
        self.assertNotIn(b"LINKSPY: Error", out)
        names = h.log_generations(folder)
        self.assertEqual(names, ["LINKSPY.BAK.3", "LINKSPY.BAK.2", "LINKSPY.BAK.1",
                                 "LINKSPY.BAK", "LINKSPY.LOG"])
        self.assertFalse(os.path.exists(os.path.join(folder, "LINKSPY.BAK.4")))
        for name in names[:-1]:
            # A log ends with the first line written once the length before it passed 500 kB,
            # however many lines one append carried.
            lines = h.read_log(folder, name).splitlines(keepends=True)
            before_last = sum(len(line) for line in lines[:-1])
            self.assertGreaterEqual(before_last, 513024, name)
            self.assertLess(before_last - len(lines[-2]), 513024, name)
        # The kept history runs without a gap or a repeat up to the last line.
        kept = b"".join(h.read_log(folder, n) for n in names)
        for line in kept.split(b"\n"):
            if b"FLOOD 0" in line:
                self.assertRegex(line, FLOOD_LINE.pattern + rb"$")
        numbers = flood_numbers(kept)
        self.assertEqual(numbers, list(range(numbers[0], 40001)))
        self.assertGreater(numbers[0], 1)

    def test_backup_that_cannot_be_moved_leaves_every_file_in_place(self):
        def setup(folder):
            os.mkdir(os.path.join(folder, "LINKSPY.BAK.2"))
            for name, text in (("LINKSPY.BAK.2/keep", b"x"), ("LINKSPY.BAK.1", b"one\n"),
                               ("LINKSPY.BAK", b"zero\n")):
                with open(os.path.join(folder, name), "wb") as f:
                    f.write(text)
        folder, out = self.flood(10000, "2", setup)
        self.assertIn(b"LINKSPY: Keeping 2 log backups\n", out)
        failure = (b"LINKSPY: Error removing backup logfile\n"
                   b"LINKSPY: Error code: Directory not empty\n"
                   b"LINKSPY: Error renaming logfile\n"
                   b"LINKSPY: Error code: File exists\n")
        self.assertGreater(out.count(failure), 0)
        self.assertEqual(h.read_log(folder, "LINKSPY.BAK.2/keep"), b"x")
        self.assertEqual(h.read_log(folder, "LINKSPY.BAK.1"), b"one\n")
        self.assertEqual(h.read_log(folder, "LINKSPY.BAK"), b"zero\n")
        self.assertEqual(flood_numbers(h.read_log(folder)), list(range(1, 10001)))

    def test_unusable_values_end_with_status_2_before_the_provider(self):
        with h.Emulator() as emulator:
            folder = h.run_folder(emulator.port)
            for value in ("abc", "10000", "-1", "3 "):
                with self.subTest(value=value):
                    status, out, _ = h.run_headless(
                        folder, ["-2"], env=h.linkspy_env(folder, LINKSPY_LOG_BACKUPS=value))
                    self.assertEqual(status, 2, out)
                    self.assertIn(b"LINKSPY: Max log file size 500 kBytes\n"
                                  b"LINKSPY: Unusable LINKSPY_LOG_BACKUPS value \"%s\" "
                                  b"(a number from 0 to 9999)\n" % value.encode(), out)
            self.assertFalse(any(re.match("register", line) for line in emulator.commands()))
            self.assertIsNone(h.read_log(folder))

    def test_backup_that_cannot_be_removed_is_reported_now_and_then(self):
        # A folder at LINKSPY.BAK: each write past the limit tries the rotation, which fails;
        # 12,000 lines past it give one report (again only after a minute), not four lines a
        # line, and the log grows meanwhile.
        def setup(folder):
            os.makedirs(os.path.join(folder, "LINKSPY.BAK", "keep"))
            with open(os.path.join(folder, "LINKSPY.LOG"), "wb") as f:
                f.write(b"x" * 513023 + b"\n")
        folder, out = self.flood(12000, "0", setup)
        warnings = [line for line in out.split(b"\n") if line.startswith(b"LINKSPY: Error")]
        self.assertEqual(warnings[:4], [b"LINKSPY: Error removing backup logfile",
                                        b"LINKSPY: Error code: Directory not empty",
                                        b"LINKSPY: Error renaming logfile",
                                        b"LINKSPY: Error code: File exists"])
        self.assertLessEqual(len(warnings), 10, warnings)
        self.assertEqual(flood_numbers(h.read_log(folder)), list(range(1, 12001)))
        self.assertGreater(os.path.getsize(os.path.join(folder, "LINKSPY.LOG")), 513024 + 12000 * 40)
        self.assertTrue(os.path.isdir(os.path.join(folder, "LINKSPY.BAK", "keep")))


if __name__ == "__main__":
    h.main()
