"""linkspy.exe under Wine for the end-to-end tests: which program the runtime tests run and
under which Wine, the Wine prefix, made once into a cache outside the source tree and copied
afresh for each run of the suite, the command that runs the program in a tmux pane or through
pipes, and the end of the run's wine server. The rest (emulator, run folders, tmux) is the
Linux suite's harness.

The product is the 32-bit linkspy.exe (a PE32 that loads the 32-bit CAPI2032.DLL, which only a
32-bit prefix has): the runtime tests run it under Debian's 32-bit Wine. A kernel without
32-bit emulation cannot start that Wine; the runtime tests then run the 64-bit test build of
the same sources under wine64 in a 64-bit prefix instead. The checks of the built files always
take the product."""

import errno
import fcntl
import os
import re
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness as h  # noqa: E402,F401

SOURCE = os.environ.get("LINKSPY_SOURCE",
                        os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
WIN32_BUILD = os.environ.get("LINKSPY_WIN32_BUILD", os.path.join(SOURCE, "build-win32"))
LINKSPY_EXE = os.path.join(WIN32_BUILD, "linkspy.exe")
WIN64_TEST_BUILD = os.environ.get("LINKSPY_WIN64_TEST_BUILD",
                                  os.path.join(SOURCE, "build-win64-test"))
WINE32 = os.environ.get("LINKSPY_WINE", "/usr/lib/wine/wine")
WINE64 = os.environ.get("LINKSPY_WINE64", "/usr/lib/wine/wine64")


def why_wine_cannot_run(wine):
    """None when the Wine loader wine starts on this machine, else the reason it does not."""
    try:
        subprocess.run([wine, "--version"], stdin=subprocess.DEVNULL, capture_output=True,
                       timeout=60, check=True)
    except OSError as error:
        if error.errno == errno.ENOEXEC:
            return ("the kernel runs no 32-bit programs (ia32 emulation off), so %s cannot "
                    "start" % wine)
        return "%s: %s" % (wine, error.strerror)
    except subprocess.SubprocessError as error:
        return "%s --version failed: %s" % (wine, error)
    return None


WINE32_CANNOT_RUN = why_wine_cannot_run(WINE32)
if WINE32_CANNOT_RUN is None:
    WINE, WINEARCH, RUN_BUILD = WINE32, "win32", WIN32_BUILD
    RUNS = ("the 32-bit product %s (PE32) under 32-bit Wine in a 32-bit prefix, as 32-bit Wine "
            "starts here" % LINKSPY_EXE)
else:
    WINE, WINEARCH, RUN_BUILD = WINE64, "win64", WIN64_TEST_BUILD
    RUNS = ("the 64-bit test build %s (PE32+, same sources) under wine64 in a 64-bit prefix, "
            "as %s" % (os.path.join(WIN64_TEST_BUILD, "linkspy.exe"), WINE32_CANNOT_RUN))
# The program the runtime tests start; LINKSPY_EXE stays the one the checks of files read.
RUN_EXE = os.path.join(RUN_BUILD, "linkspy.exe")
WINESERVER = os.path.join(os.path.dirname(WINE), "wineserver")
CANNOT_RUN = WINE32_CANNOT_RUN and why_wine_cannot_run(WINE64)
# The run's own prefix, a copy of the cached one: the tests may change it as they like, and a
# second suite running at the same time has its own prefix and wine server.
PREFIX = os.path.join(RUN_BUILD, "wineprefix")
CACHE_ROOT = os.environ.get("LINKSPY_WINE_CACHE", os.path.join(
    os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache"),
    "linkspy"))

# No debug lines, no installer prompts for .NET and HTML, and a UTF-8 terminal, so that the
# console's code page 437 characters reach the pane as themselves.
WINE_ENV = {"WINEPREFIX": PREFIX, "WINEARCH": WINEARCH, "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": "mscoree,mshtml=", "LANG": "C.UTF-8"}

# The first start of Wine in a new prefix builds it; that takes a while on a busy machine.
PREFIX_TIMEOUT = 600


def wine_env(base=None, **extra):
    env = dict(base if base is not None else os.environ)
    env.update(WINE_ENV)
    env.update(extra)
    return env


def needs_wine(*paths):
    """Skips a test class that runs linkspy.exe where Wine cannot run or the program or
    another file is missing."""
    if CANNOT_RUN:
        return unittest.skip(CANNOT_RUN)
    return h.needs(RUN_EXE, *paths)


def cached_prefix():
    """The cached prefix of this Wine version, made when missing: built beside its final
    name and renamed into place once whole, under a lock, so that neither an interrupted
    build nor two suites at once leave a half-made prefix behind."""
    version = subprocess.run([WINE, "--version"], capture_output=True, text=True, check=True,
                             timeout=60).stdout
    cache = os.path.join(CACHE_ROOT, "%s-%s" % (WINEARCH, re.sub(r"[^\w.~+-]+", "_",
                                                                  version).strip("_")))
    os.makedirs(CACHE_ROOT, exist_ok=True)
    with open(cache + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if os.path.exists(os.path.join(cache, "system.reg")):
            return cache
        building = "%s.new-%d" % (cache, os.getpid())
        shutil.rmtree(building, ignore_errors=True)
        os.makedirs(building)
        env = dict(os.environ, WINEPREFIX=building, WINEARCH=WINEARCH, WINEDEBUG="-all",
                   WINEDLLOVERRIDES="mscoree,mshtml=")
        try:
            subprocess.run([WINE, "wineboot", "-i"], env=env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=PREFIX_TIMEOUT, check=True)
            subprocess.run([WINESERVER, "-w"], env=env, timeout=PREFIX_TIMEOUT, check=False)
            shutil.rmtree(cache, ignore_errors=True)
            os.rename(building, cache)
        finally:
            shutil.rmtree(building, ignore_errors=True)
    return cache


_prefix_ready = False


def ensure_prefix():
    """Lays the run's prefix as a fresh copy of the cached one, once per process."""
    global _prefix_ready
    if _prefix_ready or CANNOT_RUN:
        return
    cache = cached_prefix()
    stop_server()
    shutil.rmtree(PREFIX, ignore_errors=True)
    shutil.copytree(cache, PREFIX, symlinks=True)
    _prefix_ready = True


def stop_server():
    """Ends the wine server of the run's prefix (and with it any process left in it)."""
    if CANNOT_RUN or not os.path.isdir(PREFIX):
        return
    subprocess.run([WINESERVER, "-k"], env=wine_env(), stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=60, check=False)


def pane_command(args="", **extra):
    """The shell command that runs linkspy.exe under Wine in a tmux pane."""
    env = dict(WINE_ENV, **extra)
    assignments = " ".join("%s=%s" % (k, h.shell_quote(v)) for k, v in env.items())
    return "env %s %s %s %s" % (assignments, h.shell_quote(WINE), h.shell_quote(RUN_EXE), args)


def run_piped(folder, args=(), stdin=b"", timeout=120.0, **extra):
    """Runs linkspy.exe to its end with pipes; returns (status, stdout, stderr). The input
    must end it (Ctrl-X), unless start-up fails: its end alone does not."""
    env = wine_env(h.linkspy_env(folder), **extra)
    process = subprocess.run([WINE, RUN_EXE, *args], cwd=folder, env=env, input=stdin,
                             capture_output=True, timeout=timeout)
    return process.returncode, process.stdout, process.stderr


def start_piped(folder, args=(), stdin=subprocess.DEVNULL):
    """Starts linkspy.exe with its output to files in folder (out, err); returns the process.
    Wine hands SIGINT to the program as Ctrl-C."""
    env = wine_env(h.linkspy_env(folder))
    with open(os.path.join(folder, "out"), "wb") as out, \
            open(os.path.join(folder, "err"), "wb") as err:
        return subprocess.Popen([WINE, RUN_EXE, *args], cwd=folder, env=env, stdin=stdin,
                                stdout=out, stderr=err)


if __name__ == "__main__":
    # make test-win32 asks whether to build the 64-bit test build: status 0 when 32-bit Wine
    # starts here and the runtime tests take the product.
    if sys.argv[1:] != ["--wine32-starts"]:
        sys.exit("usage: wine.py --wine32-starts")
    sys.exit(0 if WINE32_CANNOT_RUN is None else 1)


def main():
    """Runs one test file alone as run.py runs the suite: in a scratch folder (where Wine's own
    temporary files go too), its prefix laid first and its wine server ended after."""
    h.open_scratch(os.path.splitext(os.path.basename(sys.argv[0]))[0])
    ensure_prefix()
    try:
        unittest.main(testRunner=h.runner())
    finally:
        stop_server()
