"""qz7emu through the platform's real libcapi20 over loopback: registration, the library's own
queries, the adapter replies, firmware commands, standard CAPI 2.0 requests and a standard
diagnostic client, a refused registration, a dropped connection and a flood read the way linkspy
reads it (whole frames only)."""

import ctypes
import json
import os
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness as h  # noqa: E402
from test_emulator_wire import BUILD, read_log, start_emulator, stop_emulator  # noqa: E402

INFO_CLIENT = os.path.join(BUILD, "capi_info_client")


class TimeVal(ctypes.Structure):
    _fields_ = [("tv_sec", ctypes.c_long), ("tv_usec", ctypes.c_long)]


class Library:
    """The few libcapi20 calls a client needs."""

    def __init__(self):
        self.lib = ctypes.CDLL("libcapi20.so.3")
        self.lib.capi20_get_message.argtypes = [ctypes.c_uint,
                                                ctypes.POINTER(ctypes.POINTER(ctypes.c_ubyte))]
        self.lib.capi20_get_manufacturer.restype = ctypes.c_char_p
        self.appl = ctypes.c_uint(0)

    def register(self):
        return self.lib.capi20_register(1, 10, 130, ctypes.byref(self.appl))

    def put(self, message):
        return self.lib.capi20_put_message(self.appl.value, message)

    def get(self, timeout):
        """(result, message bytes or None)."""
        tv = TimeVal(int(timeout), int(timeout % 1 * 1e6))
        rc = self.lib.capi20_waitformessage(self.appl.value, ctypes.byref(tv))
        if rc:
            return rc, None
        p = ctypes.POINTER(ctypes.c_ubyte)()
        rc = self.lib.capi20_get_message(self.appl.value, ctypes.byref(p))
        if rc:
            return rc, None
        return 0, bytes(p[:p[0] | p[1] << 8])

    def whole_frames_only(self):
        """What linkspy's adaptor does at least: both length bytes handed over together."""
        sock = socket.socket(fileno=self.lib.capi20_fileno(self.appl.value))
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVLOWAT, 2)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        sock.detach()


def client(mode, arg):
    """Runs in a child process whose HOME holds the library configuration; prints JSON."""
    capi = Library()
    out = {"installed": capi.lib.capi20_isinstalled(), "register": capi.register()}
    if out["register"]:
        print(json.dumps(out))
        return
    if mode == "session":
        buf = ctypes.create_string_buffer(64)
        out["manufacturer"] = capi.lib.capi20_get_manufacturer(1, buf).decode()
        out["profile"] = capi.lib.capi20_get_profile(0, buf)
        out["controllers"] = struct.unpack("<H", buf.raw[:2])[0]
        out["replies"] = []
        for rtype in (6, 4, 2):
            capi.put(struct.pack("<HHBBHBBHIH", 18, capi.appl.value, 0x18, 0, 0, 1, rtype, 0,
                                 0x1000, 512))
            out["replies"].append(capi.get(2.0)[1].hex())
        for name in (b"cmt l2", b"cmt l3"):
            payload = b"\x02" + name + b"\x00"
            capi.put(struct.pack("<HHBBHBBB", 11 + len(payload), capi.appl.value, 0x19, 0, 0, 1,
                                 1, len(payload)) + payload)
        texts = []
        deadline = time.time() + 1.5
        while time.time() < deadline:
            rc, m = capi.get(0.2)
            if m:
                texts.append(m[13:13 + m[10]].decode("latin-1"))
        out["texts"] = texts
    elif mode == "standard":
        # LISTEN, CONNECT, INFO, a DTMF facility, a CONNECT_RESP (never confirmed), a DEBUG_REQ
        # of another kind (never answered), GetSupportedServices: the confirmations in order.
        head = lambda command, sub, rest: struct.pack("<HHBBH", 8 + len(rest), capi.appl.value,
                                                      command, sub, 7) + rest
        capi.put(head(0x05, 0x80, struct.pack("<IIII", 1, 0x3FF, 0x1FFF03FF, 0) + b"\0\0"))
        capi.put(head(0x02, 0x80, struct.pack("<IH", 1, 16) + b"\0" * 13))
        capi.put(head(0x08, 0x80, struct.pack("<I", 1) + b"\0\0"))
        capi.put(head(0x80, 0x80, struct.pack("<IHB", 1, 1, 0)))
        capi.put(head(0x02, 0x83, struct.pack("<IH", 0x101, 0) + b"\0" * 8))
        capi.put(head(0x19, 0x00, bytes([1, 1, 1, 9])))
        capi.put(head(0x80, 0x80, struct.pack("<IHB", 1, 3, 3) + b"\0\0\0"))
        confs = []
        while True:
            rc, m = capi.get(1.0)
            if m is None:
                break
            confs.append(m.hex())
        out["confs"] = confs
    elif mode == "drop":
        results = [capi.get(3.0)[0] for _ in range(3)]
        out["after_drop"] = results
    elif mode == "flood":
        capi.whole_frames_only()
        count, in_order = 0, True
        while count < arg:
            rc, m = capi.get(5.0)
            if m is None:
                break
            count += 1
            in_order = in_order and m[13 + 13:13 + 30] == b"L2D FLOOD %06d " % count
        out["count"], out["in_order"] = count, in_order
    out["release"] = capi.lib.capi20_release(capi.appl.value)
    print(json.dumps(out))


class EmulatorLibcapiTest(unittest.TestCase):
    def run_client(self, port, mode, arg=0):
        home = tempfile.mkdtemp(prefix="qz7emu-home-")
        with open(os.path.join(home, ".capi20rc"), "w") as f:
            f.write("REMOTE rcapi 127.0.0.1 %d\nTRACELEVEL 0\n" % port)
        done = subprocess.run([sys.executable, __file__, "--client", mode, str(arg)],
                              env=dict(os.environ, HOME=home), capture_output=True, timeout=120)
        self.assertEqual(done.returncode, 0, done.stderr)
        return json.loads(done.stdout)

    def emulator(self, *args):
        process, port, log = start_emulator(*args)
        self.addCleanup(lambda: (stop_emulator(process), process.stdout.close(),
                                 process.stderr.close()))
        return process, port, log

    def test_session(self):
        process, port, log = self.emulator("--rate", "50")
        out = self.run_client(port, "session")
        self.assertEqual((out["installed"], out["register"], out["release"]), (0, 0, 0))
        self.assertEqual(out["manufacturer"], "qz7 systems GmbH")
        self.assertEqual((out["profile"], out["controllers"]), (0, 1))
        firmware, adapter, line = (bytes.fromhex(r) for r in out["replies"])
        self.assertEqual(firmware[4:12], bytes([0x18, 1, 0, 0, 1, 6, 47, 0]))
        self.assertEqual(firmware[18:20], b"\x03\x05")
        self.assertEqual(adapter[18:], bytes([1, 3, 4, 0, 0, 0, 0, 0]))
        self.assertEqual(line[18:], bytes([0, 0, 1, 0]))
        texts = out["texts"]
        self.assertEqual([t[13:] for t in texts[:4:2]],
                         ["CMT got debugReq cmt l2", "CMT got debugReq cmt l3"])
        self.assertGreater(len(texts), 20)  # the simulated line
        lines = read_log(log)
        self.assertEqual([l for l in lines if l.startswith(("cmd", "adapter_req"))],
                         ["adapter_req ctrl=1 type=6", "adapter_req ctrl=1 type=4",
                          "adapter_req ctrl=1 type=2", "cmd cmt l2", "cmd cmt l3"])
        self.assertIn("register buffer=2048 maxLogicalConnection=1 maxBDataBlocks=10 "
                      "maxBDataLen=130", lines)
        self.assertTrue(any(l == "closed" for l in lines))

    def test_standard_requests_are_confirmed(self):
        process, port, log = self.emulator("--rate", "0")
        confs = [bytes.fromhex(c) for c in self.run_client(port, "standard")["confs"]]
        self.assertEqual([(c[4], c[5], c[6], c[8:12]) for c in confs],
                         [(command, 0x81, 7, b"\1\0\0\0") for command in (5, 2, 8, 0x80, 0x80)])
        self.assertEqual([c[12:14] for c in confs[:4]],
                         [b"\0\0", b"\3\x20", b"\3\x20", b"\x0b\x30"])
        self.assertEqual(confs[4][12:], bytes.fromhex("0000 0300 09 0000 06 0000 00000000"))
        lines = [l for l in read_log(log) if l.startswith(("request", "other"))]
        self.assertEqual(lines, ["request LISTEN_REQ addr=0x00000001 info=0x0000",
                                 "request CONNECT_REQ addr=0x00000001 info=0x2003",
                                 "request INFO_REQ addr=0x00000001 info=0x2003",
                                 "request FACILITY_REQ addr=0x00000001 info=0x300b",
                                 "other cmd=0x02 sub=0x83",
                                 "request FACILITY_REQ addr=0x00000001 info=0x0000"])

    @unittest.skipUnless(os.path.exists(INFO_CLIENT), "capi_info_client is not built "
                         "(libcapi20-dev is missing; scripts/install-deps adds it)")
    def test_standard_diagnostic_client_finishes(self):
        process, port, log = self.emulator("--controllers", "2")
        home = tempfile.mkdtemp(prefix="qz7emu-home-")
        with open(os.path.join(home, ".capi20rc"), "w") as f:
            f.write("REMOTE rcapi 127.0.0.1 %d\nTRACELEVEL 0\n" % port)
        started = time.monotonic()
        done = subprocess.run([INFO_CLIENT], env=dict(os.environ, HOME=home),
                              capture_output=True, timeout=10)
        self.assertLess(time.monotonic() - started, 3.0)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        expected = ["controllers 2"]
        for k in (1, 2):
            expected += [
                'controller %d: manufacturer "qz7 systems GmbH"' % k,
                "controller %d: version 2.0 2.41" % k,
                'controller %d: serial "0004711"' % k,
                "controller %d: profile b-channels=2 options=0x00000001 b1=0x00000003 "
                "b2=0x00000003 b3=0x00000001" % k,
                "controller %d: FACILITY_CONF info=0x0000 selector=3 function=0 "
                "services-info=0x0000 services=0x00000000" % k]
        self.assertEqual(done.stdout.decode().splitlines(), expected)
        self.assertEqual([l for l in read_log(log) if l.startswith("request")],
                         ["request FACILITY_REQ addr=0x00000001 info=0x0000",
                          "request FACILITY_REQ addr=0x00000002 info=0x0000"])

    def test_refused_registration(self):
        _, port, _ = self.emulator("--refuse-register")
        self.assertEqual(self.run_client(port, "register")["register"], 0x1008)

    def test_dropped_connection(self):
        _, port, _ = self.emulator("--do", "after 200 drop")
        self.assertEqual(self.run_client(port, "drop")["after_drop"], [0x1104] * 3)

    def test_flood_read_whole_frames(self):
        _, port, _ = self.emulator("--rate", "0", "--do", "flood 30000")
        out = self.run_client(port, "flood", 30000)
        self.assertEqual((out["count"], out["in_order"]), (30000, True))


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--client":
        client(sys.argv[2], int(sys.argv[3]))
    else:
        h.main()
