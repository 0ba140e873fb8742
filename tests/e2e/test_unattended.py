"""linkspy left to monitor without a keyboard or a reader: standard input at its end from the
start, standard output whose reader has gone, standard descriptors closed; it ends only on a
signal, with status 0."""

import os
import re
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness as h  # noqa: E402


def flood_numbers(log):
    return [int(n) for n in re.findall(rb"L2D FLOOD (\d{6})", log)]


@h.needs(h.LINKSPY, h.QZ7EMU)
class Unattended(unittest.TestCase):
    def start(self, *script, keys=False):
        self.emulator = h.Emulator.scripted(*script)
        self.addCleanup(self.emulator.stop)
        self.folder = h.run_folder(self.emulator.port)
        self.run_ = h.Headless(self.folder, ["-2"], keys=keys)
        self.addCleanup(self.run_.kill)
        return self.run_

    def log(self):
        return h.read_log(self.folder) or b""

    def wait_for_log(self, text, timeout=30):
        self.assertTrue(h.wait_until(lambda: text in self.log(), timeout), self.log()[-1000:])

    def end_with_sigterm(self):
        self.assertIsNone(self.run_.process.poll(), self.run_.out[-1000:])
        self.run_.process.send_signal(signal.SIGTERM)
        self.assertEqual(self.run_.finish(timeout=20), 0, self.run_.err)
        self.assertRegex(self.log(), rb"\d\d:\d\d:\d\d Program unloaded\n$")

    def test_input_at_its_end_from_the_start_monitors_without_spinning(self):
        self.start("wait-decoder", "wait 1500", "trace L2D first after a while",
                   "wait 1500", "trace L2D second after a while")
        self.assertTrue(self.run_.wait_for(b"D-Channel Protocol: ", 20), self.run_.out)
        used = h.cpu_share(self.run_.process.pid, 2)
        self.assertLess(used, 0.02, "CPU share at the end of input %.3f" % used)
        self.wait_for_log(b"L2D second after a while\n")
        self.end_with_sigterm()
        self.assertIn(b"\rClean at shutdown\n", self.run_.out)

    def test_standard_output_reader_gone(self):
        # Gone mid-flood, or before the start-up report: the writes to standard output fail
        # (SIGPIPE must not end the program) and the log still gets every line.
        for moment in ("mid-flood", "before the report"):
            with self.subTest(moment=moment):
                run = self.start("wait-decoder", "wait 300", "flood 6000", "wait 500",
                                 "trace L2D after the reader went")
                if moment == "mid-flood":
                    self.assertTrue(run.wait_for(b"D-Channel Protocol: ", 20), run.out)
                    self.assertTrue(h.wait_until(lambda: flood_numbers(self.log()[-2000:]), 20))
                else:
                    self.assertTrue(run.wait_for(b"Max log file size", 20), run.out)
                run.process.stdout.close()
                self.wait_for_log(b"after the reader went\n")
                self.end_with_sigterm()
                log = self.log()
                self.assertIn(b"\nD-Channel Protocol: ", log)
                self.assertEqual(flood_numbers(log), list(range(1, 6001)))
                self.assertIsNone(h.read_log(self.folder, "LINKSPY.BAK"))
                self.emulator.stop()

    def test_closed_standard_descriptors(self):
        # Started as daemons are, with some of standard input, output and error closed: the
        # program's own descriptors must not take their numbers.
        for closed in ("<&-", ">&-", "2>&-", ">&- 2>&-", "<&- >&-", "<&- >&- 2>&-"):
            with self.subTest(closed=closed):
                emulator = h.Emulator.scripted("wait-decoder", "wait 500",
                                               "trace L2D after the start")
                self.addCleanup(emulator.stop)
                self.folder = h.run_folder(emulator.port)
                with open(os.path.join(self.folder, "out"), "wb") as out:
                    process = subprocess.Popen(
                        ["sh", "-c", 'exec "$0" -2 ' + closed, h.LINKSPY], cwd=self.folder,
                        env=h.linkspy_env(self.folder), stdin=subprocess.DEVNULL, stdout=out,
                        stderr=out)
                self.addCleanup(lambda p=process: p.poll() is None and p.kill())
                self.wait_for_log(b"L2D after the start\n")
                self.assertIn(b"\nD-Channel Protocol: ", self.log())
                used = h.cpu_share(process.pid, 2)
                self.assertLess(used, 0.02, "CPU share while idle %.3f" % used)
                process.send_signal(signal.SIGTERM)
                self.assertEqual(process.wait(timeout=20), 0)
                self.assertRegex(self.log(), rb"\d\d:\d\d:\d\d Program unloaded\n$")
                emulator.stop()


if __name__ == "__main__":
    h.main()
