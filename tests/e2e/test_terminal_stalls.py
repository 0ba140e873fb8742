"""Ways the console could hold the program up: a standard output nobody reads at the end, a
stop and continue that come close together, and a typed line longer than its row."""

import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness as h  # noqa: E402
from test_terminal_console import read, shell, with_terminal_modes  # noqa: E402

WRONG_MESSAGE = "raw 0a 00 00 00 17 05 00 00 00 00"


def process_state(pid):
    """The state letter of /proc/PID/stat (T when stopped)."""
    with open("/proc/%d/stat" % pid) as f:
        return f.read().rsplit(")", 1)[1].split()[0]


def settle(pid, quiet=0.3, timeout=20):
    """Waits until no thread of pid has been running or waiting for a CPU for quiet seconds:
    a signal sent to it has been handled by then, however busy the machine."""
    def busy():
        try:
            return any(process_state(int(task)) in ("R", "D")
                       for task in os.listdir("/proc/%d/task" % pid))
        except FileNotFoundError:  # a thread that ended between the listing and the look
            return True
    deadline = time.time() + timeout
    calm_since = time.time()
    while time.time() < deadline:
        if busy():
            calm_since = time.time()
        elif time.time() - calm_since >= quiet:
            return
        time.sleep(0.02)


@h.needs(h.LINKSPY, h.QZ7EMU)
class StalledOutput(unittest.TestCase):
    def test_sigterm_ends_the_program_while_nobody_reads_its_output(self):
        script = os.path.join(tempfile.mkdtemp(prefix="qz7emu-script-"), "wrong.script")
        with open(script, "w") as f:
            f.write("wait-decoder\n" + (WRONG_MESSAGE + "\n") * 3000)
        emulator = h.Emulator("--rate", "0", "--script", script)
        self.addCleanup(emulator.stop)
        folder = h.run_folder(emulator.port)
        reader, writer = os.pipe()
        self.addCleanup(os.close, reader)
        process = subprocess.Popen([h.LINKSPY, "-2"], cwd=folder, env=h.linkspy_env(folder),
                                   stdin=subprocess.DEVNULL, stdout=writer,
                                   stderr=subprocess.DEVNULL)
        os.close(writer)
        self.addCleanup(lambda: process.poll() is None and (process.kill(), process.wait()))

        def wrong_lines():
            return (h.read_log(folder) or b"").count(b"Wrong message received")
        # Each line is echoed to the pipe too: it fills after some 1400 of the 3000, and the
        # log stops growing there.
        self.assertTrue(h.wait_until(lambda: wrong_lines() >= 1000, 20), wrong_lines())
        time.sleep(1)
        self.assertLess(wrong_lines(), 3000)
        process.send_signal(signal.SIGTERM)
        self.assertEqual(process.wait(timeout=10), 0)
        self.assertTrue(h.read_log(folder).endswith(b"Program unloaded\n"),
                        h.read_log(folder)[-300:])
        # What reached the pipe is whole texts: the rest of one is dropped only whole.
        os.set_blocking(reader, False)
        out = b""
        try:
            while True:
                piece = os.read(reader, 65536)
                if not piece:
                    break
                out += piece
        except BlockingIOError:
            pass
        self.assertTrue(out.endswith(b"\n"), out[-200:])


@h.needs(h.LINKSPY, h.QZ7EMU)
class OnTheScreen(unittest.TestCase):
    def setUp(self):
        self.emulator = h.Emulator("--rate", "5")
        self.addCleanup(self.emulator.stop)
        self.folder = h.run_folder(self.emulator.port)
        command = shell("echo $$ > pid; exec %s -2" % h.LINKSPY)
        self.tmux = h.Tmux(with_terminal_modes(command), self.folder)
        self.addCleanup(self.tmux.close)
        self.assertTrue(self.tmux.wait_for_text("[ OK ]"), self.tmux.screen())
        self.tmux.send_keys(b"\r")
        self.assertTrue(self.tmux.wait_for_text("decoder on"), self.tmux.screen())
        with open(os.path.join(self.folder, "pid")) as f:
            self.pid = int(f.read())

    def test_a_continue_straight_after_a_stop_leaves_the_program_running(self):
        # Without the cancel every burst ends stopped. With it, only a continue that lands in
        # the few instructions between the painter's last look and its stop is lost (nothing
        # in user space can close that), so two stopped bursts of five are allowed for.
        pairs = "; ".join(["kill -TSTP %d; kill -CONT %d" % (self.pid, self.pid)] * 200)
        stopped = 0
        for _ in range(5):
            subprocess.run(["sh", "-c", pairs], check=True)
            settle(self.pid)  # a stop still being made has happened by now
            if process_state(self.pid) == "T":
                stopped += 1
                os.kill(self.pid, signal.SIGCONT)
                settle(self.pid)
        # Under the sanitizers signal handlers run late and the window is wide, so the program
        # often cannot see which of the two came first; there only the recovery counts.
        if "TSAN_OPTIONS" not in os.environ and "ASAN_OPTIONS" not in os.environ:
            self.assertLessEqual(stopped, 2)
        # The painter's screen and the key mode are back: the access sequence works. Keys that
        # came while a stop was being made or undone met the terminal's own line mode and are
        # gone, so the sequence is sent again when a slow build has not taken it yet.
        welcome = False
        for _ in range(3):
            self.tmux.send_keys(h.ACCESS)
            welcome = self.tmux.wait_for(
                lambda rows: rows[0].startswith("Welcome in debug mode"), 5)
            if welcome:
                break
        self.assertTrue(welcome, self.tmux.screen())
        self.tmux.send_keys(h.CTRL["X"])
        self.assertEqual(self.tmux.exit_status(), 0)
        self.assertEqual(read(self.folder, "before"), read(self.folder, "after"))

    def test_a_typed_line_longer_than_its_row_is_cut_at_the_row_end(self):
        self.tmux.send_keys(h.ACCESS)
        self.assertTrue(self.tmux.wait_for(
            lambda rows: rows[0].startswith("Welcome in debug mode")), self.tmux.screen())
        self.tmux.send_keys(b" ")
        self.assertTrue(self.tmux.wait_for(lambda rows: rows[23] == "C1:-)"), self.tmux.screen())
        # The separator stands on row 22, the prompt on row 23; the rows above are the trace.
        self.tmux.type_text("l2d " + "x" * 116)
        cut = "C1:-)l2d " + "x" * 70  # 79 columns: the cursor stays on the row's last one
        self.assertTrue(self.tmux.wait_for(lambda rows: rows[23] == cut), self.tmux.screen())
        rows = self.tmux.screen()
        self.assertEqual(rows[22], "-" * 80, rows)
        self.assertTrue(rows[0].startswith("Welcome in debug mode"), rows)
        self.assertEqual(rows[24], "", rows)
        self.assertEqual(self.tmux.cursor(), (79, 23))
        # Backspace still edits the cut line, and Enter sends it.
        self.tmux.send_keys(b"\x7f\x7f")
        self.assertTrue(self.tmux.wait_for(lambda rows: rows[23] == cut[:-2]), self.tmux.screen())
        self.tmux.send_keys(b"\r")
        self.assertTrue(self.tmux.wait_for(lambda rows: rows[24] != ""), self.tmux.screen())
        rows = self.tmux.screen()
        self.assertEqual(rows[22:24], ["-" * 80, cut[:-2]], rows)
        self.tmux.send_keys(h.CTRL["X"])
        self.assertEqual(self.tmux.exit_status(), 0)


if __name__ == "__main__":
    h.main()
