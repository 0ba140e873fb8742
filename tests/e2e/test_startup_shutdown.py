"""The program's spine end to end: first lines, options, binding failures, the start-up and
shutdown lines on standard output and in the log, the keys, signals and idle CPU."""

import os
import re
import signal
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness as h  # noqa: E402

FIRST_LINES = (b"\n[Initializing and starting module: %s]\n"
               b"LINKSPY: Max log file size 500 kBytes\n")


def first_lines():
    return FIRST_LINES % h.program_name(h.LINKSPY)


class OptionsAndBinding(unittest.TestCase):
    def setUp(self):
        self.folder = h.run_folder()

    def test_help_prints_usage_and_touches_nothing(self):
        status, out, _ = h.run_headless(self.folder, ["-h"])
        self.assertEqual(status, 0)
        self.assertTrue(out.startswith(first_lines() + b"\nUsage: LOAD LINKSPY -h\n"), out)
        self.assertTrue(out.endswith(b"Start example   : LOAD LINKSPY -2 -3\n\n"))
        self.assertIsNone(h.read_log(self.folder))

    def test_option_errors_end_with_status_two(self):
        status, out, _ = h.run_headless(self.folder, ["-h", "-q", "x"])
        self.assertEqual(status, 2)
        self.assertEqual(out, first_lines() + b"\rUnknown parameter: -q\n"
                         b"\rParameter without '-' or '/': x\n")

    def test_long_help_and_version_act_alone_before_any_line(self):
        status, out, _ = h.run_headless(self.folder, ["-q", "--version", "x"])
        self.assertEqual((status, out), (0, b"linkspy 0.96\n"))
        _, usage, _ = h.run_headless(self.folder, ["-h"])
        status, out, _ = h.run_headless(self.folder, ["-2", "--help", "--version"])
        self.assertEqual((status, out), (0, usage[len(first_lines()):]))
        status, out, _ = h.run_headless(self.folder, ["--foo"])
        self.assertEqual((status, out), (2, first_lines() + b"\rUnknown parameter: --foo\n"))
        self.assertIsNone(h.read_log(self.folder))

    def test_missing_provider_ends_with_255_and_no_log(self):
        env = h.linkspy_env(self.folder, LINKSPY_CAPI_LIBRARY="/nonexistent/libcapi.so")
        status, out, err = h.run_headless(self.folder, [], env=env)
        self.assertEqual(status, 255)
        self.assertEqual(out, first_lines() +
                         b"LINKSPY: LoadLibrary (/nonexistent/libcapi.so) failed\n")
        self.assertIn(b"LINKSPY: Cannot load /nonexistent/libcapi.so (0)", err)
        self.assertIn(b"\nLINKSPY: dlopen: /nonexistent/libcapi.so: cannot open shared object "
                      b"file: No such file or directory\n", err)
        self.assertIsNone(h.read_log(self.folder))

    def test_unloadable_provider_says_the_loaders_reason(self):
        library = os.path.join(self.folder, "libbroken.so")
        with open(library, "wb") as f:
            f.write(b"\x7fELF not really a library" * 4)
        env = h.linkspy_env(self.folder, LINKSPY_CAPI_LIBRARY=library)
        status, out, err = h.run_headless(self.folder, [], env=env)
        self.assertEqual(status, 255)
        self.assertTrue(out.endswith(b"LINKSPY: LoadLibrary (%s) failed\n" % library.encode()))
        self.assertRegex(err, rb"LINKSPY: Cannot load [^\n]*libbroken\.so \(0\)\n"
                              rb"LINKSPY: dlopen: [^\n]*libbroken\.so: [^\n]*ELF[^\n]*\n$")

    def test_provider_not_installed_shows_only_the_message_box(self):
        # No REMOTE line and no CAPI device: the real library says it is not installed.
        status, out, err = h.run_headless(self.folder, [])
        self.assertEqual(status, 255)
        self.assertEqual(out, first_lines())
        self.assertIn(b"LINKSPY: ZELM CAPI 2.0 not installed", err)
        self.assertIsNone(h.read_log(self.folder))


# What the receive thread may print once it is told to stop: the provider error the release
# causes, and its stop line.
THREAD_LINES = rb"\*Thread: [A-Z_]+: ReturnCode=0x1101\n|WAIT_FOR_MESSAGE-Thread stopped\.\n"


@h.needs(h.QZ7EMU)
class RunAgainstEmulator(h.EmulatorCase):
    def test_start_up_and_shutdown_lines_reach_console_and_log(self):
        run = h.Headless(self.folder, ["-2"])
        self.assertTrue(run.wait_for(b"D-Channel Protocol: "), run.out)
        run.send(h.CTRL["X"])
        self.assertEqual(run.finish(), 0)
        out = run.out
        self.assertTrue(out.startswith(first_lines() + b"LINKSPY: Started log file LINKSPY.LOG\n\n"))
        self.assertIn(b"LINKSPY for Windows NT v0.96\n", out)
        self.assertIn(b"** Version for internal use only **\n", out)
        self.assertIn(b"Fileserver Name   : ", out)
        # The thread is not waited for: the release may still reach it as a provider error
        # before the process ends, and then it prints that and its stop line, wherever the
        # shutdown's own lines then stand.
        stopping = out.index(b"Thread stopping ...")
        stopped = [line.startswith(b"WAIT") for line in re.findall(THREAD_LINES, out[stopping:])]
        self.assertIn(stopped, ([], [False], [True], [False, True]), out[stopping:])
        self.assertRegex(re.sub(THREAD_LINES, b"", out[stopping:]),
                         rb"^Thread stopping \.\.\.\d\d/\d\d/\d{4} \d\d:\d\d:\d\d Program unloaded\n"
                         rb"\rClean at shutdown\n$")
        self.assertIn(b"LINKSPY: ISDN trace monitor", run.err.replace(b"LINKSPY for Windows NT\n", b""))
        log = h.read_log(self.folder)
        self.assertTrue(log.startswith(b"\n\nStart program LINKSPY v0.96\n"), log[:200])
        self.assertIn(b"\n** Version for internal use only **\n", log)
        self.assertIn(b"Fileserver Name   : ", log)
        self.assertRegex(log, rb"\d\d/\d\d/\d{4} \d\d:\d\d:\d\d Program unloaded\n$")
        self.assertNotIn(b"\r\n", log)

    def test_controller_out_of_range_is_said_and_controller_0_used(self):
        run = h.Headless(self.folder, ["-c9"])
        self.assertTrue(run.wait_for(b"D-Channel Protocol: "), run.out)
        run.send(h.CTRL["X"])
        self.assertEqual(run.finish(), 0)
        self.assertTrue(run.err.startswith(
            b"LINKSPY: Controller 9 is out of range 0..7, using controller 0\n"), run.err)
        self.assertEqual(run.err.count(b"out of range"), 1)
        self.assertIn(b"Controller Number : 0\n", run.out)
        queries = [line for line in self.emulator.commands() if line.startswith("adapter_req")]
        self.assertEqual(queries[0], "adapter_req ctrl=0 type=6", queries)

    def test_access_sequence_with_a_wrong_key_between(self):
        run = h.Headless(self.folder, [])
        self.assertTrue(run.wait_for(b"D-Channel Protocol: "))
        time.sleep(0.3)
        # A wrong key restarts the sequence; a blank outside debug mode does nothing.
        run.send(h.CTRL["P"] + h.CTRL["E"] + b"q" + b" " + h.ACCESS)
        self.assertTrue(run.wait_for(b"Welcome in debug mode, ready for input...\n\n"))
        self.assertEqual(run.out.count(b"Welcome in debug mode"), 1)
        run.send(h.CTRL["X"])
        self.assertEqual(run.finish(), 0)
        self.assertIn(b"Program unloaded\n", h.read_log(self.folder))

    def test_signals_end_through_the_normal_shutdown_with_input_at_its_end(self):
        # Standard input is /dev/null from the start: only the signal ends the run.
        for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            folder = h.run_folder(self.emulator.port)
            run = h.Headless(folder, [], keys=False)
            self.assertTrue(run.wait_for(b"D-Channel Protocol: "))
            time.sleep(1.0)
            self.assertIsNone(run.process.poll(), signum)
            run.process.send_signal(signum)
            self.assertEqual(run.finish(), 0, signum)
            self.assertIn(b"\rClean at shutdown\n", run.out)
            self.assertIn(b"Program unloaded\n", h.read_log(folder))

    def test_idle_program_uses_no_measurable_cpu(self):
        run = h.Headless(self.folder, [])
        self.assertTrue(run.wait_for(b"D-Channel Protocol: "))
        time.sleep(0.5)
        used = h.cpu_share(run.process.pid, 3)
        run.send(h.CTRL["X"])
        self.assertEqual(run.finish(), 0)
        self.assertLess(used, 0.01, "idle CPU share %.3f" % used)


@h.needs(h.QZ7EMU)
class EndDuringStartUp(unittest.TestCase):
    def test_a_signal_during_the_adapter_queries_ends_start_up_there(self):
        # The adapter stays silent to its queries; the signal comes while the first one waits.
        for signum in (signal.SIGTERM, signal.SIGINT):
            run = h.start_scripted(self, "withhold all")
            self.assertTrue(run.wait_for(b"Fileserver Time   : "), run.out)
            self.assertTrue(h.wait_until(lambda: any(
                line.startswith("adapter_req") for line in self.emulator.commands())))
            run.process.send_signal(signum)
            self.assertEqual(run.finish(), 0, signum)
            self.assertRegex(run.out, rb"\nFileserver Time   : [^\n]*\n"
                                      rb"\d\d/\d\d/\d{4} \d\d:\d\d:\d\d Program unloaded\n"
                                      rb"\rClean at shutdown\n$")
            self.assertNotIn(b"ReturnCode", run.out)
            log = h.read_log(self.folder)
            self.assertRegex(log, rb"\nFileserver Time   : [^\n]*\n"
                                  rb"\d\d/\d\d/\d{4} \d\d:\d\d:\d\d Program unloaded\n$")
            sent = [line for line in self.emulator.commands() if not line.startswith("hex ")]
            self.assertEqual([line for line in sent if line.startswith(("adapter_req", "cmd"))],
                             ["adapter_req ctrl=1 type=6"], signum)


@h.needs(h.QZ7EMU)
class KeysDuringStartUp(unittest.TestCase):
    """Typed in a terminal (raw keys, no signal) while start-up waits for a slow adapter."""

    def start(self, *emulator_args):
        self.emulator = h.Emulator("--rate", "0", *emulator_args)
        self.addCleanup(self.emulator.stop)
        self.folder = h.run_folder(self.emulator.port)
        self.tmux = h.Tmux(h.LINKSPY + " -2 -3", self.folder)
        self.addCleanup(self.tmux.close)

    def sent(self, kind):
        return [line for line in self.emulator.commands() if line.startswith(kind)]

    def end_with(self, key, waiting_for):
        """Types key once the emulator has seen waiting_for; the seconds until linkspy ended."""
        self.assertTrue(h.wait_until(lambda: self.sent(waiting_for), 20), self.tmux.screen())
        typed = time.time()
        self.tmux.send_keys(key)
        self.assertEqual(self.tmux.exit_status(timeout=30), 0, self.tmux.screen())
        return time.time() - typed

    def test_ctrl_c_and_ctrl_x_end_the_slow_queries_at_once(self):
        for key in ("C", "X"):
            with self.subTest(key=key):
                self.start("--do", "late all 5000")
                self.assertTrue(self.tmux.wait_for_text("OK"), self.tmux.screen())
                self.tmux.send_keys(b"\r")  # the start-up message box
                took = self.end_with(h.CTRL[key], "adapter_req")
                log = h.read_log(self.folder)
                self.assertRegex(log, rb"\nFileserver Time   : [^\n]*\n"
                                      rb"\d\d/\d\d/\d{4} \d\d:\d\d:\d\d Program unloaded\n$")
                # The first query gave up: nothing more was asked, nothing reported.
                self.assertEqual(self.sent("adapter_req"), ["adapter_req ctrl=1 type=6"])
                self.assertEqual(self.sent("cmd"), [])
                self.assertNotIn("ReturnCode", "\n".join(self.tmux.screen()))
                self.assertLess(took, 4.0)

    def test_ctrl_x_ends_a_registration_that_hangs(self):
        self.start("--ignore-register")
        took = self.end_with(h.CTRL["X"], "register")
        self.assertIsNone(h.read_log(self.folder))
        self.assertLess(took, 4.0)

    @unittest.skipUnless(os.path.exists(h.FAKE_CAPI), "not built: " + h.FAKE_CAPI)
    def test_ctrl_x_ends_the_queries_on_a_silent_kernel_device(self):
        # No remote socket: the wait watches the library's descriptor, which stays silent.
        self.folder = h.run_folder()
        env = h.linkspy_env(self.folder, LINKSPY_CAPI_LIBRARY=h.FAKE_CAPI)
        self.tmux = h.Tmux("FAKECAPI_SILENT_DEVICE=1 " + h.LINKSPY + " -2", self.folder, env=env)
        self.addCleanup(self.tmux.close)
        self.assertTrue(self.tmux.wait_for_text("OK"), self.tmux.screen())
        self.tmux.send_keys(b"\r")
        self.assertTrue(self.tmux.wait_for_text("Fileserver Time"), self.tmux.screen())
        typed = time.time()
        self.tmux.send_keys(h.CTRL["X"])
        self.assertEqual(self.tmux.exit_status(timeout=30), 0, self.tmux.screen())
        self.assertLess(time.time() - typed, 4.0)
        self.assertNotIn(b"Controller Number", h.read_log(self.folder))

    def test_other_keys_typed_meanwhile_reach_the_keyboard_loop(self):
        self.start("--do", "late 6 1500")
        self.assertTrue(self.tmux.wait_for_text("OK"), self.tmux.screen())
        self.tmux.send_keys(b"\r")
        self.assertTrue(h.wait_until(lambda: self.sent("adapter_req"), 20), self.tmux.screen())
        self.tmux.send_keys(h.ACCESS)
        self.assertTrue(self.tmux.wait_for(
            lambda rows: rows[0] == "Welcome in debug mode, ready for input..."), self.tmux.screen())
        self.assertIn(b"D-Channel Protocol: DSS-1", h.read_log(self.folder))
        self.tmux.send_keys(h.CTRL["X"])
        self.assertEqual(self.tmux.exit_status(timeout=30), 0, self.tmux.screen())


if __name__ == "__main__":
    h.main()
