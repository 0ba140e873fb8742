"""linkspy.exe under Wine: two instances in one folder share the log through rotations with
numbered backups kept, every line whole and in place (text mode: CR LF)."""

import os
import re
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wine  # noqa: E402

h = wine.h
BLOCKS = 40
BLOCK = 250


def setUpModule():
    wine.ensure_prefix()


@h.needs(wine.LINKSPY_EXE, h.QZ7EMU)
class SharedLog(unittest.TestCase):
    def test_two_instances_share_the_log_through_rotations(self):
        # Ordinary rates: bursts of texts with pauses, about 1,600 a second per instance.
        script = os.path.join(tempfile.mkdtemp(prefix="wine-log-"), "script")
        with open(script, "w") as f:
            f.write("wait-decoder\nwait 500\n" + "flood %d\nwait 150\n" % BLOCK * BLOCKS)
            f.write("trace L2D LAST TEXT\n")
        emulator = h.Emulator("--rate", "0", "--controllers", "2", "--script", script)
        self.addCleanup(emulator.stop)
        folder = h.run_folder(emulator.port)
        env = wine.wine_env(h.linkspy_env(folder), LINKSPY_LOG_BACKUPS="50")
        runs = []
        for c in (1, 2):
            run = subprocess.Popen([wine.WINE, wine.LINKSPY_EXE, "-2", "-e", "-c%d" % c],
                                   cwd=folder, env=env, stdin=subprocess.PIPE,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.addCleanup(lambda r=run: r.poll() is None and r.kill())
            runs.append(run)

        def newest():
            return b"".join(h.read_log(folder, n) or b"" for n in h.log_generations(folder)[-3:])
        self.assertTrue(h.wait_until(lambda: newest().count(b"LAST TEXT") == 2, 180, 1),
                        h.log_generations(folder))
        for run in runs:
            run.stdin.write(h.CTRL["X"])
            run.stdin.flush()
        for run in runs:
            self.assertEqual(run.wait(timeout=60), 0)
        names = h.log_generations(folder)
        self.assertGreaterEqual(len(names), 3)
        for name in names[:-1]:  # each generation was rotated once, past the limit
            self.assertGreaterEqual(os.path.getsize(os.path.join(folder, name)), 513024, name)
        everything = b"".join(h.read_log(folder, n) for n in names)
        whole = re.findall(rb"L2D FLOOD \d{6} [A-Za-z]+\r\n", everything)
        self.assertEqual(len(whole), everything.count(b"FLOOD"))
        for c in (1, 2):
            numbers = [int(n) for n in re.findall(
                rb"C%d \S+ L2D FLOOD (\d{6}) " % c, everything)]
            self.assertEqual(numbers, list(range(1, BLOCK + 1)) * BLOCKS, "controller %d" % c)
        self.assertEqual(everything.count(b"Program unloaded\r\n"), 2)


if __name__ == "__main__":
    unittest.main(verbosity=2)
