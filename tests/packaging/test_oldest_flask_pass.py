"""scripts/test runs the suite with the oldest Flask that the project admits only on the test files
that flask_test_files (scripts/lib.sh) names. A test that takes Flask or Werkzeug into its hands
(through its module, a helper, or any fixture it uses, down to one that imports Flask inside its
body) but lies outside them would never meet that Flask: collection finds every such test here."""
import json
import os
import subprocess
import sys

from support.paths import ROOT

# Loaded into a collection run of the suite: writes {test file: whether it touches Flask}.
PROBE = r'''
import inspect, json, os

TOUCHING = {"flask", "werkzeug", "view_plugin_manager", "webapp_support"}


def _touches(func):
    # The function's own globals: every conftest.py is a module named "conftest", so its name
    # does not tell one from another.
    func = inspect.unwrap(func)
    names = set()
    for value in getattr(func, "__globals__", {}).values():
        name = value.__name__ if inspect.ismodule(value) else getattr(value, "__module__", None)
        if isinstance(name, str):
            names.add(name.split(".")[0])
    try:
        source = inspect.getsource(func)
    except (OSError, TypeError):
        source = ""
    return bool(names & TOUCHING) or "flask" in source or "werkzeug" in source


def pytest_collection_finish(session):
    files = {}
    for item in session.items:
        path = os.path.relpath(str(item.fspath), str(session.config.rootpath))
        uses = _touches(item.obj) or any(
            _touches(definition.func)
            for definitions in item._fixtureinfo.name2fixturedefs.values()
            for definition in definitions)
        files[path] = files.get(path, False) or uses
    with open(os.environ["FLASK_PROBE_OUT"], "w") as f:
        json.dump(files, f)
'''


def test_every_test_that_touches_flask_runs_with_the_oldest_flask(tmp_path):
    (tmp_path / "flask_probe.py").write_text(PROBE)
    out = tmp_path / "files.json"
    env = dict(os.environ, PYTHONPATH=str(tmp_path), FLASK_PROBE_OUT=str(out))
    env.setdefault("VIEW_BUILD_DIR", os.path.join(ROOT, "build"))
    collected = subprocess.run(
        [sys.executable, "-m", "pytest", "--collect-only", "-q", "-p", "flask_probe",
         "-p", "no:cacheprovider", "tests"],
        cwd=ROOT, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
        universal_newlines=True, timeout=300)
    assert collected.returncode == 0, collected.stdout[-3000:]
    files = json.loads(out.read_text())
    named = subprocess.run(
        ["bash", "-c", 'source "$1/scripts/lib.sh" && flask_test_files', "bash", ROOT],
        cwd="/", stdout=subprocess.PIPE, universal_newlines=True, check=True).stdout.split()
    touching = {path for path, uses in files.items() if uses}
    # The probe must see what is plainly Flask's, or the comparison below proves nothing.
    assert {"tests/app/test_webapp.py", "tests/views/test_views.py"} <= touching
    assert sorted(touching - set(named)) == []
    assert sorted(set(named) - set(files)) == [], "named files that hold no collected test"
