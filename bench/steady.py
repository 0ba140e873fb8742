"""The steady-rate part of the benchmark: what a user feels on a busy line rather than how fast
a flood drains. qz7emu sends its simulated line at a steady rate (1,000 lines/s by default) and
two marker texts a few seconds apart; between the markers the bench takes, for linkspy headless
and in an 80 x 25 tmux pane:

- CPU per line: utime + stime (/proc/PID/stat, every thread) of linkspy and, apart, of the tmux
  server, read as each marker reaches the log, over the log lines between the markers;
- system calls per line by name: perf stat counting the syscalls:sys_enter_* tracepoints in the
  kernel, enabled and disabled at the markers (no stop per call, unlike strace);
- instructions per line: linkspy under callgrind, its counters zeroed at the first marker and
  dumped at the last;
- screen latency: marker texts every so often, on a quiet line and under the steady rate; a
  tmux control-mode client captures the pane whenever the pane had output, and a marker's
  latency is the time the first capture showing it came back minus the send time in its head.
"""

import glob
import math
import os
import re
import select
import signal
import statistics
import subprocess
import time

import run_bench

STEADY_RE = re.compile(rb"L2D STEADY (FIRST|LAST)")
HEAD_RE = re.compile(rb"^\d\d:\d\d:\d\d\.\d{3}", re.MULTILINE)
LATENCY_RE = re.compile(rb"(\d\d):(\d\d):(\d\d)\.(\d{3}) L2D LATENCY (\d{4})")
LEAD_MS = 2000  # from the decoder's start to the first marker: start-up traffic is over
LATENCY_SPACING_MS = 100  # between two latency markers: a quiet line between them
BACKUPS = "40"  # every log file of a run is kept, for counting its lines afterwards


def steady_emulator(h, rate, window_ms):
    """qz7emu sending rate lines a second once a decoder is on, and the two markers."""
    return h.Emulator("--rate", str(rate), "--do", "wait-decoder", "--do", "wait %d" % LEAD_MS,
                      "--do", "trace L2D STEADY FIRST", "--do", "wait %d" % window_ms,
                      "--do", "trace L2D STEADY LAST")


def log_history(h, folder):
    """Every kept log file of the folder, oldest first, as one text."""
    history = b""
    for name in h.log_generations(folder):
        with open(os.path.join(folder, name), "rb") as f:
            history += f.read()
    return history


def log_tail(folder):
    """The last few kB of the log and of its backup (a rotation may follow a marker at once)."""
    tail = b""
    for name in ("LINKSPY.BAK", "LINKSPY.LOG"):
        try:
            with open(os.path.join(folder, name), "rb") as f:
                f.seek(max(0, os.fstat(f.fileno()).st_size - 8192))
                tail += f.read()
        except FileNotFoundError:
            pass
    return tail


def await_marker(folder, which, alive, timeout=60):
    """Polls the log until the marker which (b"FIRST" or b"LAST") is in it."""
    deadline = time.monotonic() + timeout
    while which not in (m.group(1) for m in STEADY_RE.finditer(log_tail(folder))):
        if time.monotonic() > deadline:
            raise RuntimeError("the %s marker did not reach the log" % which.decode())
        if not alive():
            raise RuntimeError("the receiver ended before the %s marker" % which.decode())
        time.sleep(run_bench.POLL_S * 5)


def window_lines(h, folder):
    """(lines, seconds) between the two markers: the log lines after the first up to the last,
    and the time between their heads."""
    history = log_history(h, folder)
    first, last = (m for m in STEADY_RE.finditer(history))
    lines = history.count(b"\n", first.end(), last.end())
    heads = [head_seconds(history[history.rfind(b"\n", 0, m.start()) + 1:]) for m in (first, last)]
    return lines, (heads[1] - heads[0]) % 86400


def head_seconds(text):
    """The seconds since midnight of a trace text's head hh:mm:ss.mmm."""
    hours, minutes, seconds = text[:8].split(b":")
    return int(hours) * 3600 + int(minutes) * 60 + float(seconds + text[8:12])


def seconds_of_day(t):
    """A time.time() value as local seconds since midnight, as the emulator's heads say it."""
    local = time.localtime(t)
    return local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec + t % 1


class Receiver:
    """linkspy -2 -3 against an emulator, headless (standard output into a file) or in an 80 x 25
    tmux pane, started through wrapper (a command prefix such as valgrind's); pid is linkspy's,
    server the tmux server's (None headless)."""

    def __init__(self, h, folder, in_tmux, wrapper=()):
        self.h = h
        self.folder = folder
        self.pane = None
        self.server = None
        env = h.linkspy_env(folder, LINKSPY_LOG_BACKUPS=BACKUPS)
        if in_tmux:
            command = " ".join(h.shell_quote(word) for word in (*wrapper, h.LINKSPY, "-2", "-3"))
            self.pane = h.Tmux(command, folder, env=env)
            # The start-up message box waits for Enter.
            if not self.pane.wait_for_text(" OK ", 60):
                raise RuntimeError("no start-up message box: %r" % self.pane.screen())
            self.pane.send_keys(b"\r")
            self.pid = h.wait_until(lambda: h.program_in_folder(folder, "/linkspy"), 10)
            self.server = int(self.pane._tmux("display", "-p", "#{pid}").strip())
        else:
            self.output = open(os.path.join(folder, "stdout.txt"), "wb")
            self.process = subprocess.Popen([*wrapper, h.LINKSPY, "-2", "-3"], cwd=folder, env=env,
                                            stdin=subprocess.PIPE, stdout=self.output,
                                            stderr=subprocess.STDOUT)
            self.pid = self.process.pid
            h.ends_with_test(self.kill)

    def alive(self):
        """True while linkspy runs."""
        if self.pane:
            return not os.path.exists(self.pane.status_file)
        return self.process.poll() is None

    def kill(self):
        """Ends a headless linkspy at once if it still runs (clean-up after a failure)."""
        if self.pane is None and self.process.poll() is None:
            self.process.kill()
            self.process.wait()

    def finish(self):
        """Ends linkspy with Ctrl-X; raises unless it ended with status 0."""
        if self.pane:
            self.pane.send_keys(self.h.CTRL["X"])
            status = self.pane.exit_status(60)
            self.pane.close()
        else:
            self.process.stdin.write(self.h.CTRL["X"])
            self.process.stdin.close()
            try:
                status = self.process.wait(60)
            except subprocess.TimeoutExpired:
                status = None
            self.kill()
            self.output.close()
        if status != 0:
            raise RuntimeError("linkspy ended with %r" % status)


def run_cpu(h, rate, window_ms, in_tmux):
    """CPU µs per line of linkspy and of the tmux server between the markers."""
    with steady_emulator(h, rate, window_ms) as emulator:
        folder = h.run_folder(emulator.port)
        receiver = Receiver(h, folder, in_tmux)
        pids = [p for p in (receiver.pid, receiver.server) if p]
        await_marker(folder, b"FIRST", receiver.alive)
        before = [run_bench.cpu_seconds(p) for p in pids]
        await_marker(folder, b"LAST", receiver.alive)
        used = [run_bench.cpu_seconds(p) - b for p, b in zip(pids, before)]
        receiver.finish()
    lines, seconds = window_lines(h, folder)
    figures = {"lines": lines, "rate": lines / seconds, "linkspy_us": used[0] * 1e6 / lines}
    if in_tmux:
        figures["tmux_us"] = used[1] * 1e6 / lines
    return figures


class SyscallCounter:
    """perf stat counting every system call tracepoint of a process (all its threads), in the
    kernel; counting starts and stops on command through perf's control pipes."""

    def __init__(self, h, pid, folder, label):
        self.output = os.path.join(folder, "perf-%s.csv" % label)
        pipes = [os.path.join(folder, "perf-%s.%s" % (label, end)) for end in ("ctl", "ack")]
        for pipe in pipes:
            os.mkfifo(pipe)
        self.process = subprocess.Popen(
            ["perf", "stat", "-x,", "-e", "raw_syscalls:sys_enter,syscalls:sys_enter_*",
             "-p", str(pid), "-D", "-1", "--control", "fifo:%s,%s" % tuple(pipes),
             "-o", self.output],
            stderr=subprocess.DEVNULL)
        h.ends_with_test(self.kill)
        self.control = open(pipes[0], "w")
        self.ack = open(pipes[1], "rb")

    def kill(self):
        """Ends perf at once if it still runs (clean-up after a failure)."""
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()

    def command(self, word):
        """Sends enable or disable and waits for perf's acknowledgement."""
        self.control.write(word + "\n")
        self.control.flush()
        if b"ack" not in self.ack.readline():
            raise RuntimeError("perf stat did not acknowledge %s" % word)

    def counts(self):
        """Ends perf; the count of each system call made while counting, by name."""
        self.process.send_signal(signal.SIGINT)
        self.process.wait(30)
        self.control.close()
        self.ack.close()
        counts = {}
        with open(self.output) as f:
            for line in f:
                fields = line.split(",")
                if len(fields) > 2 and fields[0].isdigit() and int(fields[0]) > 0:
                    counts[fields[2].replace("syscalls:sys_enter_", "")] = int(fields[0])
        # Every call passes raw_syscalls:sys_enter; those without a tracepoint of their own
        # would be missing from the names.
        unnamed = counts.pop("raw_syscalls:sys_enter", 0) - sum(counts.values())
        if unnamed > 0:
            counts["(without a tracepoint)"] = unnamed
        return counts


def run_syscalls(h, rate, window_ms, in_tmux):
    """System calls per line by name, of linkspy and (in tmux) of the tmux server."""
    with steady_emulator(h, rate, window_ms) as emulator:
        folder = h.run_folder(emulator.port)
        receiver = Receiver(h, folder, in_tmux)
        counters = [SyscallCounter(h, p, folder, label) for p, label in
                    ((receiver.pid, "linkspy"), (receiver.server, "tmux")) if p]
        await_marker(folder, b"FIRST", receiver.alive)
        for counter in counters:
            counter.command("enable")
        await_marker(folder, b"LAST", receiver.alive)
        for counter in counters:
            counter.command("disable")
        counts = [counter.counts() for counter in counters]
        receiver.finish()
    lines, seconds = window_lines(h, folder)
    figures = {"lines": lines, "rate": lines / seconds,
               "linkspy": {name: n / lines for name, n in counts[0].items()}}
    if in_tmux:
        figures["tmux"] = {name: n / lines for name, n in counts[1].items()}
    return figures


def run_instructions(h, rate, window_ms, in_tmux):
    """Instructions per line of linkspy under callgrind (painting included in tmux)."""
    with steady_emulator(h, rate, window_ms) as emulator:
        folder = h.run_folder(emulator.port)
        out = os.path.join(folder, "callgrind.out")
        receiver = Receiver(h, folder, in_tmux, wrapper=(
            "valgrind", "--tool=callgrind", "--callgrind-out-file=" + out))
        await_marker(folder, b"FIRST", receiver.alive, 120)
        callgrind_control(receiver.pid, "-z")
        await_marker(folder, b"LAST", receiver.alive, 120)
        callgrind_control(receiver.pid, "-d")
        receiver.finish()
    lines, seconds = window_lines(h, folder)
    dumps = [path for path in glob.glob(out + ".*") if path.rsplit(".", 1)[1].isdigit()]
    if len(dumps) != 1:
        raise RuntimeError("callgrind left %d dumps in %s" % (len(dumps), folder))
    with open(dumps[0]) as f:
        total = next(int(line.split()[1]) for line in f if line.startswith("summary:"))
    return {"lines": lines, "rate": lines / seconds, "instructions": total / lines}


def callgrind_control(pid, option):
    """Zeroes (-z) or dumps (-d) the counters of the callgrind run pid."""
    done = subprocess.run(["callgrind_control", option, str(pid)], capture_output=True, text=True,
                          timeout=60)
    if done.returncode != 0:
        raise RuntimeError("callgrind_control %s failed: %s" % (option, done.stdout + done.stderr))


class PaneWatch:
    """A tmux control-mode client of a pane's server: whenever the pane had output (%output)
    since the last capture was asked for, and no capture is on its way, it asks for one
    (capture-pane in the control stream, no process started). A marker is seen when the reply
    of the first capture holding it comes back. The capture before did not hold it, so the pane
    showed it only after the first output reported since that capture was asked for: the time
    from that output to the reply is the resolution, kept for each marker."""

    def __init__(self, client):
        self.client = client  # tmux -C attach, its standard input and output piped
        self.pending = b""
        self.in_flight = True  # the attach command's own reply comes first
        self.first_output = None  # the first output reported since the last ask
        self.output_before_ask = None  # first_output when the capture on its way was asked for
        self.block = None
        self.seen = {}  # marker number: (time seen, resolution)
        # Every capture: (time, resolution, the markers in it, its newest head in seconds)
        self.captures = []

    def ask(self):
        """Asks tmux for a capture of the pane."""
        self.client.stdin.write(b"capture-pane -p -t t\n")
        self.client.stdin.flush()
        self.output_before_ask = self.first_output
        self.first_output = None
        self.in_flight = True

    def take(self, line, now):
        """Follows one line of the control stream, read at now."""
        if line.startswith(b"%output"):
            if self.first_output is None:
                self.first_output = now
        elif line.startswith(b"%begin"):
            self.block = []
        elif line.startswith((b"%end", b"%error")) and self.block is not None:
            # The reply holds the output up to its ask and perhaps some after it.
            since = now if self.output_before_ask is None else self.output_before_ask
            shown = b"\n".join(self.block)
            markers = {int(n) for n in re.findall(rb"L2D LATENCY (\d{4})", shown)}
            for number in markers:
                self.seen.setdefault(number, (now, now - since))
            heads = [head_seconds(h) for h in HEAD_RE.findall(shown)]
            self.captures.append((now, now - since, markers, max(heads) if heads else None))
            self.block = None
            self.in_flight = False
        elif self.block is not None:
            self.block.append(line)

    def watch(self, until):
        """Follows the control stream until until() is true."""
        fd = self.client.stdout.fileno()
        while not until():
            if self.first_output is not None and not self.in_flight:
                self.ask()
            if not select.select([fd], [], [], 0.2)[0]:
                continue
            data = os.read(fd, 65536)
            if not data:
                raise RuntimeError("the tmux control client ended")
            now = time.time()
            self.pending += data
            *lines, self.pending = self.pending.split(b"\n")
            for line in lines:
                self.take(line, now)

    def close(self):
        """Detaches the control client."""
        self.client.stdin.close()
        self.client.wait(10)


def latency_emulator(h, rate, markers, spacing_ms):
    """qz7emu sending rate lines a second and, once a decoder is on, the numbered markers."""
    actions = ["wait-decoder", "wait %d" % LEAD_MS]
    for number in range(1, markers + 1):
        actions += ["trace L2D LATENCY %04d" % number, "wait %d" % spacing_ms]
    return h.Emulator.scripted(*actions, rate=str(rate))


def run_latency(h, rate, markers, spacing_ms):
    """Screen latency of markers every spacing_ms beside rate lines/s: the sorted latencies in
    ms, their resolutions in ms, and the markers never seen in the pane."""
    with latency_emulator(h, rate, markers, spacing_ms) as emulator:
        folder = h.run_folder(emulator.port)
        receiver = Receiver(h, folder, True)
        watch = PaneWatch(subprocess.Popen(
            ["tmux", "-S", receiver.pane.socket, "-C", "attach", "-t", "t"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL))
        # A marker that scrolled away between two captures is never seen: the watch then ends
        # a little after the last marker's time.
        deadline = time.monotonic() + (LEAD_MS + markers * spacing_ms) / 1000 + 5
        watch.watch(lambda: markers in watch.seen or time.monotonic() > deadline)
        watch.close()
        receiver.finish()
    sent = {int(m.group(5)): int(m.group(1)) * 3600 + int(m.group(2)) * 60 + int(m.group(3)) +
            int(m.group(4)) / 1000 for m in LATENCY_RE.finditer(log_history(h, folder))}
    return marker_latencies(watch.captures, sent, markers)


def marker_latencies(captures, sent, markers):
    """Each marker's latency: from its send time to the first capture that shows it or a text
    sent after it. Under a stream the painter shows the newest state, so a marker may scroll past
    between two paints: the pane was as new as it then. The sorted latencies in ms, the median
    resolution in ms of the captures that count, how many markers scrolled past unshown, and
    how many the pane never reached."""
    latencies, resolutions, passed = [], [], 0
    for number, at in sent.items():
        for now, resolution, shown, newest in captures:
            later = newest is not None and 0 < (newest - at) % 86400 < 43200
            if number in shown or later:
                latencies.append(((seconds_of_day(now) - at) % 86400) * 1000)
                resolutions.append(resolution * 1000)
                passed += number not in shown
                break
    return {"latencies": sorted(latencies),
            "resolution": statistics.median(resolutions) if resolutions else 0.0,
            "passed": passed, "missed": markers - len(latencies)}


def percentile(values, share):
    """The value below which share of the sorted values lie (the nearest rank)."""
    return values[max(0, math.ceil(share * len(values)) - 1)]


def measure(h, args):
    """Every steady figure: the CPU runs args.steady_runs times (times vary), the counts and
    the latencies once each."""
    window_ms = int(args.steady_seconds * 1000)
    rate = args.steady_rate
    runs = {"cpu headless": [], "cpu tmux": []}
    for i in range(args.steady_runs):
        # Interleaved, so a slow spell of the machine weighs on both alike.
        runs["cpu headless"].append(run_cpu(h, rate, window_ms, False))
        runs["cpu tmux"].append(run_cpu(h, rate, window_ms, True))
        print("steady run %d: linkspy %.1f us/line headless, %.1f in tmux (tmux server %.1f)" % (
            i + 1, runs["cpu headless"][-1]["linkspy_us"], runs["cpu tmux"][-1]["linkspy_us"],
            runs["cpu tmux"][-1]["tmux_us"]), flush=True)
    counted_ms = min(window_ms, 5000)
    for in_tmux, kind in ((False, "headless"), (True, "tmux")):
        runs["syscalls " + kind] = [run_syscalls(h, rate, counted_ms, in_tmux)]
        runs["instructions " + kind] = [run_instructions(h, rate, counted_ms, in_tmux)]
    markers = args.latency_markers
    runs["latency quiet"] = [run_latency(h, 0, markers, LATENCY_SPACING_MS)]
    runs["latency loaded"] = [run_latency(h, rate, markers, LATENCY_SPACING_MS)]
    return runs



def summary(args, runs):
    """The steady figures as (figure, headless, tmux, goal) rows, the latencies as (case,
    figures, goal) rows, and the system calls per line as (name, headless linkspy, linkspy in
    tmux, tmux server) rows, the most frequent in tmux first."""

    def cpu(kind, key):
        """The median of a figure over the CPU runs of one kind."""
        return statistics.median(r[key] for r in runs["cpu " + kind])

    calls = {kind: runs["syscalls " + kind][0] for kind in ("headless", "tmux")}
    instructions = {kind: runs["instructions " + kind][0]["instructions"]
                    for kind in ("headless", "tmux")}
    figures = [
        ("lines/s into the log, measured", "%.0f" % cpu("headless", "rate"),
         "%.0f" % cpu("tmux", "rate"), ""),
        ("linkspy CPU, us per line (time)", "%.1f" % cpu("headless", "linkspy_us"),
         "%.1f" % cpu("tmux", "linkspy_us"), "<= 12 headless, <= 20 in tmux"),
        ("tmux server CPU, us per line (time)", "", "%.1f" % cpu("tmux", "tmux_us"), ""),
        ("linkspy system calls per line (count)",
         "%.2f" % sum(calls["headless"]["linkspy"].values()),
         "%.2f" % sum(calls["tmux"]["linkspy"].values()), "<= 4 in tmux"),
        ("tmux server system calls per line (count)", "",
         "%.2f" % sum(calls["tmux"]["tmux"].values()), ""),
        ("linkspy instructions per line, callgrind (count)", "%.0f" % instructions["headless"],
         "%.0f" % instructions["tmux"], ""),
    ]
    latencies = [("quiet line", runs["latency quiet"][0], "p99 <= 30 ms"),
                 ("under %d lines/s" % args.steady_rate, runs["latency loaded"][0],
                  "p99 <= 150 ms")]
    counted = (calls["headless"]["linkspy"], calls["tmux"]["linkspy"], calls["tmux"]["tmux"])
    names = sorted(set().union(*counted), key=lambda n: (-counted[1].get(n, 0), n))
    calls_rows = [(n, *("%.3f" % c.get(n, 0) for c in counted)) for n in names]
    return figures, latencies, calls_rows


def latency_text(figures):
    """p50, p99 and max in ms of a latency run's markers seen, or that none was seen."""
    values = figures["latencies"]
    if not values:
        return "none seen", "none seen", "none seen"
    return tuple("%.1f" % v for v in (percentile(values, 0.5), percentile(values, 0.99),
                                      values[-1]))


def print_summary(args, figures, latencies):
    """Prints the steady figures and latencies as a table."""
    print("\nsteady line, qz7emu --rate %d, %.0f s between the markers; linkspy -2 -3:" % (
        args.steady_rate, args.steady_seconds))
    width = max(len(row[0]) for row in figures)
    print("  %-*s  %9s  %9s" % (width, "", "headless", "tmux"))
    for name, headless, tmux, goal in figures:
        print("  %-*s  %9s  %9s   %s" % (width, name, headless, tmux, goal and "goal " + goal))
    for case, run, goal in latencies:
        print("  screen latency, %s: p50 %s ms, p99 %s ms, max %s ms; %d of %d markers"
              " scrolled past between paints, %d never reached; resolution %.2f ms   goal %s" % (
                  case, *latency_text(run), run["passed"], args.latency_markers, run["missed"],
                  run["resolution"], goal))


def section(args, runs):
    """The steady section of the results file: the figures, how each was taken, every run."""
    figures, latencies, calls_rows = summary(args, runs)
    print_summary(args, figures, latencies)
    text = ("`bench/run_bench.py --only steady`: qz7emu's simulated line at `--rate %d` (its "
            "irregular small bursts) into linkspy -2 -3, headless (standard output into a file) "
            "and in an 80 x 25 tmux pane with no client attached, two marker texts %.0f s apart "
            "(%.0f s for the counts). CPU figures are the median of %d runs; the counts and the "
            "latencies come from one run each. Taken %s on %s.\n\n" % (
                args.steady_rate, args.steady_seconds, min(args.steady_seconds, 5),
                args.steady_runs, time.strftime("%Y-%m-%d"), run_bench.machine()))
    text += "| figure | headless | 80 x 25 tmux pane | goal |\n|---|---:|---:|---|\n"
    for row in figures:
        text += "| %s |\n" % " | ".join(row)
    text += ("\nScreen latency, from the send time in a marker's head to the first capture of "
             "the pane showing it or a text sent after it (a marker may scroll past between "
             "two paints), %d markers %d ms apart:\n\n"
             "| line | p50, ms | p99, ms | max, ms | markers scrolled past | never reached "
             "| resolution, ms | goal |\n|---|---:|---:|---:|---:|---:|---:|---|\n" % (
                 args.latency_markers, LATENCY_SPACING_MS))
    for case, run, goal in latencies:
        text += "| %s | %s | %s | %s | %d | %d | %.2f | %s |\n" % (
            case, *latency_text(run), run["passed"], run["missed"], run["resolution"], goal)
    text += ("\nSystem calls per line by name (perf stat, syscalls:sys_enter_* counted in the "
             "kernel):\n\n| call | linkspy headless | linkspy in tmux | tmux server |\n"
             "|---|---:|---:|---:|\n")
    for row in calls_rows:
        text += "| %s |\n" % " | ".join(row)
    text += "\nEvery run:\n\n```\n"
    for kind, kind_runs in runs.items():
        for run in kind_runs:
            text += "%-20s %s\n" % (kind, " ".join(
                "%s=%s" % (k, "%.3f" % v if isinstance(v, float) else v)
                for k, v in sorted(run.items()) if not isinstance(v, (dict, list))))
    text += "```\n"
    return text
