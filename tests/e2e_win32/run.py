"""Runs the Wine end-to-end suite: lays the run's Wine prefix first (from the cached one),
runs every test_*.py here, ends the prefix's wine server and closes with a count line. Where
the machine cannot run 32-bit Wine, the tests of the built files still run and those that
start linkspy.exe are skipped, with the reason said first."""

import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import wine  # noqa: E402


def main():
    missing = [p for p in (wine.LINKSPY_EXE, wine.h.QZ7EMU, wine.WINE) if not os.path.exists(p)]
    if missing:
        print("e2e_win32: missing %s (make build win32 first)" % ", ".join(missing))
        return 1
    if wine.CANNOT_RUN:
        print("e2e_win32: %s; only the tests of the built files run" % wine.CANNOT_RUN)
    wine.ensure_prefix()
    try:
        suite = unittest.defaultTestLoader.discover(HERE, pattern="test_*.py", top_level_dir=HERE)
        result = unittest.TextTestRunner(verbosity=2).run(suite)
    finally:
        wine.stop_server()
    failed = len(result.failures) + len(result.errors) + len(result.unexpectedSuccesses)
    skipped = len(result.skipped)
    passed = result.testsRun - failed - skipped - len(result.expectedFailures)
    if wine.CANNOT_RUN:
        print("e2e_win32: linkspy.exe was not run: %s" % wine.CANNOT_RUN)
    print("win32: %d passed, %d failed, %d skipped" % (passed, failed, skipped))
    return 0 if failed == 0 and result.testsRun > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
