"""Helpers shared by the frame tests: running snippets in a fresh interpreter (the module state
is process-wide, so lifecycle behaviour can only be observed in a new process)."""
import inspect
import json
import os
import subprocess
import textwrap

import pytest
from support.paths import BUILD, PYTHON, built
from support.tracebacks import entries

needs_build = pytest.mark.skipif(not (built("file") and built("scheduler")),
                                 reason="modules not built yet")

# Run inside every snippet: `entries(exc)` lists (name, file, line) of each
# traceback entry, `out(...)` hands a JSON result back to the test.
PRELUDE = '''
import json, sys
if sys.path and sys.path[0] == "":
    del sys.path[0]  # the source tree's View package must not shadow the build
''' + inspect.getsource(entries) + '''
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

