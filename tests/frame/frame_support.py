"""Helpers shared by the frame tests: the build location, traceback walking,
and running snippets in a fresh interpreter (the module state is
process-wide, so lifecycle behaviour can only be observed in a new process)."""
import glob
import json
import os
import subprocess
import sys
import sysconfig
import textwrap

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("VIEW_BUILD_DIR", os.path.join(ROOT, "build"))
# Snippets run under the interpreter that runs the tests: the build under test is for it.
PYTHON = sys.executable
# Where this venv's pure-Python packages (Flask and what it needs) are, for snippets run by
# another interpreter that has none of its own.
PURELIB = sysconfig.get_paths()["purelib"]


def built_module(name):
    """Path of the built shared object of View.<name>, or None."""
    found = glob.glob(os.path.join(BUILD, "View", name + ".*.so"))
    return found[0] if found else None


BUILT = bool(built_module("file") and built_module("scheduler"))
needs_build = pytest.mark.skipif(not BUILT, reason="modules not built yet")

# Run inside every snippet: `entries(exc)` lists (name, file, line) of each
# traceback entry, `out(...)` hands a JSON result back to the test.
PRELUDE = '''
import json, sys
if sys.path and sys.path[0] == "":
    del sys.path[0]  # the source tree's View package must not shadow the build
def entries(exc):
    tb, res = exc.__traceback__, []
    while tb is not None:
        code = tb.tb_frame.f_code
        res.append([code.co_name, code.co_filename, tb.tb_lineno])
        tb = tb.tb_next
    return res
def out(**kw):
    print("RESULT " + json.dumps(kw), flush=True)
'''


class Run:
    def __init__(self, proc):
        self.proc = proc
        self.rc = proc.returncode
        self.stdout = proc.stdout
        self.stderr = proc.stderr
        results = [line[7:] for line in proc.stdout.splitlines() if line.startswith("RESULT ")]
        self.results = [json.loads(r) for r in results]

    @property
    def result(self):
        assert self.results, "no result; rc=%s\nstdout:\n%s\nstderr:\n%s" % (
            self.rc, self.stdout, self.stderr)
        return self.results[-1]


def run_snippet(code, cwd=None, path=(), python=PYTHON, options=()):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(list(path) + [BUILD])
    env.pop("PYTHONWARNINGS", None)
    source = PRELUDE + textwrap.dedent(code)
    proc = subprocess.run([python] + list(options) + ["-c", source], cwd=cwd, env=env,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          universal_newlines=True, timeout=180)
    return Run(proc)


def tb_entries(exc, skip_file=None):
    """(name, file, line) of each traceback entry, without the frames of `skip_file`."""
    res, tb = [], exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename != skip_file:
            res.append((code.co_name, code.co_filename, tb.tb_lineno))
        tb = tb.tb_next
    return res


