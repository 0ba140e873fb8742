"""The provider link at its limits: a lost connection or lost framing ends linkspy with 255
while a transient error does not; a registration that never gets an answer is given up after
about 5 s, and a signal or Ctrl-C ends that wait at once; a provider that is not installed or
refuses the registration gets a line saying why; control bytes in trace texts and in the
firmware's version text."""

import os
import re
import signal
import socket
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness as h  # noqa: E402

LOST = b"LINKSPY: Connection to the CAPI provider lost\n"
UNLOADED = rb"\d\d/\d\d/\d{4} \d\d:\d\d:\d\d Program unloaded\n"


def free_port():
    """A loopback port where nothing listens."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@h.needs(h.LINKSPY, h.QZ7EMU)
class LinkLost(unittest.TestCase):
    def start(self, *script):
        return h.start_scripted(self, *script)

    def log(self):
        return h.read_log(self.folder) or b""

    def wait_for_log(self, text, timeout=20):
        deadline = time.time() + timeout
        while text not in self.log():
            self.assertLess(time.time(), deadline, self.run_.out[-1500:])
            self.run_._pump(0.05)

    def assert_ended_as_lost(self, last_trace, seconds):
        """linkspy ends within seconds with 255, the lost line after the last trace in the log
        and on standard output, then the normal shutdown."""
        started = time.time()
        self.assertEqual(self.run_.finish(timeout=seconds + 5), 255, self.run_.out[-2000:])
        self.assertLess(time.time() - started, seconds)
        # Redirected, the line is said once, and the thread's end right after it.
        self.assertEqual(self.run_.out.count(LOST), 1)
        self.assertIn(LOST + b"WAIT_FOR_MESSAGE-Thread stopped.\n", self.run_.out)
        self.assertIn(b"\rClean at shutdown\n", self.run_.out)
        self.assertNotIn(b"*Thread: ", self.run_.out)
        self.assertRegex(self.log(), re.escape(last_trace) + rb"\n" + re.escape(LOST) +
                         UNLOADED + rb"$")

    def test_dropped_connection_ends_with_255(self):
        # Nothing is left to send when the drop comes: it must close an idle connection too.
        self.start("wait-decoder", "wait 200", "trace L2D before the drop", "wait 300", "drop")
        self.wait_for_log(b"before the drop")
        self.assert_ended_as_lost(b"L2D before the drop", 5)

    def test_frame_length_zero_is_a_lost_link_not_a_frame_to_skip(self):
        self.start("wait-decoder", "wait 200", "trace L2D before the zero", "rawframe 00 00",
                   "trace L2D never read")
        self.wait_for_log(b"before the zero")
        self.assert_ended_as_lost(b"L2D before the zero", 5)
        self.assertNotIn(b"never read", self.log())

    def test_transient_error_keeps_it_running(self):
        # A frame too short for a message is dropped and reported; the link goes on.
        run = self.start("wait-decoder", "wait 200", "rawframe 00 05 01 02 03",
                         "trace L2D after the short frame")
        self.wait_for_log(b"after the short frame")
        started = time.time()
        while time.time() - started < 2:
            run._pump(0.1)
        self.assertIsNone(run.process.poll())
        self.assertEqual(run.out.count(b"*Thread: GET_MESSAGE: ReturnCode=0x1108\n"), 1)
        self.assertNotIn(LOST, run.out)
        run.send(h.CTRL["X"])
        self.assertEqual(run.finish(timeout=20), 0)

    def test_control_bytes_are_shown_and_logged_as_dots(self):
        run = self.start("wait-decoder", "wait 200",
                         r"trace L2D A\nB\x1b[2J\x0dC\tD\x7fE\x01F",
                         r"trace L2D fake\n12/12/2026 12:00:00 Program unloaded",
                         "trace L2D THE END")
        self.wait_for_log(b"THE END")
        log = self.log()
        lines = [line for line in log.split(b"\n") if b" L2D " in line]
        self.assertEqual(len(lines), 3, log)
        self.assertTrue(lines[0].endswith(b" L2D A.B.[2J.C.D.E.F"), lines[0])
        self.assertTrue(lines[1].endswith(b" L2D fake.12/12/2026 12:00:00 Program unloaded"))
        self.assertNotRegex(log, rb"[\x00-\x09\x0b-\x1f\x7f]")
        run.send(h.CTRL["X"])
        self.assertEqual(run.finish(timeout=20), 0)

    def test_firmware_version_text_is_cleaned_as_a_trace_text(self):
        forged = "2.41\n12:00:00.000 L2D FORGED LINE\x1b[2J\x7f"
        run = h.start_scripted(self, emulator_args=("--rate", "0", "--version-text", forged))
        self.assertTrue(run.wait_for(b"D-Channel Protocol: "), run.out)
        run.send(h.CTRL["X"])
        self.assertEqual(run.finish(timeout=20), 0)
        line = b"Version of QZ.BIN : 2.41.12:00:00.000 L2D FORGED LINE.[2J.\n"
        log = self.log()
        for where in (run.out, log):
            self.assertIn(line, where)
            self.assertNotIn(b"\x1b", where)
            self.assertNotRegex(where, rb"(^|\n)12:00:00\.000 L2D FORGED")


@h.needs(h.LINKSPY, h.QZ7EMU)
class SilentRegistration(unittest.TestCase):
    def setUp(self):
        self.emulator = h.Emulator("--ignore-register")
        self.addCleanup(self.emulator.stop)
        self.folder = h.run_folder(self.emulator.port)

    def test_registration_without_answer_is_given_up_after_about_5_s(self):
        started = time.time()
        status, out, err = h.run_headless(self.folder, ["-2"], timeout=30)
        elapsed = time.time() - started
        self.assertEqual(status, 255, (out, err))
        self.assertGreater(elapsed, 4.5)
        self.assertLess(elapsed, 12)
        self.assertIn(b"LINKSPY: Application not registered, Error: 1008\n", err)
        self.assertIn(b"REMOTE line names 127.0.0.1 port %d: a TCP connection to it works; "
                      b"the provider gave no answer within 5 s\n" % self.emulator.port, err)
        self.assertTrue(any(line.startswith("register ") for line in self.emulator.commands()))
        self.assertIsNone(h.read_log(self.folder))

    def test_termination_signal_ends_the_wait_at_once(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            run = h.Headless(self.folder, ["-2"])
            self.addCleanup(run.kill)
            self.assertTrue(h.wait_until(
                lambda: sum(line.startswith("register ") for line in self.emulator.commands())
                > 0, 5))
            time.sleep(0.5)
            started = time.time()
            run.process.send_signal(sig)
            self.assertEqual(run.finish(timeout=10), 0, (run.out, run.err))
            # Well inside the 4.5 s the wait had left; one waited out says "not registered".
            self.assertLess(time.time() - started, 4)
            self.assertNotIn(b"not registered", run.err)
            self.emulator.stop()
            self.setUp()

    def test_ctrl_c_at_the_terminal_ends_the_wait_and_restores_the_terminal(self):
        command = "%s -2; s=$?; stty -a > stty.txt; (exit $s)" % h.shell_quote(h.LINKSPY)
        pane = h.Tmux(command, self.folder)
        self.addCleanup(pane.close)
        self.assertTrue(h.wait_until(lambda: any(
            line.startswith("register ") for line in self.emulator.commands()), 10))
        time.sleep(0.5)
        started = time.time()
        pane.send_keys(h.CTRL["C"])
        self.assertEqual(pane.exit_status(10), 0)
        self.assertLess(time.time() - started, 4)
        with open(os.path.join(self.folder, "stty.txt")) as f:
            modes = f.read().split()
        for mode in ("icanon", "echo", "isig"):
            self.assertIn(mode, modes)


@h.needs(h.LINKSPY)
class WhyNotBound(unittest.TestCase):
    """The line on standard error beside the unchanged message box."""

    def run_with_configuration(self, text):
        folder = h.run_folder()
        path = os.path.join(folder, ".capi20rc")
        if text is None:
            os.unlink(path)
        else:
            with open(path, "wb") as f:
                f.write(text)
        status, out, err = h.run_headless(folder, ["-2"])
        self.assertEqual(status, 255, (out, err))
        return path, err

    @unittest.skipIf(os.path.exists("/etc/capi20.conf"), "this machine has /etc/capi20.conf")
    def test_missing_configuration(self):
        path, err = self.run_with_configuration(None)
        self.assertIn(b"LINKSPY: ZELM CAPI 2.0 not installed\nLINKSPY: libcapi20 finds no "
                      b"configuration (neither %s nor /etc/capi20.conf), so it looks for the "
                      b"kernel's CAPI device: /dev/capi20 is " % path.encode(), err)

    def test_configuration_without_a_remote_line(self):
        path, err = self.run_with_configuration(b"\x00\xff garbage\nREMOTELY 1 2 3\n\x1b[2J\n")
        self.assertIn(b"LINKSPY: ZELM CAPI 2.0 not installed\nLINKSPY: libcapi20 reads %s, "
                      b"which has no REMOTE line, so it looks for the kernel's CAPI device: "
                      b"/dev/capi20 is " % path.encode(), err)

    def test_remote_where_nothing_listens(self):
        port = free_port()
        path, err = self.run_with_configuration(b"REMOTE rcapi 127.0.0.1 %d\nTRACELEVEL 0\n" % port)
        self.assertIn(b"LINKSPY: ZELM CAPI 2.0 not installed\nLINKSPY: libcapi20 reads %s, "
                      b"whose REMOTE line names 127.0.0.1 port %d: a TCP connection to it was "
                      b"refused\n" % (path.encode(), port), err)

    @unittest.skipUnless(os.path.exists(h.QZ7EMU), "not built: " + h.QZ7EMU)
    def test_refused_registration(self):
        with h.Emulator("--refuse-register") as emulator:
            folder = h.run_folder(emulator.port)
            status, _, err = h.run_headless(folder, ["-2"])
        self.assertEqual(status, 255)
        self.assertIn(b"LINKSPY: Application not registered, Error: 1008\nLINKSPY: libcapi20 reads "
                      b"%s/.capi20rc, whose REMOTE line names 127.0.0.1 port %d: a TCP connection "
                      b"to it works\n" % (folder.encode(), emulator.port), err)


if __name__ == "__main__":
    h.main()
