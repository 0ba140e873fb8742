"""The log file failing and coming back: a folder at its name that goes away, a full file
system, a FIFO at its name, links and another user's file planted at its name, its lock held
by another process, two linkspy sharing one folder through many rotations, a reader's lock on
the log, and no /proc to reopen it through."""

import os
import pwd
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(__file__))
import harness as h  # noqa: E402

FLOOD_LINE = re.compile(rb"(C\d )?\d\d:\d\d:\d\d\.\d{3} L2D FLOOD (\d{6}) [A-Za-z]+")
RESUMED = b"LINKSPY: Log file usable again, logging resumed\n"


def flood_numbers(text):
    return [int(n) for n in re.findall(rb"L2D FLOOD (\d{6})", text)]


def has_user(uid):
    try:
        pwd.getpwuid(uid)
        return True
    except KeyError:
        return False


def plant_owned(path, uid):
    """A log another user made, for instance to read the traces."""
    with open(path, "wb") as f:
        f.write(b"planted\n")
    os.chown(path, uid, uid)


@h.needs(h.LINKSPY, h.QZ7EMU)
class LogFaults(unittest.TestCase):
    def start(self, *script, folder=None, home=None, args=("-2",), env_extra=None):
        actions = []
        for action in script:
            actions += ["--do", action]
        emulator = h.Emulator("--rate", "0", *actions)
        self.addCleanup(emulator.stop)
        self.emulator = emulator
        home = home or h.run_folder(emulator.port)
        folder = folder or home
        run = h.Headless(folder, list(args), env=h.linkspy_env(home, **(env_extra or {})))
        self.addCleanup(run.kill)
        return run

    def pump_until(self, run, predicate, timeout, what):
        deadline = time.time() + timeout
        while not predicate():
            self.assertLess(time.time(), deadline, "%s; output: %r" % (what, run.out[-1500:]))
            self.assertIsNone(run.process.poll(), run.out[-1500:])
            run._pump(0.05)

    def end_with_ctrl_x(self, run, within=10):
        started = time.time()
        run.send(h.CTRL["X"])
        self.assertEqual(run.finish(timeout=within + 10), 0, run.out[-2000:])
        self.assertLess(time.time() - started, within)
        self.assertIn(b"\rClean at shutdown\n", run.out)

    def assert_whole_flood_lines(self, log):
        for line in log.split(b"\n"):
            if b"FLOOD" in line:
                self.assertRegex(line, FLOOD_LINE.pattern + rb"$")

    def test_folder_at_the_log_name_that_goes_away(self):
        run_dir = tempfile.mkdtemp(prefix="linkspy-logdir-")
        os.mkdir(os.path.join(run_dir, "LINKSPY.LOG"))
        run = self.start("wait-decoder", "wait 200", "flood 2000", "wait-signal", "wait 12000",
                         "flood 2000", folder=run_dir)
        # Every text meets the failed open or logging off: all of them on standard output.
        self.pump_until(run, lambda: b"FLOOD 002000" in run.out, 30, "first flood not printed")
        self.assertEqual(run.out.count(b"LINKSPY: Error open log file: LINKSPY.LOG\n"), 1)
        os.rmdir(os.path.join(run_dir, "LINKSPY.LOG"))
        # The second flood comes after the retry is due (10 s after the last failure).
        self.emulator.go_ahead()
        self.pump_until(run, lambda: RESUMED in run.out, 30, "logging did not resume")
        log = lambda: h.read_log(run_dir) or b""
        self.pump_until(run, lambda: b"FLOOD 002000" in log(), 30, "second flood not logged")
        self.end_with_ctrl_x(run)
        self.assertEqual(run.out.count(RESUMED), 1)
        # Each text is in one place: standard output before the retry, the file after it.
        self.assertEqual(sorted(flood_numbers(run.out) + flood_numbers(log())),
                         sorted(list(range(1, 2001)) * 2))
        self.assertEqual(flood_numbers(log()), list(range(1, 2001)))
        self.assertIn(b"Program unloaded\n", log())
        # The log linkspy made is for its owner and group only: traces hold numbers.
        umask = os.umask(0)
        os.umask(umask)
        self.assertEqual(os.stat(os.path.join(run_dir, "LINKSPY.LOG")).st_mode & 0o777,
                         0o640 & ~umask)

    def test_full_file_system(self):
        run_dir = tempfile.mkdtemp(prefix="linkspy-tmpfs-")
        mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", run_dir],
                                 capture_output=True)
        if mounted.returncode != 0:
            self.skipTest("cannot mount a small tmpfs here: %s" % mounted.stderr.decode().strip())
        self.addCleanup(subprocess.run, ["umount", "-l", run_dir], capture_output=True)
        filler = os.path.join(run_dir, "filler")
        with open(filler, "wb") as f:
            f.write(b"f" * 65536)
        run = self.start("wait-decoder", "wait 200", "flood 5000", "wait-signal", "wait 12000",
                         "flood 500", folder=run_dir)
        self.pump_until(run, lambda: b"FLOOD 005000" in run.out, 30, "first flood not printed")
        self.assertEqual(run.out.count(b"LINKSPY: Error writing logfile (1): Logging disabled\n"
                                       b"LINKSPY: Error code: No space left on device\n"), 1)
        log = lambda: h.read_log(run_dir) or b""
        # The line that met the full disk left nothing behind in the file.
        self.assertTrue(log().endswith(b"\n"), log()[-200:])
        os.unlink(filler)
        self.emulator.go_ahead()
        self.pump_until(run, lambda: RESUMED in run.out, 30, "logging did not resume")
        self.pump_until(run, lambda: log().count(b"FLOOD 000500") == 2, 30, "second flood")
        self.end_with_ctrl_x(run)
        self.assert_whole_flood_lines(log())
        self.assertEqual(sorted(flood_numbers(run.out) + flood_numbers(log())),
                         sorted(list(range(1, 5001)) + list(range(1, 501))))
        self.assertIn(b"Program unloaded\n", log())

    def test_fifo_at_the_log_name(self):
        run_dir = tempfile.mkdtemp(prefix="linkspy-fifo-")
        os.mkfifo(os.path.join(run_dir, "LINKSPY.LOG"))
        run = self.start("wait-decoder", "wait 200", "trace L2D after the start", folder=run_dir)
        # Start-up does not wait for a reader of the FIFO.
        self.pump_until(run, lambda: b"after the start" in run.out, 20, "start-up hangs")
        self.assertEqual(run.out.count(b"LINKSPY: Error open log file: LINKSPY.LOG\n"
                                       b"LINKSPY: Error code: Not a regular file\n"), 1)
        self.end_with_ctrl_x(run, within=5)
        self.assertIn(b"Program unloaded\n", run.out)

    def test_fifo_swapped_in_during_the_run(self):
        run = self.start("wait-decoder", "wait-signal", "trace L2D after the swap")
        self.pump_until(run, lambda: b"D-Channel Protocol: " in run.out, 20, "no start")
        log = os.path.join(run.folder, "LINKSPY.LOG")
        os.rename(log, log + ".old")
        os.mkfifo(log)
        reader = os.open(log, os.O_RDONLY | os.O_NONBLOCK)
        self.addCleanup(os.close, reader)
        self.emulator.go_ahead()
        self.pump_until(run, lambda: b"after the swap" in run.out, 20, "trace not shown")
        self.assertEqual(run.out.count(b"LINKSPY: Error code: Not a regular file\n"), 1)
        # Never opened for writing: a writer that came and went would leave a hang-up.
        waiting = select.poll()
        waiting.register(reader, select.POLLIN)
        self.assertEqual(waiting.poll(0), [])
        self.end_with_ctrl_x(run, within=5)

    def test_links_and_strangers_at_the_log_name(self):
        # Another user's doing: each is refused on every open, the file behind it untouched,
        # and the texts go to standard output.
        victims = tempfile.mkdtemp(prefix="linkspy-victim-")
        victim = os.path.join(victims, "secret")
        with open(victim, "wb") as f:
            f.write(b"secret\n")
        os.chmod(victim, 0o600)
        stranger = next(uid for uid in range(40000, 60000) if not has_user(uid))
        plantings = {
            "symbolic link": (lambda log: os.symlink(victim, log), b"is a symbolic link"),
            "dangling link": (lambda log: os.symlink(victim + ".new", log),
                              b"is a symbolic link"),
            "hard link": (lambda log: os.link(victim, log), b"has other hard links"),
            "another owner": (lambda log: plant_owned(log, stranger), b"owned by another user"),
        }
        for kind, (plant, reason) in plantings.items():
            with self.subTest(kind=kind):
                emulator = h.Emulator.scripted("wait-decoder", "wait 200", "trace L2D planted")
                self.addCleanup(emulator.stop)
                folder = h.run_folder(emulator.port)
                log = os.path.join(folder, "LINKSPY.LOG")
                plant(log)
                run = h.Headless(folder, ["-2"])
                self.addCleanup(run.kill)
                self.pump_until(run, lambda: b"L2D planted" in run.out, 20, "trace not shown")
                self.assertEqual(run.out.count(b"LINKSPY: Error open log file: LINKSPY.LOG\n"
                                               b"LINKSPY: Error code: Log file " + reason + b"\n"),
                                 1, run.out[-1500:])
                self.assertIn(b"D-Channel Protocol: ", run.out)
                self.end_with_ctrl_x(run, within=5)
                with open(victim, "rb") as f:
                    self.assertEqual(f.read(), b"secret\n")
                self.assertFalse(os.path.lexists(victim + ".new"))
                self.assertEqual(os.listdir(victims), ["secret"])
                if kind == "another owner":
                    self.assertEqual(h.read_log(folder), b"planted\n")
                emulator.stop()

    def hold_lock(self, folder):
        """flock(1) holding the lock of the folder's log writers until the test ends, as a
        writer stuck in its write would."""
        holder = subprocess.Popen(["flock", os.path.join(folder, "LINKSPY.LCK"), "-c",
                                   "echo held; exec sleep 120"], stdout=subprocess.PIPE,
                                  start_new_session=True)
        self.addCleanup(holder.wait)
        # The command runs in a child of flock(1) that keeps the lock: both go.
        self.addCleanup(os.killpg, holder.pid, signal.SIGKILL)
        self.assertEqual(holder.stdout.readline(), b"held\n")
        holder.stdout.close()

    def test_log_locked_by_another_process(self):
        # Held from the start, without keys; or taken while the trace runs and a marker is
        # being written. Each write gives up on the lock within a second: the texts go to
        # standard output and SIGTERM ends linkspy within a few seconds.
        for moment in ("from the start", "during the run"):
            with self.subTest(moment=moment):
                emulator = h.Emulator.scripted("wait-decoder", "wait-signal", "flood 50")
                self.addCleanup(emulator.stop)
                folder = h.run_folder(emulator.port)
                if moment == "from the start":
                    self.hold_lock(folder)
                run = h.Headless(folder, ["-2"], keys=moment == "during the run")
                self.addCleanup(run.kill)
                self.pump_until(run, lambda: b"D-Channel Protocol: " in run.out, 20, "no start")
                if moment == "during the run":
                    self.hold_lock(folder)
                    run.send(h.ACCESS + b" .m\n")
                emulator.go_ahead()
                self.pump_until(run, lambda: b"FLOOD 000050" in run.out, 20, "trace not shown")
                self.assertEqual(run.out.count(b"LINKSPY: Error open log file: LINKSPY.LOG\n"
                                               b"LINKSPY: Error code: Log file locked by another"
                                               b" process\n"), 1)
                started = time.time()
                run.process.send_signal(signal.SIGTERM)
                self.assertEqual(run.finish(timeout=20), 0, run.out[-1500:])
                self.assertLess(time.time() - started, 6)
                self.assertIn(b"Program unloaded\n", run.out)
                # The lock is awaited before the log is opened: it may not even be there.
                self.assertNotIn(b"FLOOD", h.read_log(folder) or b"")
                emulator.stop()

    def test_two_instances_flooding_one_folder(self):
        lines = 100000
        emulator = h.Emulator("--rate", "0", "--controllers", "2", "--do", "wait-decoder",
                              "--do", "wait 300", "--do", "flood %d" % lines)
        self.addCleanup(emulator.stop)
        folder = h.run_folder(emulator.port)
        # Backups enough that no generation is removed, so every line can be counted.
        env = h.linkspy_env(folder, LINKSPY_LOG_BACKUPS="500")
        runs = [h.Headless(folder, ["-2", "-e", "-c%d" % c], env=env) for c in (1, 2)]
        for run in runs:
            self.addCleanup(run.kill)
        last = [b"C%d " % c + rb"\S+ L2D FLOOD %06d " % lines for c in (1, 2)]

        def both_done():
            for run in runs:
                run._pump(0.02)
                self.assertIsNone(run.process.poll(), run.out[-1500:])
            newest = b"".join(h.read_log(folder, n) or b""
                              for n in h.log_generations(folder)[-4:])
            return all(re.search(pattern, newest) for pattern in last)
        self.assertTrue(h.wait_until(both_done, timeout=180, interval=0.5), "floods not logged")
        for run in runs:
            self.end_with_ctrl_x(run)
            self.assertNotIn(b"LINKSPY: Error", run.out)
        names = h.log_generations(folder)
        self.assertGreater(len(names), 20)
        for name in names[:-1]:  # each generation was rotated once, past the limit
            self.assertGreaterEqual(os.path.getsize(os.path.join(folder, name)), 513024, name)
        everything = b"".join(h.read_log(folder, n) for n in names)
        self.assert_whole_flood_lines(everything)
        for c in (1, 2):
            numbers = [int(n) for n in re.findall(rb"C%d \S+ L2D FLOOD (\d{6})" % c, everything)]
            self.assertEqual(numbers, list(range(1, lines + 1)), "controller %d" % c)
        self.assertEqual(everything.count(b"Program unloaded\n"), 2)
        shutil.rmtree(folder, ignore_errors=True)


    def test_readers_lock_on_the_log_holds_up_no_line(self):
        # A reader of the log (user nobody with a read-only descriptor, as group adm reads the
        # service's logs) keeps a shared lock on it from before the start through a stream of
        # some 5 s: every line reaches the log, none goes to standard output.
        script = ["wait-decoder", "wait 200"] + ["flood 100", "wait 100"] * 50
        emulator = h.Emulator.scripted(*script, "trace L2D STREAM END")
        self.addCleanup(emulator.stop)
        folder = h.run_folder(emulator.port)
        log = os.path.join(folder, "LINKSPY.LOG")
        open(log, "wb").close()
        descriptor = os.open(log, os.O_RDONLY)
        as_nobody = (["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
                     if shutil.which("setpriv") and os.geteuid() == 0 else [])
        reader = subprocess.Popen(
            as_nobody + [sys.executable, "-c", "import fcntl, sys; fcntl.flock(%d, fcntl.LOCK_SH);"
                         " print('held', flush=True); sys.stdin.read()" % descriptor],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, pass_fds=(descriptor,))
        os.close(descriptor)
        self.addCleanup(reader.kill)
        self.assertEqual(reader.stdout.readline(), b"held\n")
        started = time.time()
        run = h.Headless(folder, ["-2"])
        self.addCleanup(run.kill)
        logged = lambda: b"L2D STREAM END" in (h.read_log(folder) or b"")
        self.pump_until(run, logged, 60, "stream not logged")
        self.assertIsNone(reader.poll())
        self.assertGreater(time.time() - started, 5)
        reader.stdin.close()
        reader.wait(timeout=10)
        self.end_with_ctrl_x(run)
        self.assertEqual(flood_numbers(h.read_log(folder)), list(range(1, 101)) * 50)
        self.assertNotIn(b"FLOOD", run.out)
        self.assertNotIn(b"LINKSPY: Error", run.out)
        self.assertNotIn(b"LINKSPY: Warning", run.out)

    def test_without_proc_the_error_says_it_must_be_mounted(self):
        # A log that is there can only be reopened safely through /proc: without it the open
        # fails once with that reason (not one message a line) and the texts go to standard
        # output. The sanitizers read /proc themselves.
        if h.sanitized_build():
            self.skipTest("the sanitizers need /proc")
        no_proc = ["unshare", "-m", "sh", "-c", 'mount -t tmpfs tmpfs /proc && exec "$@"', "sh"]
        probe = subprocess.run(no_proc + ["true"], capture_output=True)
        if probe.returncode != 0:
            self.skipTest("cannot cover /proc here: %s" % probe.stderr.decode().strip())
        emulator = h.Emulator.scripted("wait-decoder", "wait 200", "flood 200",
                                       "trace L2D LAST TEXT")
        self.addCleanup(emulator.stop)
        folder = h.run_folder(emulator.port)
        run = h.Headless(folder, ["-2"], wrapper=no_proc)
        self.addCleanup(run.kill)
        self.pump_until(run, lambda: b"L2D LAST TEXT" in run.out, 30, "texts not printed")
        self.assertEqual(run.out.count(b"LINKSPY: Error open log file: LINKSPY.LOG\n"
                                       b"LINKSPY: Error code: /proc must be mounted for the log"
                                       b" file to be opened safely\n"), 1, run.out[-1500:])
        self.assertEqual(run.out.count(b"LINKSPY: Error"), 2)
        self.assertEqual(flood_numbers(run.out), list(range(1, 201)))
        self.end_with_ctrl_x(run, within=5)
        # The first text made the log (no reopen needed then); the trace never reached it.
        self.assertIsNotNone(h.read_log(folder))
        self.assertNotIn(b"FLOOD", h.read_log(folder))


if __name__ == "__main__":
    h.main()