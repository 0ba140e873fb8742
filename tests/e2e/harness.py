"""The base of the end-to-end tests: the scratch folder under which every temporary thing of
a test lives, the runner that gives each test its own part of it, the tests against a fresh
emulator, and the log's files as a test reads them back. The programs the tests run come from
processes.py; the scripts take them from here as well."""

import atexit
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

import processes
from processes import (  # noqa: F401 (the scripts take them from here)
    ACCESS, BUILD, CTRL, FAKE_CAPI, LINKSPY, QZ7EMU, Emulator, Headless, Tmux,
    cpu_share, ends_with_test, linkspy_env, outlasts_test, program_in_folder,
    program_name, run_folder, run_headless, sanitized_build, shell_quote, wait_until)


def needs(*paths):
    """Skips a test class when a built program it needs is missing."""
    missing = [p for p in paths if not os.path.exists(p)]
    return unittest.skipIf(missing, "not built: %s" % ", ".join(missing))


# The scratch folder of a test script: while its tests run, tempfile and TMPDIR (so the
# programs it starts too) point into it, at a subfolder of its own for each test. A passing
# test's subfolder goes when the test ends; a failing one's stays, and its failure message
# names it. What a test started (processes.py's endings, mounts in its folder) ends with the
# test; the scratch folder itself goes at exit unless something failed.
_scratch = {"root": None, "failed": False}


def _unmount_below(folder):
    """Detaches every file system mounted in folder, deepest first, so that nothing stays
    mounted and no removal reaches into a mount."""
    below = os.path.realpath(folder) + "/"
    with open("/proc/self/mounts") as f:
        points = [line.split()[1].encode().decode("unicode_escape") for line in f]
    for point in sorted((p for p in points if p.startswith(below)), key=len, reverse=True):
        subprocess.run(["umount", "-l", point], capture_output=True, check=False)


def _use_tempdir(folder):
    tempfile.tempdir = folder
    os.environ["TMPDIR"] = folder


def keep_scratch():
    """Keeps the scratch folder at exit and names it: for a run that failed outside a test."""
    _scratch["failed"] = True


def _close_scratch():
    """At exit: ends what is still running and removes the scratch folder, or names it when a
    test failed or the script died of an error (Ctrl-C is no error)."""
    processes.end_since(0)
    root = _scratch["root"]
    _unmount_below(root)
    died = getattr(sys, "last_type", KeyboardInterrupt)
    if _scratch["failed"] or not issubclass(died, KeyboardInterrupt):
        print("harness: something failed; the files are kept in %s" % root, file=sys.stderr)
    else:
        shutil.rmtree(root, ignore_errors=True)


def open_scratch(label):
    """Makes the script's scratch folder (linkspy-LABEL-* in the usual temporary folder) and
    has it cleaned up at exit, also after SIGTERM or SIGHUP, which end the run like Ctrl-C."""
    _scratch["root"] = tempfile.mkdtemp(prefix="linkspy-%s-" % label)
    _use_tempdir(_scratch["root"])
    atexit.register(_close_scratch)
    for number in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, signal.default_int_handler)


class ScratchResult(unittest.TextTestResult):
    """Runs each test in its own subfolder of the scratch folder and names that folder in the
    test's failures (the scratch folder itself in failures outside a test)."""

    folder = None

    def startTest(self, test):
        name = getattr(test, "_testMethodName", "test")[:28]
        self.folder = tempfile.mkdtemp(prefix=name + "-", dir=_scratch["root"])
        self.failed_before = len(self.failures) + len(self.errors)
        processes.begin_test_endings()
        _use_tempdir(self.folder)
        super().startTest(test)

    def stopTest(self, test):
        super().stopTest(test)
        processes.end_test_endings()
        _use_tempdir(_scratch["root"])
        _unmount_below(self.folder)
        if len(self.failures) + len(self.errors) == self.failed_before:
            shutil.rmtree(self.folder, ignore_errors=True)
        self.folder = None

    def _naming_folder(self, add, *args):
        """Calls add and ends each failure it recorded with the folder to look into."""
        before = len(self.failures), len(self.errors)
        add(*args)
        for listing, count in zip((self.failures, self.errors), before):
            for i in range(count, len(listing)):
                _scratch["failed"] = True
                test, text = listing[i]
                listing[i] = (test, text + "Its files are kept in %s\n" % (
                    self.folder or _scratch["root"]))

    def addError(self, test, err):
        self._naming_folder(super().addError, test, err)

    def addFailure(self, test, err):
        self._naming_folder(super().addFailure, test, err)

    def addSubTest(self, test, subtest, err):
        self._naming_folder(super().addSubTest, test, subtest, err)


def runner():
    """The test runner that runs tests with the scratch folder."""
    return unittest.TextTestRunner(resultclass=ScratchResult, verbosity=2)


def main(label=None):
    """Runs the calling script's tests (as unittest.main) with a scratch folder named after
    the script."""
    open_scratch(label or os.path.splitext(os.path.basename(sys.argv[0]))[0])
    unittest.main(testRunner=runner())


class EmulatorCase(unittest.TestCase):
    """A test against a fresh qz7emu (started with emulator_args) and a working folder whose
    libcapi20 configuration points at it."""

    emulator_args = ()

    def setUp(self):
        self.emulator = Emulator(*self.emulator_args)
        self.folder = run_folder(self.emulator.port)

    def tearDown(self):
        self.emulator.stop()


def start_scripted(test, *script, args=("-2",), emulator_args=("--rate", "0")):
    """qz7emu running the script's actions and linkspy headless against it, both cleaned up
    after the test; sets test.emulator, test.folder and test.run_ and returns the run."""
    actions = []
    for action in script:
        actions += ["--do", action]
    test.emulator = Emulator(*emulator_args, *actions)
    test.addCleanup(test.emulator.stop)
    test.folder = run_folder(test.emulator.port)
    test.run_ = Headless(test.folder, list(args))
    test.addCleanup(test.run_.kill)
    return test.run_


def read_log(folder, name="LINKSPY.LOG"):
    try:
        with open(os.path.join(folder, name), "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def log_generations(folder):
    """The log's files in a folder, oldest first: the numbered backups from the highest, the
    backup, the log."""
    names = []
    slot = 1
    while os.path.exists(os.path.join(folder, "LINKSPY.BAK.%d" % slot)):
        names.insert(0, "LINKSPY.BAK.%d" % slot)
        slot += 1
    return [n for n in names + ["LINKSPY.BAK", "LINKSPY.LOG"]
            if os.path.exists(os.path.join(folder, n))]


class LogKeeper:
    """Keeps every file that has been LINKSPY.LOG in a folder: the log rotates above 500 kB and
    the backup goes at the next rotation, so each new file is opened for reading as soon as it
    shows up under either name, and its descriptor keeps it after it is gone. (Not a hard link:
    linkspy refuses a log with a second name.) Call keep() often (every few ms while a flood
    runs)."""

    def __init__(self, folder):
        self.folder = folder
        self.kept = []
        self.seen = set()

    def _keep(self, name):
        try:
            kept = open(os.path.join(self.folder, name), "rb")
        except FileNotFoundError:
            return
        inode = os.fstat(kept.fileno()).st_ino
        if inode in self.seen:
            kept.close()
        else:
            self.seen.add(inode)
            self.kept.append(kept)

    def keep(self):
        # The backup first: it is the older of the two.
        self._keep("LINKSPY.BAK")
        self._keep("LINKSPY.LOG")

    def files(self):
        """The kept files' contents, oldest first."""
        self.keep()
        contents = []
        for kept in self.kept:
            kept.seek(0)
            contents.append(kept.read())
        return contents
