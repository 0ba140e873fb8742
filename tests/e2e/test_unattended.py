"""linkspy left to monitor without a keyboard or a reader: standard input at its end from the
start, standard output whose reader has gone, standard descriptors closed; it ends only on a
signal, with status 0. Standard output that is the journal gets lines with priorities; a lost
link ends linkspy, and the demo script, with 255."""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness as h  # noqa: E402

SOURCE = os.environ.get("LINKSPY_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))


def read_text(path):
    with open(path) as f:
        return f.read()


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
        self.start("wait-decoder", "wait-signal", "trace L2D first after a while",
                   "wait-signal", "trace L2D second after a while")
        self.assertTrue(self.run_.wait_for(b"D-Channel Protocol: ", 20), self.run_.out)
        used = h.cpu_share(self.run_.process.pid, 2)
        self.assertLess(used, 0.02, "CPU share at the end of input %.3f" % used)
        self.emulator.go_ahead()
        self.wait_for_log(b"L2D first after a while\n")
        self.emulator.go_ahead()
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

    def test_journal_gets_priorities_and_text_only_when_it_is_standard_output(self):
        # Standard output and error are one file, which JOURNAL_STREAM names (or names not, by
        # another inode). A log that is a folder switches logging off, so the trace texts come
        # to standard output too; the emulator's end is a lost link.
        for journal in (True, False):
            with self.subTest(journal=journal):
                emulator = h.Emulator("--rate", "0", "--version-text", b"qz7 caf\x82 2.41",
                                      "--do", "wait-decoder", "--do", "wait 300",
                                      "--do", r"text 12:00:00.000 L2D one \x9a",
                                      "--do", "wait 300", "--do", "exit")
                self.addCleanup(emulator.stop)
                folder = h.run_folder(emulator.port)
                os.mkdir(os.path.join(folder, "LINKSPY.LOG"))
                path = os.path.join(folder, "out")
                with open(path, "wb") as out:
                    status = os.fstat(out.fileno())
                    stream = "%d:%d" % (status.st_dev, status.st_ino + (0 if journal else 1))
                    process = subprocess.Popen(
                        [h.LINKSPY, "-2"], cwd=folder, stdin=subprocess.DEVNULL, stdout=out,
                        stderr=out, env=h.linkspy_env(folder, JOURNAL_STREAM=stream))
                self.addCleanup(lambda p=process: p.poll() is None and p.kill())
                self.assertEqual(process.wait(timeout=30), 255)
                with open(path, "rb") as f:
                    output = f.read()
                if not journal:
                    for text in (b"\rClean at shutdown\n", b"L2D one \x9a\n",
                                 b"Version of QZ.BIN : qz7 caf\x82 2.41\n",
                                 b"\nLINKSPY: Connection to the CAPI provider lost\n"):
                        self.assertIn(text, output)
                    self.assertNotIn(b"<6>", output)
                    continue
                self.assertNotIn(b"\r", output)
                for line in output.decode("utf-8").split("\n")[:-1]:
                    self.assertRegex(line, r"^<[346]>.", output)
                for text in ("<3>LINKSPY: Connection to the CAPI provider lost\n",
                             "<3>LINKSPY: Error open log file: LINKSPY.LOG\n"
                             "<3>LINKSPY: Error code: ",
                             "<6>Version of QZ.BIN : qz7 caf\u00e9 2.41\n",
                             "<6>12:00:00.000 L2D one \u00dc\n",
                             "<6>LINKSPY: LINKSPY for Windows NT\n<6>ISDN trace monitor",
                             "<6>[Initializing and starting module: ", "<6>Clean at shutdown\n"):
                    self.assertIn(text.encode(), output)

    def test_demo_script_ends_with_the_status_of_a_lost_link(self):
        # scripts/run-demo from a copy of the tree (it works in the tree's run/), the build
        # linked in; its emulator killed, linkspy ends with 255 and so must the script.
        top = tempfile.mkdtemp(prefix="linkspy-demo-")
        os.mkdir(os.path.join(top, "scripts"))
        shutil.copy(os.path.join(SOURCE, "scripts", "run-demo"), os.path.join(top, "scripts"))
        os.symlink(os.path.dirname(h.LINKSPY), os.path.join(top, "build"))
        demo = subprocess.Popen([os.path.join(top, "scripts", "run-demo"), "build"],
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, start_new_session=True)
        self.addCleanup(lambda: demo.poll() is None and os.killpg(demo.pid, signal.SIGKILL))
        self.assertIn(b"qz7emu on port", demo.stdout.readline())
        for line in demo.stdout:  # killed once linkspy is past its start
            if line.startswith(b"D-Channel Protocol: "):
                break
        emulators = [pid for pid in read_text("/proc/%d/task/%d/children" % (demo.pid, demo.pid))
                     .split() if read_text("/proc/%s/comm" % pid) == "qz7emu\n"]
        self.assertEqual(len(emulators), 1)
        os.kill(int(emulators[0]), signal.SIGKILL)
        output = demo.communicate(timeout=30)[0]
        self.assertEqual(demo.returncode, 255, output[-2000:])
        self.assertIn(b"LINKSPY: Connection to the CAPI provider lost\n", output)


if __name__ == "__main__":
    h.main()
