"""Runs the end-to-end suite: every test_*.py here, in one Wine session on one display
(scripts/e2e sets them up). Exits 0 when every case passed."""

import os
import shutil
import signal
import sys
import unittest

import harness


def stop_on_signal(number, _frame):
    # Leaves through the finally below, which ends every process the run started.
    raise SystemExit(128 + number)


def main():
    signal.signal(signal.SIGTERM, stop_on_signal)
    signal.signal(signal.SIGINT, stop_on_signal)
    # The working folders of the last run stay until the next one, to be looked at.
    shutil.rmtree(harness.WORK, ignore_errors=True)
    os.makedirs(harness.WORK)
    here = os.path.dirname(os.path.abspath(__file__))
    names = sys.argv[1:]
    loader = unittest.TestLoader()
    suite = (loader.loadTestsFromNames(names) if names
             else loader.discover(here, pattern="test_*.py", top_level_dir=here))
    try:
        result = unittest.TextTestRunner(verbosity=2).run(suite)
    finally:
        harness.end_all()
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
