"""The programs of the end-to-end tests: the emulator, a working folder with a private CAPI
configuration, linkspy run headless through pipes or in an 80 x 25 tmux pane; and the endings
that stop what a test started when it ends."""

import os
import re
import select
import signal
import subprocess
import sys
import tempfile
import time

BUILD = os.environ.get("LINKSPY_BUILD", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
LINKSPY = os.path.join(BUILD, "linkspy")
QZ7EMU = os.path.join(BUILD, "qz7emu")
FAKE_CAPI = os.path.join(BUILD, "libfakecapi.so")

CTRL = {"P": b"\x10", "E": b"\x05", "N": b"\x0e", "A": b"\x01", "X": b"\x18", "C": b"\x03"}
ACCESS = CTRL["P"] + CTRL["E"] + CTRL["N"]


# What a test started (emulators, linkspy runs, tmux servers) ends with the test whatever its
# outcome; what class or module set-up started ends at exit. The test runner marks where the
# running test's endings begin.
_endings = []
_test = {"mark": 0}


def ends_with_test(ending):
    """Has ending (a call that stops something) run when the running test ends, or at exit
    for what no test runs; after a stop by the test itself it must do nothing."""
    _endings.append(ending)


def outlasts_test(ending):
    """Moves ending from the running test's endings to those run at exit: for what a test
    starts for the tests after it. It goes just below the test's own, so that what class
    set-up started stays where it was."""
    _endings.remove(ending)
    _endings.insert(_test["mark"], ending)
    _test["mark"] += 1


def begin_test_endings():
    """Marks where the endings of the test that starts now begin."""
    _test["mark"] = len(_endings)


def end_since(mark):
    """Runs the endings registered since mark (0: all of them), newest first."""
    while len(_endings) > mark:
        try:
            _endings.pop()()
        except Exception as error:  # one failed ending must not keep the others from running
            print("harness: ending something a test started failed: %r" % error, file=sys.stderr)


def end_test_endings():
    """Runs the endings of the test that ends now."""
    end_since(_test["mark"])


def wait_until(predicate, timeout=30.0, interval=0.05):
    """Polls predicate until it is true; returns its last value. The default bounds of the
    waits here are wide: other test runs may share the machine's two cores."""
    deadline = time.time() + timeout
    value = predicate()
    while not value and time.time() < deadline:
        time.sleep(interval)
        value = predicate()
    return value


class Emulator:
    """qz7emu on a free loopback port, stopped by stop() (or the with block)."""

    def __init__(self, *args, workdir=None):
        self.workdir = workdir or tempfile.mkdtemp(prefix="qz7emu-")
        self.command_log = os.path.join(self.workdir, "commands.log")
        self.process = subprocess.Popen(
            [QZ7EMU, "--port", "0", "--command-log", self.command_log, *args],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        line = self.process.stdout.readline().decode()
        match = re.search(r"listening on 127\.0\.0\.1:(\d+)", line)
        if not match:
            self.process.kill()
            raise RuntimeError("qz7emu did not start: %r" % line)
        self.port = int(match.group(1))
        ends_with_test(self.stop)

    @classmethod
    def scripted(cls, *script, rate="0"):
        """qz7emu running the script actions in order (each one --do)."""
        actions = []
        for action in script:
            actions += ["--do", action]
        return cls("--rate", rate, *actions)

    def commands(self):
        """The lines the emulator recorded of what it received."""
        try:
            with open(self.command_log, encoding="latin-1") as f:
                return [line.rstrip("\n") for line in f]
        except FileNotFoundError:
            return []

    def go_ahead(self):
        """Lets the scripts go on past their next wait-signal action."""
        self.process.send_signal(signal.SIGUSR1)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.kill()
        self.process.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def cpu_share(pid, seconds):
    """The share of one CPU that process pid uses over the next seconds."""
    ticks = os.sysconf("SC_CLK_TCK")

    def cpu_seconds():
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / ticks

    before, start = cpu_seconds(), time.time()
    time.sleep(seconds)
    return (cpu_seconds() - before) / (time.time() - start)


def program_in_folder(folder, name):
    """The pid of a process whose HOME is folder and one of whose command words ends in name
    (compared without case: linkspy, linkspy.exe under Wine); None when there is none."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                command = f.read().split(b"\0")
            with open("/proc/%s/environ" % entry, "rb") as f:
                home = b"HOME=" + folder.encode() in f.read().split(b"\0")
        except OSError:
            continue
        if home and any(part.lower().endswith(name.encode()) for part in command):
            return int(entry)
    return None


def program_name(path):
    """The program path as linkspy prints it in its first line: it keeps 47 characters."""
    return path.encode()[:47]


def run_folder(port=None):
    """A fresh working folder whose HOME holds a libcapi20 configuration for the port."""
    folder = tempfile.mkdtemp(prefix="linkspy-run-")
    with open(os.path.join(folder, ".capi20rc"), "w") as f:
        if port is not None:
            f.write("REMOTE rcapi 127.0.0.1 %d\n" % port)
        f.write("TRACELEVEL 0\n")
    return folder


def linkspy_env(folder, **extra):
    env = dict(os.environ)
    env["HOME"] = folder
    env["TERM"] = env.get("TERM", "xterm") if env.get("TERM") not in (None, "", "dumb") else "xterm"
    env.update(extra)
    return env


class Headless:
    """linkspy with pipes for standard input, output and error (standard input from /dev/null
    when keys is False), started through the wrapper command when one is given. The end of
    input does not end linkspy: end it with Ctrl-X or a signal."""

    def __init__(self, folder, args=(), env=None, keys=True, wrapper=()):
        self.folder = folder
        self.process = subprocess.Popen(
            [*wrapper, LINKSPY, *args], cwd=folder, env=env or linkspy_env(folder),
            stdin=subprocess.PIPE if keys else subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.PIPE)
        self.out = b""
        self.err = b""
        ends_with_test(self.kill)

    def _pump(self, timeout):
        streams = [s for s in (self.process.stdout, self.process.stderr) if s and not s.closed]
        if not streams:
            return False
        ready, _, _ = select.select(streams, [], [], timeout)
        got = False
        for stream in ready:
            data = os.read(stream.fileno(), 65536)
            if data:
                got = True
                if stream is self.process.stdout:
                    self.out += data
                else:
                    self.err += data
        return got

    def wait_for(self, text, timeout=30.0):
        """Reads output until text (bytes) appears in standard output; True if it did."""
        deadline = time.time() + timeout
        while text not in self.out:
            remaining = deadline - time.time()
            if remaining <= 0:
                return False
            if not self._pump(min(remaining, 0.1)) and self.process.poll() is not None:
                self._pump(0)
                return text in self.out
        return True

    def send(self, data):
        self.process.stdin.write(data)
        self.process.stdin.flush()

    def close_input(self):
        self.process.stdin.close()

    def kill(self):
        """Ends the process at once if it still runs (test clean-up)."""
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()

    def finish(self, timeout=30.0):
        """Waits for the end; returns the exit status."""
        deadline = time.time() + timeout
        while self.process.poll() is None and time.time() < deadline:
            self._pump(0.1)
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
            raise AssertionError("linkspy did not end; output so far: %r" % self.out[-2000:])
        while self._pump(0):
            pass
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
            if stream and not stream.closed:
                try:
                    stream.close()
                except BrokenPipeError:
                    pass
        return self.process.returncode


def run_headless(folder, args=(), stdin=b"", env=None, timeout=20.0):
    """Runs linkspy to its end with the given input; returns (status, stdout, stderr). Only
    for runs that end by themselves (options, binding failures) or whose input holds Ctrl-X."""
    process = subprocess.run([LINKSPY, *args], cwd=folder, env=env or linkspy_env(folder),
                             input=stdin, capture_output=True, timeout=timeout)
    return process.returncode, process.stdout, process.stderr


class Tmux:
    """A detached tmux server of its own with one 80 x 25 pane running a command."""

    def __init__(self, command, folder, env=None, width=80, height=25):
        self.height = height
        self.socket = os.path.join(tempfile.mkdtemp(prefix="tmux-"), "sock")
        self.folder = folder
        env = env or linkspy_env(folder)
        exports = " ".join("%s=%s" % (k, shell_quote(env[k])) for k in ("HOME",) if k in env)
        extra = " ".join("%s=%s" % (k, shell_quote(v)) for k, v in env.items()
                         if k.startswith("LINKSPY_"))
        self.status_file = os.path.join(folder, ".exit-status")
        shell = "cd %s && env TERM=xterm-256color %s %s %s; echo $? > %s; sleep 3600" % (
            shell_quote(folder), exports, extra, command, shell_quote(self.status_file))
        self._tmux("new-session", "-d", "-x", str(width), "-y", str(height), "-s", "t", shell)
        ends_with_test(self.close)
        self._tmux("set-option", "-t", "t", "status", "off")

    def _tmux(self, *args):
        return subprocess.run(["tmux", "-S", self.socket, *args], capture_output=True,
                              check=False).stdout.decode("utf-8", "replace")

    def screen(self):
        """The rows of the pane as text (at least 25)."""
        rows = self._tmux("capture-pane", "-p", "-t", "t").split("\n")
        rows = rows[:max(25, self.height)]
        return rows + [""] * (25 - len(rows))

    def resize(self, width, height):
        self.height = height
        self._tmux("resize-window", "-t", "t", "-x", str(width), "-y", str(height))

    def cursor(self):
        """The pane's cursor as (column, row)."""
        x, y = self._tmux("display", "-p", "-t", "t", "#{cursor_x} #{cursor_y}").split()
        return int(x), int(y)

    def tty(self):
        return self._tmux("display", "-p", "-t", "t", "#{pane_tty}").strip()

    def send_keys(self, data):
        """Types raw bytes into the pane in one go, as a terminal sends the bytes of one key."""
        if data:
            self._tmux("send-keys", "-t", "t", "-H", *("%02x" % byte for byte in data))

    def type_text(self, text):
        self._tmux("send-keys", "-t", "t", "-l", text)

    def wait_for(self, predicate, timeout=30.0):
        return wait_until(lambda: predicate(self.screen()), timeout)

    def wait_for_text(self, text, timeout=30.0):
        return self.wait_for(lambda rows: any(text in row for row in rows), timeout)

    def exit_status(self, timeout=30.0):
        """The exit status of the command once it has ended, None if it did not end in time."""
        def status_text():
            try:
                with open(self.status_file) as f:
                    return f.read().strip()
            except FileNotFoundError:
                return ""
        text = wait_until(status_text, timeout)
        return int(text) if text else None

    def close(self):
        self._tmux("kill-server")


def shell_quote(text):
    return "'" + str(text).replace("'", "'\\''") + "'"


def sanitized_build():
    """True when the build under test is instrumented by a sanitizer."""
    try:
        with open(os.path.join(BUILD, "CMakeCache.txt")) as f:
            return "-fsanitize" in f.read()
    except FileNotFoundError:
        return False
