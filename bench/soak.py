#!/usr/bin/env python3
"""The soak: linkspy headless for a few minutes, qz7emu sending about 2,000 numbered trace
texts a second, numbered log backups kept. Afterwards the memory (RSS) and the number of open
descriptors must be those after the first minute, every line must be in LINKSPY.LOG or a kept
backup (none lost, none twice, none torn), and SIGTERM must end linkspy cleanly. Prints the
figures and writes them into the soak section of bench/RESULTS.md.

    bench/soak.py [--build DIR] [--minutes M] [--rate LINES_PER_S] [--results FILE]
"""

import argparse
import math
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

from run_bench import cpu_seconds, parse_arguments, replace_section, status_kb

BLOCK = 200  # numbered texts per flood action, the emulator's burst
TEXT_BYTES = 80  # a flood text with its line end, at most
RSS_SLACK_KB = 64  # pages the allocator may still touch late; anything more is growth
# linkspy's standard input is at its end from the start, as for a service.
LINKSPY_STDIN = subprocess.DEVNULL
TOKEN = re.compile(rb"L2D SOAK BLOCK (\d+)|L2D FLOOD (\d{6}) [A-Za-z]+\n|FLOOD")


def descriptors(pid):
    """Open descriptors, the fewest of a few looks: the log is open for a moment at each write,
    while a leaked descriptor stays."""
    counts = []
    for _ in range(5):
        counts.append(len(os.listdir("/proc/%d/fd" % pid)))
        time.sleep(0.02)
    return min(counts)


def write_script(path, blocks, rate):
    """The emulator's script: blocks of BLOCK numbered texts, each after a marker line, paced
    to about rate texts a second, then the end marker."""
    pause = max(1, int(1000 * BLOCK / rate))
    with open(path, "w") as f:
        f.write("wait-decoder\nwait 300\n")
        for block in range(1, blocks + 1):
            f.write("trace L2D SOAK BLOCK %d\nflood %d\nwait %d\n" % (block, BLOCK, pause))
        f.write("trace L2D SOAK DONE\n")


def account(h, folder, blocks):
    """Checks the kept history: every block marker followed by its texts numbered 1..BLOCK,
    whole. Returns (texts found, problems)."""
    names = h.log_generations(folder)
    problems = []
    for name in names[:-1]:
        if os.path.getsize(os.path.join(folder, name)) < 513024:
            problems.append("%s rotated below the limit" % name)
    history = b""
    for name in names:
        with open(os.path.join(folder, name), "rb") as f:
            history += f.read()
    block, expected, texts = 0, 1, 0
    for match in TOKEN.finditer(history):
        if match.group(1):
            if expected != BLOCK + 1 and block != 0:
                problems.append("block %d ended at text %d" % (block, expected - 1))
            if int(match.group(1)) != block + 1:
                problems.append("block %d follows block %d" % (int(match.group(1)), block))
            block, expected = int(match.group(1)), 1
        elif match.group(2):
            if int(match.group(2)) != expected:
                problems.append("block %d: text %s where %d was due" % (
                    block, match.group(2).decode(), expected))
                expected = int(match.group(2))
            expected += 1
            texts += 1
        else:
            problems.append("a torn text near byte %d" % match.start())
        if len(problems) > 10:
            break
    if block != blocks or expected != BLOCK + 1:
        problems.append("history ends in block %d at text %d" % (block, expected - 1))
    return texts, len(names) - 1, problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--minutes", type=float, default=3.0)
    parser.add_argument("--rate", type=int, default=2000)
    args, h = parse_arguments(parser)

    blocks = max(2, int(args.minutes * 60 * args.rate / BLOCK))
    # Backups enough to keep the whole run, so every line can be counted.
    backups = min(9999, math.ceil(blocks * BLOCK * TEXT_BYTES / 512000) + 10)
    work = tempfile.mkdtemp(prefix="linkspy-soak-")
    script = os.path.join(work, "soak.script")
    write_script(script, blocks, args.rate)
    emulator = h.Emulator("--rate", "0", "--script", script, workdir=work)
    folder = h.run_folder(emulator.port)
    out_path = os.path.join(work, "linkspy.out")
    with open(out_path, "wb") as out:
        run = subprocess.Popen([h.LINKSPY, "-2", "-3"], cwd=folder, stdin=LINKSPY_STDIN,
                               stdout=out, stderr=subprocess.STDOUT,
                               env=h.linkspy_env(folder, LINKSPY_LOG_BACKUPS=str(backups)))
    print("soak: %d blocks of %d texts at about %d/s, %d backups kept, in %s" % (
        blocks, BLOCK, args.rate, backups, folder), flush=True)
    started = time.monotonic()
    samples = []
    first_minute = None
    ok = True
    try:
        while b"L2D SOAK DONE" not in (h.read_log(folder) or b"")[-4096:]:
            if run.poll() is not None:
                raise RuntimeError("linkspy ended during the soak with %d" % run.returncode)
            if time.monotonic() - started > args.minutes * 60 * 2 + 120:
                raise RuntimeError("the soak did not finish")
            time.sleep(1)
            elapsed = time.monotonic() - started
            if first_minute is None and elapsed >= 60:
                first_minute = (status_kb(run.pid, "VmRSS"), descriptors(run.pid))
            if not samples or elapsed - samples[-1][0] >= 30:
                samples.append((elapsed, status_kb(run.pid, "VmRSS"), descriptors(run.pid)))
                print("  %4.0f s  RSS %d kB  descriptors %d" % samples[-1], flush=True)
        elapsed = time.monotonic() - started
        cpu = cpu_seconds(run.pid)
        end = (status_kb(run.pid, "VmRSS"), descriptors(run.pid))
        if first_minute is None:
            first_minute = end
        run.send_signal(signal.SIGTERM)
        term_started = time.monotonic()
        status = run.wait(timeout=30)
        term_s = time.monotonic() - term_started
    finally:
        if run.poll() is None:
            run.kill()
            run.wait()
        emulator.stop()
    with open(out_path, "rb") as f:
        printed = f.read()
    log = h.read_log(folder) or b""
    texts, rotations, problems = account(h, folder, blocks)
    clean = (status == 0 and b"\rClean at shutdown\n" in printed and
             re.search(rb"Program unloaded\n$", log) is not None)
    flat_rss = end[0] - first_minute[0] <= RSS_SLACK_KB
    flat_fds = end[1] == first_minute[1]
    errors = printed.count(b"LINKSPY: Error") + printed.count(b"Warning")
    ok = clean and flat_rss and flat_fds and not problems and errors == 0

    figures = [
        ("duration, s", "%.0f" % elapsed, ""),
        ("trace texts logged", "%d" % texts, "%d" % (blocks * BLOCK)),
        ("rate, texts/s", "%.0f" % (texts / elapsed), "about %d" % args.rate),
        ("rotations (kept backups used)", "%d" % rotations, ""),
        ("texts lost, repeated or torn", "%d" % len(problems), "0"),
        ("RSS after the first minute / at the end, kB", "%d / %d" % (first_minute[0], end[0]),
         "equal (within %d)" % RSS_SLACK_KB),
        ("open descriptors after the first minute / at the end", "%d / %d" % (
            first_minute[1], end[1]), "equal"),
        ("linkspy CPU, %", "%.1f" % (100 * cpu / elapsed), ""),
        ("SIGTERM to exit, s (status)", "%.2f (%d)" % (term_s, status), "status 0, clean"),
        ("error or warning lines printed", "%d" % errors, "0"),
    ]
    width = max(len(name) for name, _, _ in figures)
    for name, value, target in figures:
        print("  %-*s  %14s   %s" % (width, name, value, "target " + target if target else ""))
    for problem in problems:
        print("  problem: %s" % problem)
    print("soak %s" % ("passed" if ok else "FAILED"))

    section = ("`make soak` (bench/soak.py, `SOAK_MINUTES=%g`): linkspy -2 -3 headless with "
               "standard input at its end, qz7emu sending blocks of %d numbered texts at about %d a second, "
               "`LINKSPY_LOG_BACKUPS=%d`, then SIGTERM. Taken %s.\n\n" % (
                   args.minutes, BLOCK, args.rate, backups, time.strftime("%Y-%m-%d")))
    section += "| figure | value | target |\n|---|---:|---|\n"
    for name, value, target in figures:
        section += "| %s | %s | %s |\n" % (name, value, target)
    section += "\nRSS and descriptors every 30 s:\n\n```\n"
    for sample in samples:
        section += "%4.0f s  RSS %d kB  descriptors %d\n" % sample
    section += "```\n"
    replace_section(args.results, "Soak", section)
    if not ok:
        h.keep_scratch()
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
