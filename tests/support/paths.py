"""Where the suites find the source tree, the build under test and the interpreter they run on."""
import glob
import os
import sys
import sysconfig

TESTS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROOT = os.path.dirname(TESTS)
# The manager's sources: its package view_plugin_manager is imported from here in a checkout.
MANAGER = os.path.join(ROOT, "manager")
# Absolute, so that tests that change the working directory still find it.
BUILD = os.path.abspath(os.environ.get("VIEW_BUILD_DIR", os.path.join(ROOT, "build")))
# Programs the suites start run under the interpreter that runs the tests: the build is for it.
PYTHON = sys.executable
# Where this interpreter's pure-Python packages (Flask and what it needs) are, for programs run
# by another interpreter that has none of its own.
PURELIB = sysconfig.get_paths()["purelib"]


def built(name):
    """Path of the built shared object of View.<name> in BUILD, or None."""
    found = glob.glob(os.path.join(BUILD, "View", name + ".*so"))
    return found[0] if found else None
