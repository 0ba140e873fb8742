"""The CAPI link end to end: linkspy through the real libcapi20 against qz7emu (the messages
it sends byte by byte, floods, stalled and oversized frames, a dead emulator, withheld
answers) and against the stand-in library (refused puts, persistent provider errors, a
library that lacks an entry point)."""

import os
import re
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness as h  # noqa: E402

FAKE_NOPUT = os.path.join(h.BUILD, "libfakecapi_noput.so")


def cpu_seconds(pid):
    """User and system CPU time of a process so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def sent_messages(emulator, kind):
    """The hex of every message of the command log whose description line starts with kind."""
    lines = emulator.commands()
    return [bytes.fromhex(lines[i + 1][4:].replace(" ", ""))
            for i, line in enumerate(lines[:-1])
            if line.startswith(kind) and lines[i + 1].startswith("hex ")]


def pump_for(run, seconds):
    """Reads linkspy's output for a while."""
    started = time.time()
    while time.time() - started < seconds:
        run._pump(0.1)


def paced_errors(run, seconds):
    """The thread's error lines and linkspy's CPU share over the next seconds."""
    pump_for(run, 0)
    lines_before = run.out.count(b"*Thread: ")
    before, started = cpu_seconds(run.process.pid), time.time()
    pump_for(run, seconds)
    share = (cpu_seconds(run.process.pid) - before) / (time.time() - started)
    return run.out.count(b"*Thread: ") - lines_before, share


def keep_log_growing(folder):
    """A backup name that cannot be removed or replaced: the log then never rotates away."""
    os.makedirs(os.path.join(folder, "LINKSPY.BAK", "keep"))


@h.needs(h.LINKSPY, h.QZ7EMU)
class AgainstEmulator(unittest.TestCase):
    def start(self, *script, args=("-2",), emulator_args=("--rate", "0")):
        actions = []
        for action in script:
            actions += ["--do", action]
        self.emulator = h.Emulator(*emulator_args, *actions)
        self.addCleanup(self.emulator.stop)
        self.folder = h.run_folder(self.emulator.port)
        self.run_ = h.Headless(self.folder, list(args))
        self.addCleanup(self.kill)
        return self.run_

    def kill(self):
        if self.run_.process.poll() is None:
            self.run_.process.kill()
            self.run_.process.wait()

    def stop(self):
        self.run_.send(h.CTRL["X"])
        self.assertEqual(self.run_.finish(timeout=20), 0, self.run_.out[-2000:])

    def wait_for_log(self, pattern, timeout):
        """Pumps linkspy's output until the log matches pattern (bytes regex)."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            log = h.read_log(self.folder) or b""
            if re.search(pattern, log):
                return log
            self.run_._pump(0.2)
            self.assertIsNone(self.run_.process.poll(), self.run_.out[-2000:])
        self.fail("log never matched %r" % pattern)

    def test_requests_are_sent_byte_by_byte_and_shutdown_prints_its_lines(self):
        run = self.start(args=("-2", "-3"))
        self.assertTrue(run.wait_for(b"D-Channel Protocol: ", 20), run.out)
        self.assertTrue(h.wait_until(lambda: len(sent_messages(self.emulator, "cmd ")) >= 2, 20),
                        self.emulator.commands())
        self.stop()
        self.assertIn(b"Thread stopping ...", run.out)
        before_stop, after_stop = run.out.split(b"Thread stopping ...", 1)
        self.assertNotIn(b"ReturnCode", before_stop)
        # Once the application is released, the thread may still meet the release as a
        # provider error before the process ends; nothing else may appear.
        for line in after_stop.split(b"\n"):
            if b"ReturnCode" in line:
                self.assertRegex(line, rb"^\*Thread: (WAIT_FOR_SIGNAL|GET_MESSAGE): ReturnCode=0x1101$")

        requests = sent_messages(self.emulator, "adapter_req")
        self.assertGreaterEqual(len(requests), 3)
        # Numbered from 1: the reply echoes the number of the request it answers.
        self.assertEqual([m[6] | m[7] << 8 for m in requests], list(range(1, len(requests) + 1)))
        for m in requests:
            self.assertEqual(len(m), 18)
            self.assertEqual(m[0:2], b"\x12\x00")
            self.assertEqual(m[4:6], b"\x18\x00")
            self.assertEqual(m[8], 1)  # the start-up controller
            self.assertIn(m[9], (2, 4, 6))
            self.assertEqual(m[10:12], b"\x00\x00")
            self.assertEqual(m[16:18], b"\x00\x02")  # reply area of 512 bytes
        self.assertEqual({m[9] for m in requests}, {2, 4, 6})
        self.assertEqual(len({m[2:4] for m in requests}), 1)

        commands = sent_messages(self.emulator, "cmd ")
        self.assertTrue(commands)
        for m in commands:
            text = m[12:-1]
            self.assertEqual(m[0], 13 + len(text))
            self.assertEqual(m[4:8], b"\x19\x00\x00\x00")
            self.assertEqual(m[8:12], bytes([1, 1, len(text) + 2, 2]))
            self.assertEqual(m[-1], 0)
            self.assertEqual(m[2:4], requests[0][2:4])

    def test_flood_reaches_the_log_complete_and_in_order(self):
        count = 200000
        emulator_script = ("wait-decoder", "wait 300", "flood %d" % count)
        run = self.start(*emulator_script)
        keep_log_growing(self.folder)
        log = self.wait_for_log(rb"FLOOD %06d" % count, 240)
        numbers = [int(n) for n in re.findall(rb"L2D FLOOD (\d{6})", log)]
        self.assertEqual(len(numbers), count)
        self.assertEqual(numbers, list(range(1, count + 1)))
        self.assertNotIn(b"*Thread: ", run.out)
        self.stop()

    def test_stalled_and_oversized_frames_cost_only_themselves(self):
        run = self.start("wait-decoder", "wait 300", "trace L2D before the faults",
                         "stall 6000 1", "stall 6000 9", "oversize 5000",
                         "trace L2D still there after the faults", "flood 2000")
        log = self.wait_for_log(rb"FLOOD 002000", 60)
        self.assertEqual(len(re.findall(rb"L2D STALLED FRAME", log)), 2)
        self.assertNotIn(b"OVERSIZE", log)
        for text in (b"before the faults", b"still there after the faults"):
            self.assertIn(text, log)
        self.assertEqual(len(re.findall(rb"L2D FLOOD \d{6}", log)), 2000)
        self.assertEqual(run.out.count(b"*Thread: GET_MESSAGE: ReturnCode=0x1108\n"), 1)
        self.assertIsNone(run.process.poll())
        self.stop()

    def test_dead_emulator_ends_linkspy_as_a_lost_link(self):
        run = self.start("wait-decoder", "wait 300", "trace L2D last words", "wait 200", "exit")
        self.wait_for_log(rb"last words", 20)
        self.assertEqual(run.finish(timeout=10), 255, run.out[-2000:])
        self.assertNotIn(b"*Thread: ", run.out)
        self.assertIn(b"LINKSPY: Connection to the CAPI provider lost\n", run.out)
        self.assertRegex(h.read_log(self.folder),
                         rb"last words\nLINKSPY: Connection to the CAPI provider lost\n"
                         rb"[^\n]* Program unloaded\n$")

    def test_withheld_answers_bound_each_query(self):
        run = self.start("withhold all")
        started = time.time()
        self.assertTrue(run.wait_for(b"D-Channel Protocol: ", 30), run.out)
        elapsed = time.time() - started
        waits = run.out.count(b"WAIT_FOR_SIGNAL: ReturnCode=0x1104\n")
        self.assertGreaterEqual(waits, 3, run.out)
        self.assertLess(elapsed, waits * 2.0 + 10)
        self.stop()

    def assert_report(self, out, **lines):
        """The report's lines named by their labels' first words, as they read."""
        labels = {"type": b"Adaptertype       : ", "version": b"Version of QZ.BIN : ",
                  "line": b"Line Interface    : ", "protocol": b"D-Channel Protocol: "}
        for name, text in lines.items():
            self.assertIn(b"\n" + labels[name] + text + b"\n", out)

    def test_a_late_reply_is_never_another_querys_answer(self):
        true = dict(type=b"qz7-solo ISA-S0 4MB, Version:1.3",
                    line=b"point to multipoint, TEI=AUTO", protocol=b"DSS-1, Euro-ISDN/NET3, ETSI")
        # The firmware version 2.5 s late: it comes while the adapter type's query waits for its
        # own (1 s late), or 4 s late, once the receive thread takes every message; the trace
        # comes after it.
        for script in (("late 6 2500", "late 4 1000"),
                       ("late 6 4000", "wait-decoder", "wait 3000", "trace L2D after the reply")):
            with self.subTest(script=script):
                run = self.start(*script, args=("-2", "-3"))
                self.assertTrue(run.wait_for(b"D-Channel Protocol: ", 30), run.out)
                self.assert_report(run.out, version=b"Unknown", **true)
                if "wait-decoder" in script:
                    self.wait_for_log(rb"L2D after the reply", 30)
                else:
                    h.wait_until(lambda: len(sent_messages(self.emulator, "cmd ")) >= 2, 5)
                self.stop()
                self.assertNotIn(b"Wrong message received", run.out)
                self.assertNotIn(b"Wrong message received", h.read_log(self.folder))
                self.assertEqual(run.out.count(b"WAIT_FOR_SIGNAL: ReturnCode=0x1104\n"), 1)

    def test_a_controller_the_provider_lacks_gets_unknown_and_one_line(self):
        for number in (5, 0):
            with self.subTest(controller=number):
                run = self.start(args=("-2", "-c%d" % number))
                self.assertTrue(run.wait_for(b"D-Channel Protocol: ", 30), run.out)
                self.assert_report(run.out, type=b"Unknown", version=b"Unknown",
                                   line=b"Unknown", protocol=b"Unknown")
                self.assertIn(b"Controller Number : %d\n" % number, run.out)
                line = b"LINKSPY: The CAPI provider has no controller %d\n" % number
                self.assertEqual(run.out.count(line), 1, run.out)
                # Every query was still asked, each got its answer at once.
                self.assertEqual(len(sent_messages(self.emulator, "adapter_req")), 4)
                self.assertNotIn(b"ReturnCode", run.out)
                self.stop()
                self.assertEqual(h.read_log(self.folder).count(line), 1)

    def test_refused_registration(self):
        self.emulator = h.Emulator("--refuse-register")
        self.addCleanup(self.emulator.stop)
        folder = h.run_folder(self.emulator.port)
        status, out, err = h.run_headless(folder)
        self.assertEqual(status, 255)
        self.assertIn(b"LINKSPY: Application not registered, Error: 1008", err)
        self.assertNotIn(b"ReturnCode", out)
        self.assertIsNone(h.read_log(folder))


@h.needs(h.LINKSPY, h.FAKE_CAPI)
class AgainstStandIn(unittest.TestCase):
    def setUp(self):
        self.folder = h.run_folder()

    def env(self, library=h.FAKE_CAPI, **results):
        return h.linkspy_env(self.folder, LINKSPY_CAPI_LIBRARY=library, **results)

    def test_refused_puts_are_reported_and_start_up_goes_on(self):
        run = h.Headless(self.folder, ["-2"], env=self.env(FAKECAPI_PUT="1101"))
        self.assertTrue(run.wait_for(b"D-Channel Protocol: ", 20), run.out)
        run.send(h.CTRL["X"])
        self.assertEqual(run.finish(), 0)
        self.assertGreaterEqual(run.out.count(b"ADAPTER_REQ: ReturnCode=1101\n"), 3, run.out)

    def test_persistent_provider_error_is_paced(self):
        run = h.Headless(self.folder, ["-2"], env=self.env(FAKECAPI_WAIT="ffff8001"))
        self.assertTrue(run.wait_for(b"*Thread: WAIT_FOR_SIGNAL: ReturnCode=0x8001\n", 20),
                        run.out)
        self.assertIn(b"\nWAIT_FOR_SIGNAL: ReturnCode=0xFFFF8001\n", run.out)
        lines, share = paced_errors(run, 3)
        self.assertLessEqual(lines, 14)
        self.assertLess(share, 0.05, "CPU share %.3f" % share)
        run.send(h.CTRL["X"])
        self.assertEqual(run.finish(), 0)
        self.assertIn(b"Thread stopping ...", run.out)

    @unittest.skipUnless(os.path.exists(FAKE_NOPUT), "not built: " + FAKE_NOPUT)
    def test_library_lacking_an_entry_point_is_refused(self):
        status, out, err = h.run_headless(self.folder, env=self.env(FAKE_NOPUT))
        self.assertEqual(status, 255)
        self.assertIn(b"LINKSPY: LoadLibrary (%s) failed\n" % FAKE_NOPUT.encode(), out)
        self.assertIn(b"entry point capi20_put_message missing", err)
        self.assertIsNone(h.read_log(self.folder))


if __name__ == "__main__":
    h.main()
