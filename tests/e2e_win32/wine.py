"""linkspy.exe under 32-bit Wine for the end-to-end tests: the Wine prefix, made once into a
cache outside the source tree and copied afresh for each run of the suite, the command that
runs the program in a tmux pane or through pipes, and the end of the run's wine server. The
rest (emulator, run folders, tmux) is the Linux suite's harness."""

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
# The 32-bit loader of Debian's wine32: the program is a PE32 that loads the 32-bit
# CAPI2032.DLL, which only a 32-bit prefix has.
WINE = os.environ.get("LINKSPY_WINE", "/usr/lib/wine/wine")
WINESERVER = os.path.join(os.path.dirname(WINE), "wineserver")
WINEARCH = os.environ.get("LINKSPY_WINEARCH", "win32")
# The run's own prefix, a copy of the cached one: the tests may change it as they like, and a
# second suite running at the same time has its own prefix and wine server.
PREFIX = os.path.join(WIN32_BUILD, "wineprefix")
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


def why_wine_cannot_run():
    """None when the Wine loader starts on this machine, else the reason it does not."""
    try:
        subprocess.run([WINE, "--version"], stdin=subprocess.DEVNULL, capture_output=True,
                       timeout=60, check=True)
    except OSError as error:
        if error.errno == errno.ENOEXEC:
            return ("the kernel runs no 32-bit programs (ia32 emulation off), so %s cannot "
                    "start" % WINE)
        return "%s: %s" % (WINE, error.strerror)
    except subprocess.SubprocessError as error:
        return "%s --version failed: %s" % (WINE, error)
    return None


CANNOT_RUN = why_wine_cannot_run()


def needs_wine(*paths):
    """Skips a test class that runs linkspy.exe where Wine cannot run or a file is missing."""
    if CANNOT_RUN:
        return unittest.skip(CANNOT_RUN)
    return h.needs(*paths)


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
    return "env %s %s %s %s" % (assignments, h.shell_quote(WINE), h.shell_quote(LINKSPY_EXE), args)


def run_piped(folder, args=(), stdin=b"", timeout=120.0, **extra):
    """Runs linkspy.exe to its end with pipes; returns (status, stdout, stderr). The input
    must end it (Ctrl-X), unless start-up fails: its end alone does not."""
    env = wine_env(h.linkspy_env(folder), **extra)
    process = subprocess.run([WINE, LINKSPY_EXE, *args], cwd=folder, env=env, input=stdin,
                             capture_output=True, timeout=timeout)
    return process.returncode, process.stdout, process.stderr


def start_piped(folder, args=(), stdin=subprocess.DEVNULL):
    """Starts linkspy.exe with its output to files in folder (out, err); returns the process.
    Wine hands SIGINT to the program as Ctrl-C."""
    env = wine_env(h.linkspy_env(folder))
    with open(os.path.join(folder, "out"), "wb") as out, \
            open(os.path.join(folder, "err"), "wb") as err:
        return subprocess.Popen([WINE, LINKSPY_EXE, *args], cwd=folder, env=env, stdin=stdin,
                                stdout=out, stderr=err)
