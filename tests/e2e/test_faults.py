"""Faults while traces flow: the emulator killed mid-flood, a connection stalled mid-frame,
malformed messages among good traces, short messages that claim the length of long ones before
them, a log file that cannot be written, signals during a
flood, standard input closing at any point, and a terminal resized under traffic."""

import os
import random
import re
import signal
import stat
import struct
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness as h  # noqa: E402

FLOOD_LINE = re.compile(rb"\d\d:\d\d:\d\d\.\d{3} L2D FLOOD (\d{6}) [A-Za-z]+")
UNLOADED = re.compile(rb"\n\d\d/\d\d/\d{4} \d\d:\d\d:\d\d Program unloaded\n$")


def debug_ind(text, length=None, controller=1, present=1):
    """A DEBUG_IND message; length overrides the text length byte."""
    body = bytes([controller, present, len(text) if length is None else length, 0, 0]) + text
    return struct.pack("<HHBBH", 8 + len(body), 1, 0x19, 0x02, 0) + body


def flood_numbers(log):
    return [int(n) for n in re.findall(rb"L2D FLOOD (\d{6})", log)]


@h.needs(h.LINKSPY, h.QZ7EMU)
class FaultsHeadless(unittest.TestCase):
    def start(self, *script, args=("-2",), folder_setup=None):
        self.emulator = h.Emulator.scripted(*script)
        self.addCleanup(self.emulator.stop)
        self.folder = h.run_folder(self.emulator.port)
        if folder_setup:
            folder_setup(self.folder)
        self.run_ = h.Headless(self.folder, list(args))
        self.addCleanup(self.run_.kill)
        return self.run_

    def log(self):
        return h.read_log(self.folder) or b""

    def pump_until(self, predicate, timeout, what):
        deadline = time.time() + timeout
        while not predicate():
            self.assertLess(time.time(), deadline, "%s; output: %r" % (what, self.run_.out[-1500:]))
            self.assertIsNone(self.run_.process.poll(), self.run_.out[-1500:])
            self.run_._pump(0.05)

    def end_with_ctrl_x(self):
        self.run_.send(h.CTRL["X"])
        self.assertEqual(self.run_.finish(timeout=20), 0, self.run_.out[-2000:])
        self.assertIn(b"\rClean at shutdown\n", self.run_.out)

    def assert_whole_lines(self, log):
        """Every flood line in the log is whole, and they run 1, 2, 3 ... without a gap."""
        lines = [line for line in log.split(b"\n") if b"L2D FLOOD" in line]
        for line in lines:
            self.assertRegex(line, FLOOD_LINE.pattern + rb"$")
        numbers = flood_numbers(log)
        self.assertEqual(numbers, list(range(1, len(numbers) + 1)))
        return numbers

    def test_emulator_killed_mid_flood(self):
        run = self.start("wait-decoder", "wait 200", "flood 400000")
        self.pump_until(lambda: len(flood_numbers(self.log()[-4000:])) > 0, 20, "no flood")
        self.pump_until(lambda: len(self.log()) > 100000, 20, "flood too slow")
        self.emulator.kill()
        # What was queued is still taken; then the connection's end ends linkspy.
        self.assertEqual(run.finish(timeout=20), 255, run.out[-2000:])
        self.assertNotIn(b"*Thread: ", run.out)
        log = self.log()
        self.assertIn(b"\nLINKSPY: Connection to the CAPI provider lost\n", log)
        self.assertRegex(log, UNLOADED)

    def test_connection_stalled_mid_frame_does_not_hold_up_the_end(self):
        run = self.start("wait-decoder", "wait 200", "trace L2D before the stall", "stall 30000",
                         "trace L2D never seen")
        self.pump_until(lambda: b"before the stall" in self.log(), 20, "no trace")
        time.sleep(1.0)  # now the receive thread waits for the rest of the frame
        run._pump(0)
        self.assertNotIn(b"*Thread: ", run.out)
        started = time.time()
        self.end_with_ctrl_x()
        self.assertLess(time.time() - started, 5)
        self.assertRegex(self.log(), UNLOADED)

    def test_malformed_messages_among_good_traces(self):
        rng = random.Random(7)
        bad = []
        for _ in range(40):  # random bytes with random total lengths, in correct frames
            body = bytes(rng.randrange(256) for _ in range(rng.randrange(0, 300)))
            bad.append(struct.pack("<H", rng.randrange(0x10000)) + body)
        for size in range(8, 14):  # a DEBUG_IND cut short inside its header or text fields
            bad.append(debug_ind(b"12:00:00.000 L2D cut")[:size])
        bad += [
            debug_ind(b"", length=0),                                   # text length 0
            debug_ind(b"12:00:00.000 L2D " + b"y" * 238),               # text length 255
            debug_ind(b"12:00:00.000 L2D lying", length=255),           # 255, text shorter
            debug_ind(b"12:00:00.000 L2D no text", present=0),
            struct.pack("<HHBBH", 4, 1, 0x19, 0x02, 0) + b"\x01\x01\x05\x00\x00abcde",  # total < header
            struct.pack("<HHBBH", 0, 1, 0x19, 0x02, 0),                  # total length 0
            struct.pack("<HHBBHBBHIH", 18, 1, 0x18, 0x01, 0, 1, 6, 0xFFFF, 0, 0),  # data length 0xFFFF
            debug_ind(b"\xff" * 40)[:10] + b"\xff\xff" + b"\xff" * 40,  # DEBUG_IND, length bytes 0xFFFF
            debug_ind(b"12:00:00.000 L2D \x00zero inside"),
            debug_ind(b"12:00:00.000 L2D \x1b[2J\rescape and CR"),
        ]
        script = ["wait-decoder", "wait 200"]
        for i, message in enumerate(bad):
            script.append("raw " + message.hex())
            script.append("trace L2D GOOD %03d" % i)
        script.append("trace L2D THE END")
        run = self.start(*script)
        self.pump_until(lambda: b"THE END" in self.log(), 30, "the last trace never came")
        log = self.log()
        goods = [int(n) for n in re.findall(rb"L2D GOOD (\d{3})\n", log)]
        self.assertEqual(goods, list(range(len(bad))))
        self.assertIn(b"Wrong message received: com=18,subcom=1\n", log)
        # The frames too short to be a message at all are dropped as provider errors.
        self.assertEqual(run.out.count(b"*Thread: GET_MESSAGE: ReturnCode=0x1108\n"),
                         sum(1 for m in bad if len(m) < 8))
        self.end_with_ctrl_x()

    def test_short_claiming_messages_after_long_ones_show_only_their_own_bytes(self):
        # Back to back, 300 times: a long text, then a message whose length word and text
        # length claim as much while its frame carries only "abc".
        script = ["wait-decoder", "wait 200"]
        for i in range(300):
            long_one = debug_ind(b"12:00:00.000 L2D GOOD %06d SECRET" % i)
            short_one = debug_ind(b"abc")
            short_one = long_one[:2] + short_one[2:10] + long_one[10:11] + short_one[11:]
            script += ["raw " + long_one.hex(), "raw " + short_one.hex()]
        script.append("trace L2D THE END")
        self.start(*script)
        self.pump_until(lambda: b"THE END" in self.log(), 30, "the last trace never came")
        lines = self.log().split(b"\n")
        self.assertEqual([int(n) for n in re.findall(rb"GOOD (\d{6}) SECRET", self.log())],
                         list(range(300)))
        self.assertEqual(lines.count(b"abc"), 300)
        self.assertEqual(sum(1 for line in lines if b"abc" in line), 300)
        self.end_with_ctrl_x()

    def test_log_that_cannot_be_written(self):
        cases = {
            "device": (lambda path: os.mknod(path, stat.S_IFCHR | 0o600, os.makedev(1, 7)),
                       lambda path: stat.S_ISCHR(os.lstat(path).st_mode),
                       [b"LINKSPY: Error open log file: LINKSPY.LOG\n",
                        b"LINKSPY: Error code: Not a regular file\n"]),
            "directory": (os.mkdir, os.path.isdir,
                          [b"LINKSPY: Error open log file: LINKSPY.LOG\n",
                           b"LINKSPY: Error code: Is a directory\n"]),
        }
        for case, (make, still_there, errors) in cases.items():
            with self.subTest(case=case):
                run = self.start("wait-decoder", "wait 200", "trace L2D after the fault",
                                 folder_setup=lambda folder: make(
                                     os.path.join(folder, "LINKSPY.LOG")))
                # Logging goes off once, and the texts go to standard output instead.
                self.pump_until(lambda: b"after the fault" in run.out, 20, "trace not printed")
                for error in errors:
                    self.assertEqual(run.out.count(error), 1, error)
                self.end_with_ctrl_x()
                self.assertIn(b"Program unloaded\n", run.out)
                self.assertTrue(still_there(os.path.join(self.folder, "LINKSPY.LOG")))
                self.emulator.stop()

    def test_signals_during_a_flood(self):
        for signum in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=signum):
                run = self.start("wait-decoder", "wait 200", "flood 300000")
                keeper = h.LogKeeper(self.folder)
                self.pump_until(lambda: keeper.keep() or
                                len(flood_numbers(self.log()[-2000:])) > 0, 20, "no flood")
                started = time.time()
                while time.time() - started < 0.3:
                    keeper.keep()
                    run._pump(0.002)
                run.process.send_signal(signum)
                while run.process.poll() is None:
                    keeper.keep()
                    run._pump(0.002)
                self.assertEqual(run.finish(timeout=20), 0, run.out[-2000:])
                self.assertIn(b"Thread stopping ...", run.out)
                self.assertIn(b"\rClean at shutdown\n", run.out)
                files = keeper.files()
                self.assertRegex(files[-1], UNLOADED)
                self.assertGreater(len(self.assert_whole_lines(b"".join(files))), 0)
                self.emulator.stop()

    def test_ctrl_x_mid_flood_ends_cleanly_every_time(self):
        # The receive thread is inside a pass while the process ends: it must not crash it.
        for attempt in range(6):
            with self.subTest(attempt=attempt):
                run = self.start("wait-decoder", "wait 200", "flood 200000")
                self.pump_until(lambda: len(flood_numbers(self.log()[-2000:])) > 0, 20, "no flood")
                time.sleep(0.05 * attempt)
                self.end_with_ctrl_x()
                self.assertRegex(self.log(), UNLOADED)
                self.emulator.stop()

    def test_standard_input_closing_at_any_point(self):
        # The end of input ends only the keys: monitoring goes on until a signal.
        moments = {
            "before start-up ends": lambda run: None,
            "during a flood": lambda run: self.pump_until(
                lambda: len(flood_numbers(self.log()[-2000:])) > 0, 20, "no flood"),
            "at the prompt": lambda run: (run.wait_for(b"D-Channel Protocol: ", 20),
                                          time.sleep(0.3), run.send(h.ACCESS),
                                          run.wait_for(b"Welcome in debug mode", 10),
                                          run.send(b" "), time.sleep(0.3)),
        }
        for moment, reach in moments.items():
            with self.subTest(moment=moment):
                run = self.start("wait-decoder", "wait 200", "flood 100000", "wait 500",
                                 "trace L2D after the end of input")
                reach(run)
                run.close_input()
                self.pump_until(lambda: b"after the end of input\n" in self.log(), 30,
                                "no trace after the end of input")
                run.process.send_signal(signal.SIGTERM)
                self.assertEqual(run.finish(timeout=20), 0, run.out[-2000:])
                self.assertIn(b"\rClean at shutdown\n", run.out)
                self.assertIn(b"Program unloaded\n", self.log())
                self.emulator.stop()


@h.needs(h.LINKSPY, h.QZ7EMU)
class ResizeUnderTraffic(unittest.TestCase):
    def test_terminal_resized_while_traces_flow(self):
        emulator = h.Emulator("--rate", "0", "--do", "wait-decoder", "--do", "wait 500",
                              "--do", "flood 60000", "--do", "wait 3000",
                              "--do", "trace L2D after the resizes")
        self.addCleanup(emulator.stop)
        folder = h.run_folder(emulator.port)
        pane = h.Tmux(h.LINKSPY + " -2", folder)
        self.addCleanup(pane.close)
        self.assertTrue(pane.wait_for_text(" OK ", 10), pane.screen())
        pane.send_keys(b"\r")
        self.assertTrue(pane.wait_for_text("L2D FLOOD", 20), pane.screen())
        for width, height in ((40, 12), (120, 40), (20, 5), (80, 25), (79, 24), (80, 25)):
            pane._tmux("resize-window", "-t", "t", "-x", str(width), "-y", str(height))
            time.sleep(0.15)
        self.assertTrue(pane.wait_for(
            lambda rows: any(row.endswith("after the resizes") for row in rows), 30), pane.screen())
        pane.send_keys(h.CTRL["X"])
        self.assertEqual(pane.exit_status(20), 0)
        log = h.read_log(folder) or b""
        self.assertIn(b"after the resizes\n", log)
        self.assertIn(b"Program unloaded\n", log)


if __name__ == "__main__":
    h.main()
