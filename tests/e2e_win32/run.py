"""Runs the Wine end-to-end suite: lays the run's Wine prefix first (from the cached one),
runs every test_*.py here, ends the prefix's wine server and closes with a count line. The
first and the last line say which linkspy.exe the runtime tests ran and why: the 32-bit
product under 32-bit Wine, or where the kernel cannot start that, the 64-bit test build under
wine64. Where no Wine runs at all, only the checks of the built files run."""

import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import wine  # noqa: E402


def main():
    if wine.CANNOT_RUN:
        says = "e2e_win32: linkspy.exe not run, only the built files checked: %s" % wine.CANNOT_RUN
    else:
        says = "e2e_win32: the runtime tests run %s" % wine.RUNS
    print(says, flush=True)
    missing = [p for p in (wine.LINKSPY_EXE, wine.RUN_EXE, wine.h.QZ7EMU, wine.WINE)
               if not os.path.exists(p)]
    if missing:
        print("e2e_win32: missing %s (make build win32, and win64-test where 32-bit Wine "
              "cannot start)" % ", ".join(missing))
        return 1
    wine.h.open_scratch("e2e_win32")
    wine.ensure_prefix()
    try:
        suite = unittest.defaultTestLoader.discover(HERE, pattern="test_*.py", top_level_dir=HERE)
        result = wine.h.runner().run(suite)
    finally:
        wine.stop_server()
    failed = len(result.failures) + len(result.errors) + len(result.unexpectedSuccesses)
    skipped = len(result.skipped)
    passed = result.testsRun - failed - skipped - len(result.expectedFailures)
    print("win32: %d passed, %d failed, %d skipped; %s" % (passed, failed, skipped,
                                                          says[len("e2e_win32: "):]))
    return 0 if failed == 0 and result.testsRun > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
