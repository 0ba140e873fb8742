"""linkspy.exe under Wine through pipes: the provider that cannot be loaded, the provider that
is not installed, a whole run against the emulator with the keys from a pipe, and start-up
queries whose replies are withheld or late. Standard output and the log are text-mode files
here: every line ends in CR LF."""

import os
import re
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wine  # noqa: E402

h = wine.h
# The thread is not waited for: one more message or the release may still reach it, and then
# its error and stop lines come before or after the last shutdown lines.
THREAD_LINES = rb"(\*Thread: [A-Z_]+: ReturnCode=0x[0-9A-F]+\r\n)?(WAIT_FOR_MESSAGE-Thread stopped\.\r\n)?"
SHUTDOWN_END = (THREAD_LINES + rb"\d\d/\d\d/\d{4} \d\d:\d\d:\d\d Program unloaded\r\n"
                rb"\rClean at shutdown\r\n" + THREAD_LINES + rb"$")

# The program's path stands cut to 47 characters, so a long one need not end in its name.
FIRST_LINES = re.compile(rb"^\r\n\[Initializing and starting module: [^\r\n]{1,47}\]\r\n"
                         rb"LINKSPY: Max log file size 500 kBytes\r\n", re.IGNORECASE)


def lone_line_feeds(data):
    """How many line feeds stand without a carriage return before them."""
    return len(re.findall(rb"(?<!\r)\n", data))



@wine.needs_wine()
class ProviderBinding(unittest.TestCase):
    def setUp(self):
        self.folder = h.run_folder()

    def test_disabled_provider_library_ends_with_255_and_no_log(self):
        status, out, err = wine.run_piped(self.folder, WINEDLLOVERRIDES="mscoree,mshtml=;capi2032=d")
        self.assertEqual(status, 255, (out, err))
        first = FIRST_LINES.match(out)
        self.assertTrue(first, out)
        self.assertEqual(out[first.end():], b"LINKSPY: LoadLibrary (CAPI2032.DLL) failed\r\n")
        # No desktop under Wine in a terminal: the message box text goes to standard error.
        self.assertIn(b"LINKSPY: Cannot load CAPI2032.DLL (0)\r\n", err)
        self.assertIsNone(h.read_log(self.folder))

    def test_provider_without_an_adapter_is_not_installed(self):
        # No REMOTE line and no CAPI device behind Wine's CAPI2032.DLL.
        status, out, err = wine.run_piped(self.folder)
        self.assertEqual(status, 255, (out, err))
        first = FIRST_LINES.match(out)
        self.assertTrue(first, out)
        self.assertEqual(out[first.end():], b"")
        self.assertIn(b"LINKSPY: ZELM CAPI 2.0 not installed\r\n", err)
        self.assertIsNone(h.read_log(self.folder))


@wine.needs_wine(h.QZ7EMU)
class PipedRun(h.EmulatorCase):
    def test_start_up_report_and_shutdown_with_keys_from_a_pipe(self):
        # The access sequence comes first, then Ctrl-X.
        status, out, err = wine.run_piped(self.folder, ["-2"], stdin=h.ACCESS + h.CTRL["X"])
        self.assertEqual(status, 0, (out[-2000:], err))
        self.assertTrue(FIRST_LINES.match(out), out[:300])
        self.assertIn(b"LINKSPY: Started log file LINKSPY.LOG\r\n\r\n", out)
        self.assertIn(b"Fileserver Name   : ", out)
        self.assertIn(b"D-Channel Protocol: ", out)
        self.assertIn(b"Welcome in debug mode, ready for input...\r\n\r\n", out)
        self.assertRegex(out, rb"Thread stopping \.\.\.")
        self.assertRegex(out, SHUTDOWN_END)
        self.assertEqual(lone_line_feeds(out), 0)
        log = h.read_log(self.folder)
        self.assertTrue(log.startswith(b"\r\n\r\nStart program LINKSPY v0.96\r\n"), log[:200])
        self.assertIn(b"\r\n** Version for internal use only **\r\n", log)
        self.assertRegex(log, rb"\d\d/\d\d/\d{4} \d\d:\d\d:\d\d Program unloaded\r\n$")
        self.assertEqual(lone_line_feeds(log), 0)


@wine.needs_wine(h.QZ7EMU)
class SilentRegistration(unittest.TestCase):
    def test_registration_without_answer_is_given_up_after_about_5_s(self):
        with h.Emulator("--ignore-register") as emulator:
            folder = h.run_folder(emulator.port)
            start = time.time()
            status, out, err = wine.run_piped(folder, ["-2"])
            elapsed = time.time() - start
        self.assertEqual(status, 255, (out, err))
        self.assertGreater(elapsed, 4.5)
        self.assertIn(b"LINKSPY: Application not registered, Error: 1008\r\n", err)
        self.assertIsNone(h.read_log(folder))

    def test_ctrl_c_ends_the_wait_at_once(self):
        with h.Emulator("--ignore-register") as emulator:
            folder = h.run_folder(emulator.port)
            process = wine.start_piped(folder, ["-2"])
            self.addCleanup(lambda: process.poll() is None and process.kill())
            self.assertTrue(h.wait_until(lambda: any(
                line.startswith("register ") for line in emulator.commands()), 30))
            time.sleep(0.5)
            started = time.time()
            process.send_signal(signal.SIGINT)
            self.assertEqual(process.wait(30), 0)
            self.assertLess(time.time() - started, 4)
        with open(os.path.join(folder, "err"), "rb") as f:
            self.assertNotIn(b"not registered", f.read())


@wine.needs_wine(h.QZ7EMU)
class InputAtItsEnd(unittest.TestCase):
    """Redirected input that has ended (a closed pipe, the null device) ends only the keys:
    monitoring goes on without spinning until Ctrl-C (here SIGINT) ends it."""

    def test_monitoring_goes_on_until_ctrl_c(self):
        for stdin in (subprocess.DEVNULL, subprocess.PIPE):
            with self.subTest(stdin=stdin), h.Emulator.scripted(
                    "wait-decoder", "wait 4000", "trace L2D after the end of input") as emulator:
                folder = h.run_folder(emulator.port)
                process = wine.start_piped(folder, ["-2"], stdin)
                if process.stdin:
                    process.stdin.close()
                try:
                    self.assertTrue(h.wait_until(
                        lambda: b"after the end of input\r\n" in (h.read_log(folder) or b""),
                        60), h.read_log(folder))
                    self.assertIsNone(process.poll())
                    used = h.cpu_share(process.pid, 2)
                    self.assertLess(used, 0.05, "CPU share at the end of input %.3f" % used)
                    process.send_signal(signal.SIGINT)
                    self.assertEqual(process.wait(30), 0)
                finally:
                    if process.poll() is None:
                        process.kill()
                        process.wait()
                with open(os.path.join(folder, "out"), "rb") as f:
                    self.assertRegex(f.read(), SHUTDOWN_END)
                self.assertRegex(h.read_log(folder), rb"Program unloaded\r\n$")


@wine.needs_wine(h.QZ7EMU)
class BoundedQueryWait(unittest.TestCase):
    """The start-up queries wait at most two seconds for a reply through a helper thread, as
    CAPI2032.DLL has no bounded wait of its own."""

    def run_with(self, *actions):
        args = []
        for action in actions:
            args += ["--do", action]
        with h.Emulator(*args) as emulator:
            folder = h.run_folder(emulator.port)
            start = time.time()
            status, out, err = wine.run_piped(folder, ["-2"], stdin=h.CTRL["X"])
            return status, out, err, time.time() - start

    def test_a_withheld_reply_fails_its_query_and_start_up_goes_on(self):
        status, out, err, _ = self.run_with("withhold 6")
        self.assertEqual(status, 0, (out, err))
        self.assertEqual(out.count(b"WAIT_FOR_SIGNAL: ReturnCode=0x1104\r\n"), 1, out)
        self.assertIn(b"Version of QZ.BIN : Unknown\r\n", out)
        # The next queries are answered while the first wait still stands in the provider.
        self.assertIn(b"Adaptertype       : qz7-solo", out)
        self.assertIn(b"D-Channel Protocol: DSS-1", out)
        self.assertRegex(out, SHUTDOWN_END)

    def test_a_late_reply_is_dropped_by_the_next_query(self):
        # The firmware-version reply comes half a second after its query gave up, while the
        # adapter-type query waits for its own (a second late): known by its number, it is
        # dropped, and the adapter type is the true one.
        status, out, err, elapsed = self.run_with("late 6 2500", "late 4 1000")
        self.assertEqual(status, 0, (out, err))
        self.assertEqual(out.count(b"WAIT_FOR_SIGNAL: ReturnCode=0x1104\r\n"), 1, out)
        self.assertIn(b"Version of QZ.BIN : Unknown\r\n", out)
        self.assertIn(b"Adaptertype       : qz7-solo ISA-S0 4MB, Version:1.3\r\n", out)
        self.assertIn(b"D-Channel Protocol: DSS-1", out)
        self.assertNotIn(b"Wrong message received", out)
        self.assertLess(elapsed, 60)
        self.assertRegex(out, SHUTDOWN_END)

if __name__ == "__main__":
    wine.main()
