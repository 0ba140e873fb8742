"""qz7emu's own wire handling, seen by a bare socket client: registration, the adapter replies
byte by byte, firmware commands and their log, the simulated line, script faults and floods."""

import os
import re
import select
import signal
import socket
import struct
import subprocess
import tempfile
import time
import unittest

import harness as h
from harness import BUILD, QZ7EMU
HEAD = re.compile(rb"^\d\d:\d\d:\d\d\.\d{3} ")
TASKS = {b"V42", b"CMT", b"SM2", b"L2D", b"PPP", b"DCH", b"BCH", b"FD0", b"TIM", b"L3E",
         b"L2B", b"L2M", b"MLP", b"FAX", b"L3P", b"STP", b"DBG"}


def start_emulator(*args, workdir=None):
    """Starts qz7emu on a free port; returns (process, port, command log path)."""
    workdir = workdir or tempfile.mkdtemp(prefix="qz7emu-wire-")
    log = os.path.join(workdir, "commands.log")
    process = subprocess.Popen([QZ7EMU, "--port", "0", "--command-log", log, *args],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    line = process.stdout.readline().decode()
    match = re.fullmatch(r"qz7emu listening on 127\.0\.0\.1:(\d+)\n", line)
    if not match:
        process.kill()
        raise RuntimeError("qz7emu did not start: %r %r" % (line, process.stderr.read()))
    return process, int(match.group(1)), log


def stop_emulator(process):
    """SIGTERM, then the exit status."""
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
    return process.wait(timeout=10)


def read_log(path):
    with open(path, encoding="latin-1") as f:
        return [line.rstrip("\n") for line in f]


def adapter_req(ctrl, rtype, number=0):
    return struct.pack("<HHBBHBBHIH", 18, 1, 0x18, 0x00, number, ctrl, rtype, 0, 0x12345678, 512)


def debug_req(ctrl, payload):
    return struct.pack("<HHBBHBBB", 11 + len(payload), 1, 0x19, 0x00, 0, ctrl, 1, len(payload)) + payload


def command(text):
    return debug_req(1, b"\x02" + text + b"\x00")


class Client:
    """One application connection speaking the framed wire; closed when the test ends."""

    opened = []

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port))
        self.buffer = b""
        Client.opened.append(self.sock)

    def send(self, message):
        self.sock.sendall(struct.pack(">H", len(message) + 2) + message)

    def register(self):
        self.send(struct.pack("<HHBBHIHHHHB", 0, 0, 0xF2, 0xFF, 0, 0, 2048, 1, 10, 130, 2))
        return self.frame()

    def fill(self, need, timeout):
        deadline = time.time() + timeout
        while len(self.buffer) < need:
            left = deadline - time.time()
            if left <= 0 or not select.select([self.sock], [], [], left)[0]:
                return False
            data = self.sock.recv(1 << 16)
            if not data:
                return False
            self.buffer += data
        return True

    def frame(self, timeout=3.0):
        """The next whole frame's message, or None when none came in time."""
        if not self.fill(2, timeout):
            return None
        length = struct.unpack(">H", self.buffer[:2])[0]
        if not self.fill(length, timeout):
            return None
        message, self.buffer = self.buffer[2:length], self.buffer[length:]
        return message

    def texts(self, count, timeout=3.0):
        out = []
        while len(out) < count:
            m = self.frame(timeout)
            if m is None:
                break
            out.append(m)
        return out


def text_of(m):
    """Checks the DEBUG_IND layout and returns its text."""
    assert m[4:6] == b"\x19\x02" and m[9] == 1, m
    assert struct.unpack("<H", m[:2])[0] == len(m) == 13 + m[10], m
    return m[13:13 + m[10]]


class EmulatorWireTest(unittest.TestCase):
    def setUp(self):
        self.processes = []

    def tearDown(self):
        while Client.opened:
            Client.opened.pop().close()
        for p in self.processes:
            if p.poll() is None:
                p.kill()
                p.wait()
            p.stdout.close()
            p.stderr.close()

    def start(self, *args, **kw):
        process, port, log = start_emulator(*args, **kw)
        self.processes.append(process)
        return process, port, log

    def test_default_adapter_replies_byte_by_byte(self):
        process, port, log = self.start("--rate", "0")
        c = Client(port)
        self.assertEqual(c.register(), struct.pack("<HHBBHH", 10, 0, 0xF3, 0xFF, 0, 0))
        text = b"qz7 BRI firmware 2.41 (12.03.1997)"
        expected = {
            6: bytes([3, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, len(text)]) + text,
            4: bytes([1, 3, 4, 0, 0, 0, 0, 0]),
            2: bytes([0, 0, 1, 0]),
        }
        # Each reply echoes its request's message number, 0 (unnumbered) included.
        numbers = {6: 0, 4: 0x0102, 2: 3}
        for rtype, data in expected.items():
            c.send(adapter_req(1, rtype, numbers[rtype]))
            m = c.frame()
            self.assertEqual(m[:18], struct.pack("<HHBBHBBHIH", 18 + len(data), 1, 0x18, 0x01,
                                                 numbers[rtype], 1, rtype, len(data), 0, 0))
            self.assertEqual(m[18:], data)
        lines = read_log(log)
        self.assertIn("adapter_req ctrl=1 type=6", lines)
        self.assertEqual(lines[lines.index("adapter_req ctrl=1 type=4") + 1],
                         "hex 12 00 01 00 18 00 02 01 01 04 00 00 78 56 34 12 00 02")
        self.assertEqual(stop_emulator(process), 0)

    def test_profile_controllers_and_refusals(self):
        workdir = tempfile.mkdtemp(prefix="qz7emu-wire-")
        profile = os.path.join(workdir, "adapters.profile")
        with open(profile, "w") as f:
            f.write("# two boards\ncontrollers=2\ninfo=0x2001\n2.board_flags=4\n2.trunk_flags=1\n"
                    "2.bus=4\n2.version_text=\n2.line_flags=0x0012\n2.tei=0x85\n")
        process, port, _ = self.start("--profile", profile, "--set", "2.memory=16",
                                      "--protocol", "14", "--firmware-version", "9", "--rate", "0",
                                      workdir=workdir)
        c = Client(port)
        c.register()
        c.send(adapter_req(2, 6))
        m = c.frame()
        self.assertEqual(struct.unpack("<H", m[16:18])[0], 0x2001)
        self.assertEqual(m[18 + 1], 9)
        self.assertEqual(m[18 + 4], 4)
        self.assertEqual(m[18 + 12], 0)
        c.send(adapter_req(2, 4))
        self.assertEqual(c.frame()[18:], bytes([4, 3, 16, 0, 0, 0, 0, 1]))
        c.send(adapter_req(2, 2))
        self.assertEqual(c.frame()[18:], bytes([0x12, 0, 14, 0x85]))
        c.send(adapter_req(1, 4))
        self.assertEqual(c.frame()[18:], bytes([1, 3, 4, 0, 0, 0, 0, 0]))
        for ctrl, rtype, info in ((3, 6, 0x2002), (0, 2, 0x2002), (1, 3, 0x2007)):
            c.send(adapter_req(ctrl, rtype))
            m = c.frame()
            self.assertEqual(len(m), 18)
            self.assertEqual(struct.unpack("<HH", m[10:12] + m[16:18]), (0, info))
        stop_emulator(process)

        process, port, _ = self.start("--refuse-register")
        reply = Client(port).register()
        self.assertEqual(reply[4:6], b"\xf3\xff")
        self.assertNotEqual(struct.unpack("<H", reply[8:10])[0], 0)

        bad = subprocess.run([QZ7EMU, "--set", "2.colour=3"], capture_output=True)
        self.assertEqual(bad.returncode, 2)
        self.assertIn(b"unknown key colour", bad.stderr)

        # --help and --version act alone wherever they stand, but not as another option's value.
        version = subprocess.run([QZ7EMU, "--rate", "x", "--bogus", "1", "--version"],
                                 capture_output=True)
        self.assertEqual((version.returncode, version.stdout, version.stderr),
                         (0, b"qz7emu 0.96\n", b""))
        usage = subprocess.run([QZ7EMU, "--version-text", "--version", "--help"],
                               capture_output=True)
        self.assertEqual(usage.returncode, 0)
        self.assertTrue(usage.stdout.startswith(b"usage: qz7emu [options]\n"), usage.stdout)

    def test_commands_answers_and_command_log(self):
        process, port, log = self.start("--rate", "0")
        c = Client(port)
        c.register()
        c.send(command(b"cmt l2"))
        got, confirm = [text_of(m) for m in c.texts(2)]
        self.assertRegex(got, HEAD)
        self.assertEqual(got[13:], b"CMT got debugReq cmt l2")
        self.assertTrue(confirm[13:].startswith(b"CMT ") and b"layer 2" in confirm, confirm)
        c.send(command(b"L2D stat"))
        answer = [text_of(m) for m in c.texts(2)][1]
        self.assertEqual(answer[13:17], b"L2D ")
        c.send(command(b"qqq"))
        self.assertIn(b"unknown task", text_of(c.texts(2)[1]))
        c.send(debug_req(1, b"\x01"))
        screen = [text_of(m) for m in c.texts(12, timeout=1.0)]
        self.assertGreaterEqual(len(screen), 8)
        self.assertTrue(all(t[13:16] == b"CMT" for t in screen))
        self.assertTrue(any(b"qz7 BRI firmware 2.41" in t for t in screen))
        c.send(debug_req(7, b"\x02xx\x00"))  # no such controller: recorded, not answered
        self.assertIsNone(c.frame(timeout=0.3))
        lines = read_log(log)
        commands = [l for l in lines if not l.startswith(("hex ", "register"))]
        self.assertEqual(commands, ["cmd cmt l2", "cmd L2D stat", "cmd qqq", "download", "cmd xx"])
        self.assertEqual(lines[lines.index("cmd cmt l2") + 1],
                         "hex 13 00 01 00 19 00 00 00 01 01 08 02 63 6d 74 20 6c 32 00")
        self.assertEqual(lines[lines.index("download") + 1], "hex 0c 00 01 00 19 00 00 00 01 01 01 01")

    def test_simulated_line(self):
        process, port, _ = self.start("--rate", "2000", "--seed", "7")
        c = Client(port)
        c.register()
        c.send(command(b"cmt l2"))
        c.texts(2)
        l2_only = [text_of(m) for m in c.texts(300)]
        self.assertEqual(len(l2_only), 300)
        bodies = [t[13:] for t in l2_only]
        self.assertFalse([b for b in bodies if b[:3] in (b"L3E", b"PPP", b"BCH")])
        for name in (b"cmt l3", b"cmt l3x", b"ppp dec", b"bch 22"):
            c.send(command(name))
        texts = [text_of(m) for m in c.texts(4000)]
        self.assertEqual(len(texts), 4000)
        for t in texts:
            self.assertRegex(t, HEAD)
            self.assertLessEqual(len(t), 127)
            self.assertIn(t[13:16], TASKS, t)
        joined = b"\n".join(texts)
        for word in (b"SABME", b"UA", b" I ", b"RR", b"DISC", b"SAPI=0", b"TEI=", b"N(S)=", b"N(R)=",
                     b"SETUP", b"CALL PROCEEDING", b"ALERTING", b"CONNECT ACKNOWLEDGE",
                     b"DISCONNECT", b"RELEASE COMPLETE", b"called=", b"calling=", b"IE 04",
                     b"IE 18", b"cause=#", b"PPP B", b"LCP", b"BCH B", b"CMT ascii", b"DBG",
                     b"CMT got debugReq"):
            self.assertIn(word, joined)
        self.assertTrue(any(len(t) > 79 for t in texts))

    def test_script_faults(self):
        workdir = tempfile.mkdtemp(prefix="qz7emu-wire-")
        script = os.path.join(workdir, "faults.script")
        with open(script, "w") as f:
            f.write("# answers\nwithhold 6\nlate 4 400\nwrong 2\n"
                    "wait-decoder\n"
                    "text short\\x00tail\n"
                    "after 50 trace L2D hello\n"
                    "raw 0d 00 00 00 19 02 00 00 01 01 00 00 00\n"
                    "rawframe 00 05 01 02 03\n"
                    "stall 700 1\n"
                    "oversize\n"
                    "trace L2D after the faults\n"
                    "drop\n")
        process, port, _ = self.start("--rate", "0", "--script", script, workdir=workdir)
        c = Client(port)
        c.register()
        c.send(adapter_req(1, 6))
        self.assertIsNone(c.frame(timeout=0.5))
        c.send(adapter_req(1, 4))
        sent = time.time()
        self.assertEqual(c.frame(timeout=2.0)[4:6], b"\x18\x01")
        self.assertGreaterEqual(time.time() - sent, 0.35)
        c.send(adapter_req(1, 2))
        self.assertEqual(c.frame()[4:6], b"\x19\x02")
        c.send(command(b"cmt l2"))
        c.texts(2)
        self.assertEqual(text_of(c.frame()), b"short\x00tail")
        self.assertEqual(text_of(c.frame())[13:], b"L2D hello")
        self.assertEqual(c.frame(), bytes.fromhex("0d00000019020000010100 0000"))
        self.assertEqual(c.frame(), b"\x01\x02\x03")
        self.assertTrue(c.fill(1, 2.0))
        first = time.time()
        self.assertEqual(len(c.buffer), 1)  # only the first byte of the frame length
        stalled = c.frame(timeout=3.0)
        self.assertGreaterEqual(time.time() - first, 0.6)
        self.assertIn(b"STALLED FRAME", text_of(stalled))
        self.assertTrue(c.fill(2, 2.0))
        self.assertEqual(struct.unpack(">H", c.buffer[:2])[0], 5000)
        big = c.frame()
        self.assertEqual((len(big), struct.unpack("<H", big[:2])[0]), (4998, 4998))
        self.assertEqual(text_of(c.frame())[13:], b"L2D after the faults")
        self.assertIsNone(c.frame(timeout=2.0))
        self.assertEqual(c.sock.recv(10), b"")  # dropped

    def test_garbage_stays_framed(self):
        _, port, _ = self.start("--rate", "0", "--do", "garbage 200", "--do", "trace L2D good")
        c = Client(port)
        c.register()
        garbage = c.texts(200)
        self.assertEqual(len(garbage), 200)
        self.assertTrue(all(8 <= len(m) <= 300 for m in garbage))
        self.assertGreater(sum(m[4:6] == b"\x19\x02" for m in garbage), 50)
        self.assertEqual(text_of(c.frame())[13:], b"L2D good")

    def test_flood_is_complete_and_in_order(self):
        process, port, _ = self.start("--rate", "0", "--do", "flood 50000", "--do", "exit")
        c = Client(port)
        c.register()
        count = 0
        while True:
            m = c.frame(timeout=5.0)
            if m is None:
                break
            t = text_of(m)
            count += 1
            self.assertEqual(t[13:30], b"L2D FLOOD %06d " % count)
            self.assertTrue(60 <= len(t) <= 80, t)
        self.assertEqual(count, 50000)
        self.assertEqual(process.wait(timeout=10), 0)

    def test_signals_end_it_cleanly(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            process, port, _ = self.start()
            c = Client(port)
            c.register()
            process.send_signal(sig)
            self.assertEqual(process.wait(timeout=5), 0)


if __name__ == "__main__":
    h.main()
