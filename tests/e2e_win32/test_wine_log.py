"""linkspy.exe under Wine: two instances in one folder share the log through rotations with
numbered backups kept, every line whole and in place (text mode: CR LF); a hard link or another
user's file at the log's name is refused. (Wine shows a Unix symbolic link as the file it points
to, not as a link, so a planted symbolic link cannot be told apart here.)

Under Wine the provider is the host's CAPI library, whose remote module loses the framing of a
stream that backs up (a length split between TCP segments); the Win32 build cannot reach the
socket to guard against it. So the traffic here is paced well below what linkspy.exe logs under
Wine (about 400 texts a second per instance on two cores): short bursts with pauses, so that
the connection never backs up."""

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
BLOCKS = 400
BLOCK = 20



@wine.needs_wine(h.QZ7EMU)
class SharedLog(unittest.TestCase):
    def test_two_instances_share_the_log_through_rotations(self):
        # At most 200 texts a second per instance, 8,000 each: three generations of the log.
        script = os.path.join(tempfile.mkdtemp(prefix="wine-log-"), "script")
        with open(script, "w") as f:
            f.write("wait-decoder\nwait 500\n" + "flood %d\nwait 100\n" % BLOCK * BLOCKS)
            f.write("trace L2D LAST TEXT\n")
        emulator = h.Emulator("--rate", "0", "--controllers", "2", "--script", script)
        self.addCleanup(emulator.stop)
        folder = h.run_folder(emulator.port)
        env = wine.wine_env(h.linkspy_env(folder), LINKSPY_LOG_BACKUPS="50")
        runs = []
        for c in (1, 2):
            with open(os.path.join(folder, "out%d" % c), "wb") as out:
                run = subprocess.Popen([wine.WINE, wine.RUN_EXE, "-2", "-e", "-c%d" % c],
                                       cwd=folder, env=env, stdin=subprocess.PIPE, stdout=out,
                                       stderr=subprocess.STDOUT)
            self.addCleanup(lambda r=run: r.poll() is None and r.kill())
            runs.append(run)

        def newest():
            return b"".join(h.read_log(folder, n) or b"" for n in h.log_generations(folder)[-3:])
        self.assertTrue(h.wait_until(lambda: newest().count(b"LAST TEXT") == 2, 180, 1),
                        self.progress(folder, runs))
        for run in runs:
            run.stdin.write(h.CTRL["X"])
            run.stdin.flush()
        for run in runs:
            self.assertEqual(run.wait(timeout=60), 0)
        # Each instance waits for the other's writes in turn, never long enough to take the
        # other for a stuck holder of the lock.
        for c in (1, 2):
            with open(os.path.join(folder, "out%d" % c), "rb") as f:
                self.assertNotIn(b"LINKSPY: Error", f.read(), "controller %d" % c)
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

    @staticmethod
    def progress(folder, runs):
        """What the log and the instances show when the last texts do not come."""
        names = h.log_generations(folder)
        everything = b"".join(h.read_log(folder, n) or b"" for n in names)
        report = ["generations %s" % names]
        for c, run in zip((1, 2), runs):
            numbers = re.findall(rb"C%d \S+ L2D FLOOD (\d{6}) " % c, everything)
            with open(os.path.join(folder, "out%d" % c), "rb") as f:
                tail = f.read()[-300:]
            report.append("controller %d: %d texts, last %s, status %s, output ends %r" % (
                c, len(numbers), numbers[-1:] or None, run.poll(), tail))
        return "; ".join(report)



@h.needs(wine.LINKSPY_EXE, h.QZ7EMU)
class PlantedLog(unittest.TestCase):
    def test_hard_link_and_another_users_file_are_refused(self):
        victim = os.path.join(tempfile.mkdtemp(prefix="wine-victim-"), "secret")
        with open(victim, "wb") as f:
            f.write(b"secret\n")

        def owned_elsewhere(log):
            with open(log, "wb") as f:
                f.write(b"planted\n")
            os.chown(log, 40001, 40001)
        plantings = {"hard link": (lambda log: os.link(victim, log), b"has other hard links"),
                     "another owner": (owned_elsewhere, b"owned by another user")}
        for kind, (plant, reason) in plantings.items():
            with self.subTest(kind=kind):
                emulator = h.Emulator.scripted("wait-decoder", "wait 200", "trace L2D PLANTED")
                self.addCleanup(emulator.stop)
                folder = h.run_folder(emulator.port)
                plant(os.path.join(folder, "LINKSPY.LOG"))
                run = wine.start_piped(folder, ["-2"], stdin=subprocess.PIPE)
                self.addCleanup(lambda r=run: r.poll() is None and r.kill())

                def output():
                    with open(os.path.join(folder, "out"), "rb") as f:
                        return f.read()
                self.assertTrue(h.wait_until(lambda: b"L2D PLANTED" in output(), 60, 0.5),
                                output()[-1500:])
                run.stdin.write(h.CTRL["X"])
                run.stdin.flush()
                self.assertEqual(run.wait(timeout=60), 0)
                self.assertEqual(output().count(b"LINKSPY: Error open log file: LINKSPY.LOG\r\n"
                                                b"LINKSPY: Error code: Log file " + reason +
                                                b"\r\n"), 1, output()[-1500:])
                with open(victim, "rb") as f:
                    self.assertEqual(f.read(), b"secret\n")
                emulator.stop()


if __name__ == "__main__":
    wine.main()
