#!/usr/bin/env python3
"""The benchmark: qz7emu floods trace texts through the real libcapi20 over loopback into
linkspy (headless, and in an 80 x 25 tmux pane held and not) and into the bare receiver, the least a monitor
must do per message; then it sends a steady line into linkspy for the cost of a line and the
screen's latency as a user meets them (bench/steady.py). Prints the median of several runs of
each figure and writes them to bench/RESULTS.md.

    bench/run_bench.py [--build DIR] [--results FILE] [--only flood|steady]
        [--count N] [--runs R]                       (the flood)
        [--steady-rate LINES_PER_S] [--steady-seconds S] [--steady-runs R]
        [--latency-markers N]                        (the steady line)
"""

import argparse
import os
import platform as host
import re
import statistics
import subprocess
import sys
import time

import steady

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)

POLL_S = 0.002
FLOOD_RE = re.compile(rb"L2D FLOOD (\d{6})")
# A flood drains into linkspy at least this share of the bare receiver's rate (both open the log
# the same safe way; linkspy appends what arrived together with one write).
BARE_RATIO_GOAL = 0.9


def cpu_seconds(pid):
    """User and system CPU time of a process so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def status_kb(pid, field):
    """A kB figure of a process's status (VmHWM: its peak RSS, VmRSS: its RSS now)."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def read_counter(path):
    try:
        with open(path, "rb") as f:
            return int.from_bytes(f.read(8), "little")
    except (FileNotFoundError, ValueError):
        return 0


class FloodWatch:
    """Watches a flood arrive in a folder's log (every file the log rotates into is kept):
    when it began, when its last text arrived, and what was lost."""

    def __init__(self, h, folder, count):
        self.keeper = h.LogKeeper(folder)
        self.folder = folder
        self.count = count
        self.first_time = None
        self.first_number = 0
        self.last_time = None

    def _tail(self):
        path = os.path.join(self.folder, "LINKSPY.LOG")
        try:
            with open(path, "rb") as f:
                size = os.fstat(f.fileno()).st_size
                f.seek(max(0, size - 4096))
                return f.read()
        except FileNotFoundError:
            return b""

    def poll(self):
        """One look; True once the last text of the flood is in the log."""
        self.keeper.keep()
        tail = self._tail()
        now = time.monotonic()
        numbers = FLOOD_RE.findall(tail)
        if self.first_time is None and numbers:
            self.first_time = now
            self.first_number = int(numbers[-1])
        if numbers and int(numbers[-1]) == self.count:
            self.last_time = now
            return True
        return False

    def rate(self):
        return (self.count - self.first_number) / (self.last_time - self.first_time)

    def lost(self):
        """Flood texts missing from the kept files (a text logged twice counts as lost too)."""
        numbers = [int(n) for text in self.keeper.files() for n in FLOOD_RE.findall(text)]
        if numbers == list(range(1, self.count + 1)):
            return 0
        return self.count - len(set(numbers) & set(range(1, self.count + 1))) + \
            (len(numbers) - len(set(numbers)))


def flood_emulator(h, count, wait_ms=300):
    return h.Emulator("--rate", "0", "--do", "wait-decoder", "--do", "wait %d" % wait_ms,
                      "--do", "flood %d" % count)


def await_flood(keeper, alive, timeout):
    deadline = time.monotonic() + timeout
    while not keeper.poll():
        if time.monotonic() > deadline:
            raise RuntimeError("the flood did not reach the log in %d s" % timeout)
        if not alive():
            raise RuntimeError("the receiver ended during the flood")
        time.sleep(POLL_S)


def run_headless(h, build, count):
    """linkspy headless: lines per second, lines lost, peak RSS, allocations per message."""
    with flood_emulator(h, count) as emulator:
        folder = h.run_folder(emulator.port)
        counter = os.path.join(folder, "malloc.count")
        env = h.linkspy_env(folder, LD_PRELOAD=os.path.join(build, "bench", "libmalloc_count.so"),
                            MALLOC_COUNT_FILE=counter)
        run = h.Headless(folder, ["-2", "-3"], env=env)
        keeper = FloodWatch(h, folder, count)
        try:
            allocations_at_first = None
            deadline = time.monotonic() + 120
            while not keeper.poll():
                run._pump(0)
                if keeper.first_time is not None and allocations_at_first is None:
                    allocations_at_first = read_counter(counter)
                if run.process.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("linkspy ended or stalled: %r" % run.out[-500:])
                time.sleep(POLL_S)
            allocations = read_counter(counter) - allocations_at_first
            rss = status_kb(run.process.pid, "VmHWM")
        finally:
            run.send(h.CTRL["X"])
            status = run.finish(30)
        if status != 0:
            raise RuntimeError("linkspy ended with %d" % status)
        messages = count - keeper.first_number
        return {"rate": keeper.rate(), "lost": keeper.lost(), "rss_kb": rss,
                "allocs_per_msg": allocations / messages}


def hold_screen(h, pane):
    """Debug mode, wait mode on (.w), then Ctrl-A: the pane's output region is held."""
    pane.send_keys(h.ACCESS + b" ")
    if not pane.wait_for(lambda rows: rows[23].startswith("C1:-)"), 10):
        raise RuntimeError("no prompt: %r" % pane.screen())
    pane.type_text(".w")
    pane.send_keys(b"\r")
    if not pane.wait_for(lambda rows: rows[24].startswith("Wait mode on"), 10):
        raise RuntimeError("wait mode not on: %r" % pane.screen())
    pane.send_keys(h.CTRL["A"])
    if not pane.wait_for(lambda rows: "Held:" in rows[0], 10):
        raise RuntimeError("the screen was not held: %r" % pane.screen())


def run_tmux(h, build, count, held=False):
    """linkspy in an 80 x 25 tmux pane, its screen held or not: lines per second, lines lost,
    CPU seconds per 1,000 lines."""
    with flood_emulator(h, count, 5000 if held else 300) as emulator:
        folder = h.run_folder(emulator.port)
        pane = h.Tmux("%s -2 -3" % h.shell_quote(h.LINKSPY), folder)
        keeper = FloodWatch(h, folder, count)
        try:
            # The start-up message box waits for Enter.
            if not pane.wait_for_text(" OK ", 10):
                raise RuntimeError("no start-up message box: %r" % pane.screen())
            pane.send_keys(b"\r")
            pid = h.wait_until(lambda: h.program_in_folder(folder, "/linkspy"), 10)
            if held:
                hold_screen(h, pane)
            cpu_before = cpu_seconds(pid)
            await_flood(keeper, lambda: not os.path.exists(pane.status_file), 120)
            cpu = cpu_seconds(pid) - cpu_before
            if held:
                pane.send_keys(h.CTRL["A"])
            if not pane.wait_for_text("FLOOD %06d" % count, 10):
                raise RuntimeError("the pane never showed the last flood text")
            pane.send_keys(h.CTRL["X"])
            status = pane.exit_status(30)
        finally:
            pane.close()
        if status != 0:
            raise RuntimeError("linkspy in tmux ended with %r" % status)
        return {"rate": keeper.rate(), "lost": keeper.lost(),
                "cpu_per_1000": cpu * 1000 / (count - keeper.first_number)}


def run_bare(h, build, count):
    """The bare receiver: lines per second and lines lost."""
    with flood_emulator(h, count) as emulator:
        folder = h.run_folder(emulator.port)
        process = subprocess.Popen([os.path.join(build, "bench", "bare_receiver"), str(count)],
                                   cwd=folder, env=h.linkspy_env(folder))
        keeper = FloodWatch(h, folder, count)
        try:
            await_flood(keeper, lambda: process.poll() in (None, 0), 120)
        finally:
            status = process.wait(30)
        if status != 0:
            raise RuntimeError("bare receiver ended with %d" % status)
        return {"rate": keeper.rate(), "lost": keeper.lost()}


def run_idle(h, build):
    """Start to the keyboard loop (the emulator has the decoder command), then 10 s idle."""
    with h.Emulator("--rate", "0") as emulator:
        folder = h.run_folder(emulator.port)
        started = time.monotonic()
        run = h.Headless(folder, ["-2"])
        # The decoder commands are the last thing before the keyboard loop.
        while not any(line.startswith("cmd cmt l2") for line in emulator.commands()):
            if time.monotonic() - started > 10:
                raise RuntimeError("linkspy never sent its decoder command")
            time.sleep(0.0005)
        startup = time.monotonic() - started
        time.sleep(0.5)
        before, since = cpu_seconds(run.process.pid), time.monotonic()
        while time.monotonic() - since < 10:
            run._pump(0.1)
        idle = (cpu_seconds(run.process.pid) - before) / (time.monotonic() - since)
        run.send(h.CTRL["X"])
        if run.finish(20) != 0:
            raise RuntimeError("linkspy did not end cleanly")
        return {"startup_ms": startup * 1000, "idle_cpu": idle * 100}


def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return "%d cores (nproc), %s, %s" % (os.cpu_count(), model, host.platform())


def median(runs, key):
    return statistics.median(r[key] for r in runs)


def parse_arguments(parser):
    """Adds the options of every bench script (--build, --results), parses the command line
    and loads the end-to-end harness for that build, with a scratch folder for the run's files
    (removed at the end); returns (arguments, harness)."""
    parser.add_argument("--build", default=os.path.join(SOURCE, "build"))
    parser.add_argument("--results", default=os.path.join(HERE, "RESULTS.md"))
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)
    os.environ["LINKSPY_BUILD"] = args.build
    sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
    import harness
    harness.open_scratch(os.path.splitext(os.path.basename(sys.argv[0]))[0])
    return args, harness


def replace_section(path, heading, text):
    """Replaces one section of the results file (heading None: the part before the first
    section) or adds it; the soak's section stays last, the others keep their places."""
    sections = {None: ""}
    try:
        with open(path) as f:
            parts = re.split(r"^## (.*)\n", f.read(), flags=re.M)
        sections[None] = parts[0]
        sections.update((parts[i], parts[i + 1]) for i in range(1, len(parts), 2))
    except FileNotFoundError:
        pass
    sections[heading] = text
    soak = sections.pop("Soak", None)
    if soak is not None:
        sections["Soak"] = soak
    parts = [sections.pop(None).strip("\n")]
    parts += ["## %s\n\n%s" % (name, part.strip("\n")) for name, part in sections.items()]
    with open(path, "w") as f:
        f.write("\n\n".join(parts) + "\n")


def flood(args, h):
    """The flood figures, printed and written into the results file; True if their targets
    were met."""
    build = args.build
    runs = {"headless": [], "tmux": [], "held": [], "bare": [], "idle": []}
    for i in range(args.runs):
        # Interleaved, so a slow spell of the machine weighs on every kind alike.
        runs["bare"].append(run_bare(h, build, args.count))
        runs["headless"].append(run_headless(h, build, args.count))
        runs["tmux"].append(run_tmux(h, build, args.count))
        runs["held"].append(run_tmux(h, build, args.count, held=True))
        runs["idle"].append(run_idle(h, build))
        print("run %d: bare %.0f/s, headless %.0f/s, tmux %.0f/s, held %.0f/s" % (
            i + 1, runs["bare"][-1]["rate"], runs["headless"][-1]["rate"],
            runs["tmux"][-1]["rate"], runs["held"][-1]["rate"]), flush=True)

    bare = median(runs["bare"], "rate")
    headless = median(runs["headless"], "rate")
    tmux = median(runs["tmux"], "rate")
    held = median(runs["held"], "rate")
    held_cpu = median(runs["held"], "cpu_per_1000") / median(runs["tmux"], "cpu_per_1000")
    lost = max(max(r["lost"] for r in runs[k]) for k in ("headless", "tmux", "held", "bare"))
    figures = [
        ("linkspy headless, lines/s into the log", "%.0f" % headless, ""),
        ("linkspy in an 80 x 25 tmux pane, lines/s", "%.0f" % tmux, ""),
        ("bare receiver, lines/s", "%.0f" % bare, ""),
        ("ratio headless / bare", "%.2f" % (headless / bare), ">= %.1f" % BARE_RATIO_GOAL),
        ("ratio tmux / bare", "%.2f" % (tmux / bare), ">= %.1f" % BARE_RATIO_GOAL),
        ("linkspy in a held 80 x 25 tmux pane, lines/s", "%.0f" % held, ""),
        ("CPU per line, held / unheld pane", "%.2f" % held_cpu, "<= 1.05"),
        ("lines lost (worst run, any receiver)", "%d" % lost, "0"),
        ("start to keyboard loop, ms", "%.1f" % median(runs["idle"], "startup_ms"), "< 200"),
        ("idle CPU over 10 s, %", "%.2f" % median(runs["idle"], "idle_cpu"), "< 1"),
        ("peak RSS, MB", "%.1f" % (median(runs["headless"], "rss_kb") / 1024), "< 16"),
        ("heap allocations per message", "%.3f" % median(runs["headless"], "allocs_per_msg"), "0"),
    ]
    met = (headless / bare >= BARE_RATIO_GOAL and tmux / bare >= BARE_RATIO_GOAL and lost == 0 and held_cpu <= 1.05 and
           median(runs["idle"], "startup_ms") < 200 and median(runs["idle"], "idle_cpu") < 1 and
           median(runs["headless"], "rss_kb") < 16 * 1024 and
           median(runs["headless"], "allocs_per_msg") < 0.001)

    width = max(len(name) for name, _, _ in figures)
    print("\n%d trace texts of 60-80 characters, median of %d runs; %s" % (
        args.count, args.runs, machine()))
    for name, value, target in figures:
        print("  %-*s  %10s   %s" % (width, name, value, "target " + target if target else ""))
    print("targets %s" % ("met" if met else "MISSED"))

    text = ("# Benchmark results\n\n`make bench` (bench/run_bench.py): qz7emu floods %d trace "
            "texts of 60 to 80 characters through libcapi20 over loopback (decoders -2 -3 on); "
            "each figure is the median of %d runs.\n\n" % (args.count, args.runs))
    text += "Machine: %s, taken %s.\n\n" % (machine(), time.strftime("%Y-%m-%d"))
    text += "| figure | value | target |\n|---|---:|---|\n"
    for name, value, target in figures:
        text += "| %s | %s | %s |\n" % (name, value, target)
    text += "\nEvery run:\n\n```\n"
    for kind in ("bare", "headless", "tmux", "held", "idle"):
        for r in runs[kind]:
            text += "%-8s %s\n" % (kind, " ".join(
                "%s=%.3f" % (k, v) for k, v in sorted(r.items())))
    text += "```\n"
    replace_section(args.results, None, text)
    return met


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--only", choices=("flood", "steady"))
    parser.add_argument("--count", type=int, default=200000)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--steady-rate", type=int, default=1000)
    parser.add_argument("--steady-seconds", type=float, default=10)
    parser.add_argument("--steady-runs", type=int, default=3)
    parser.add_argument("--latency-markers", type=int, default=100)
    args, h = parse_arguments(parser)
    met = args.only == "steady" or flood(args, h)
    if args.only != "flood":
        replace_section(args.results, "Steady rate", steady.section(args, steady.measure(h, args)))
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
