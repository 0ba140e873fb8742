"""linkspy.exe under Wine for the end-to-end tests: a private Wine prefix, made once, the
command that runs the program in a tmux pane or through pipes, and the end of the prefix's
wine server. The rest (emulator, run folders, tmux) is the Linux suite's harness."""

import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness as h  # noqa: E402,F401

SOURCE = os.environ.get("LINKSPY_SOURCE",
                        os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
WIN32_BUILD = os.environ.get("LINKSPY_WIN32_BUILD", os.path.join(SOURCE, "build-win32"))
LINKSPY_EXE = os.path.join(WIN32_BUILD, "linkspy.exe")
WINE = os.environ.get("LINKSPY_WINE", "/usr/lib/wine/wine64")
WINESERVER = os.path.join(os.path.dirname(WINE), "wineserver")
PREFIX = os.path.join(WIN32_BUILD, "wineprefix")

# No debug lines, no installer prompts for .NET and HTML, and a UTF-8 terminal, so that the
# console's code page 437 characters reach the pane as themselves.
WINE_ENV = {"WINEPREFIX": PREFIX, "WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml=",
            "LANG": "C.UTF-8"}

# The first start of Wine in a new prefix builds it; that takes a while on a busy machine.
PREFIX_TIMEOUT = 600


def wine_env(base=None, **extra):
    env = dict(base if base is not None else os.environ)
    env.update(WINE_ENV)
    env.update(extra)
    return env


def ensure_prefix():
    """Makes the Wine prefix once and waits until its server has settled."""
    if os.path.exists(os.path.join(PREFIX, "system.reg")):
        return
    os.makedirs(PREFIX, exist_ok=True)
    subprocess.run([WINE, "wineboot", "-i"], env=wine_env(), stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   timeout=PREFIX_TIMEOUT, check=True)
    subprocess.run([WINESERVER, "-w"], env=wine_env(), timeout=PREFIX_TIMEOUT, check=False)


def stop_server():
    """Ends the wine server of the private prefix (and with it any process left in it)."""
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
