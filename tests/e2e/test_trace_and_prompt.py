"""The trace road and the operator prompt end to end, headless, against the emulator: the
start-up report, decoder commands in column order, trace lines in the log, dot commands and
forwarded firmware commands driven from a script."""

import os
import re
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness as h  # noqa: E402

TRACE_LINE = re.compile(rb"^\d\d:\d\d:\d\d\.\d{3} ")


def log_lines(folder):
    return (h.read_log(folder) or b"").split(b"\n")


@h.needs(h.QZ7EMU)
class TraceRoad(unittest.TestCase):
    def test_report_decoders_in_column_order_and_one_trace_line_per_log_line(self):
        with h.Emulator("--rate", "50", "--do", "wait-decoder",
                        "--do", "trace CMT got debugReq hidden",
                        "--do", "trace DBG hidden too",
                        "--do", "trace L2D " + "x" * 100) as emulator:
            folder = h.run_folder(emulator.port)
            run = h.Headless(folder, ["-b", "-2"])
            self.assertTrue(run.wait_for(b"D-Channel Protocol: DSS-1, Euro-ISDN/NET3, ETSI\n"), run.out)
            self.assertTrue(h.wait_until(lambda: len([l for l in log_lines(folder)
                                                      if TRACE_LINE.match(l)]) >= 30))
            run.send(h.CTRL["X"])
            self.assertEqual(run.finish(), 0)
            commands = [c for c in emulator.commands() if c.startswith("cmd ")]
            self.assertEqual(commands[:2], ["cmd cmt l2", "cmd bch 22"])
            self.assertEqual(emulator.commands().count("adapter_req ctrl=1 type=6"), 1)
            self.assertEqual(emulator.commands().count("adapter_req ctrl=1 type=2"), 2)

        report = (b"Controller Number : 1\n"
                  b"Adaptertype       : qz7-solo ISA-S0 4MB, Version:1.3\n"
                  b"Version of QZ.BIN : qz7 BRI firmware 2.41 (12.03.1997)\n"
                  b"Line Interface    : point to multipoint, TEI=AUTO\n"
                  b"D-Channel Protocol: DSS-1, Euro-ISDN/NET3, ETSI\n\n")
        self.assertIn(report, run.out)
        log = h.read_log(folder)
        self.assertIn(report, log)
        traces = [l for l in log_lines(folder) if TRACE_LINE.match(l)]
        for line in traces:
            self.assertLessEqual(len(line), 79, line)
            for hidden in (b"CMT got debugReq", b"CMT ascii", b"DBG"):
                self.assertFalse(line[13:].startswith(hidden), line)
        self.assertIn(b"L2D " + b"x" * 62, [l[13:] for l in traces])

    def test_every_query_unanswered_gives_unknown_after_bounded_waits(self):
        with h.Emulator("--do", "withhold all") as emulator:
            folder = h.run_folder(emulator.port)
            start = time.time()
            run = h.Headless(folder, ["-2"])
            self.assertTrue(run.wait_for(b"D-Channel Protocol: Unknown\n", timeout=20), run.out)
            # Four bounded waits, not a hang.
            self.assertLess(time.time() - start, 15)
            run.send(h.CTRL["X"])
            self.assertEqual(run.finish(), 0)
        for label in (b"Adaptertype       : Unknown\n", b"Version of QZ.BIN : Unknown\n",
                      b"Line Interface    : Unknown\n"):
            self.assertIn(label, run.out)
        self.assertEqual(run.out.count(b"WAIT_FOR_SIGNAL: ReturnCode=0x1104\n"), 4)


@h.needs(h.QZ7EMU)
class PromptFromAScript(unittest.TestCase):
    def test_markers_forwarding_and_logout(self):
        with h.Emulator("--rate", "0") as emulator:
            folder = h.run_folder(emulator.port)
            run = h.Headless(folder, [])
            self.assertTrue(run.wait_for(b"D-Channel Protocol: "))
            lines = [b".m", b".m", b"dch 22", b"DCH 22", b"db", b"x" * 40, b"l2d " + b"y" * 35,
                     b".c3", b"stp 1", b".c9", b".l"]
            run.send(h.ACCESS + b"".join(b" " + line + b"\n" for line in lines))
            self.assertTrue(run.wait_for(b"LINKSPY for Windows NT v0.96\n", timeout=5))
            self.assertTrue(h.wait_until(lambda: "cmd stp 1" in emulator.commands()))
            # After .l the blank opens no prompt: this line is read as keys, not forwarded.
            run.send(b" cmt l9\n")
            time.sleep(0.5)
            run.send(h.CTRL["X"])
            self.assertEqual(run.finish(), 0)
            commands = emulator.commands()
        sent = [c for c in commands if c.startswith("cmd ") and not c.startswith("cmd cmt l")]
        self.assertEqual(sent, ["cmd dch 22", "cmd l2d " + "y" * 35, "cmd stp 1"])
        hex_line = commands[commands.index("cmd stp 1") + 1].split()[1:]
        # DEBUG_REQ to controller 3: length 18, command 0x19/0x00, kind 1, payload 0x02 text NUL.
        self.assertEqual(hex_line[0:2], ["12", "00"])
        self.assertEqual(hex_line[4:6], ["19", "00"])
        self.assertEqual(" ".join(hex_line[8:]), "03 01 07 02 73 74 70 20 31 00")
        markers = [l for l in log_lines(folder) if b"Marker No." in l]
        self.assertEqual(len(markers), 2)
        for number, line in zip((b"001", b"002"), markers):
            self.assertRegex(line, rb"^################### Marker No. " + number +
                             rb" - \d\d/\d\d/\d{4} \d\d:\d\d:\d\d  #####################$")

    def test_console_print_mode_puts_trace_lines_on_standard_output(self):
        with h.Emulator("--rate", "0", "--do", "wait-decoder", "--do", "wait-signal",
                        "--do", "trace L2D printed not logged") as emulator:
            folder = h.run_folder(emulator.port)
            run = h.Headless(folder, ["-2"])
            self.assertTrue(run.wait_for(b"D-Channel Protocol: ", timeout=20))
            run.send(h.ACCESS + b" .p\n")
            # A marker is printed, not logged, once print mode is on: then the trace may come.
            # (A marker line sent while .p still waits is logged, and another one is sent.)
            printed = False
            for _ in range(10):
                run.send(b" .m\n")
                printed = run.wait_for(b"Marker No.", timeout=2)
                if printed:
                    break
            self.assertTrue(printed, run.out)
            emulator.go_ahead()
            self.assertTrue(run.wait_for(b"L2D printed not logged", timeout=10), run.out)
            run.send(h.CTRL["X"])
            self.assertEqual(run.finish(), 0)
        self.assertNotIn(b"printed not logged", h.read_log(folder))
        # With logging off the shutdown line is echoed and then printed instead of logged.
        self.assertEqual(len(re.findall(rb"Program unloaded\n", run.out)), 2)


if __name__ == "__main__":
    h.main()
