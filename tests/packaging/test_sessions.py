"""The test command's sessions (noxfile.py): one pass of the modules' tests for every supported
CPython, the manager's tests at both ends only, and a selection of the modules' tests that stands
on the modules alone, so that the oldest Flask they admit can run it."""
import json
import os
import subprocess
import sys

import pytest

from package_support import requires_python, run
from support.paths import ROOT

NOX = os.path.join(os.path.dirname(sys.executable), "nox")


def sessions():
    listed = run([NOX, "--list", "--json", "-f", os.path.join(ROOT, "noxfile.py")], cwd=ROOT)
    return {entry["session"]: entry for entry in json.loads(listed.stdout)}


def test_a_pass_of_the_modules_for_every_supported_version_and_the_manager_at_its_ends():
    admitted = ["3.%d" % m for m in range(40) if requires_python().contains("3.%d.0" % m)]
    names = sessions()
    assert {"modules-" + v for v in admitted} == {n for n in names if n.startswith("modules-")}
    managers = sorted((n for n in names if n.startswith("manager-")),
                      key=lambda n: int(n.split(".")[-1]))
    assert managers[0] == "manager-" + admitted[0] and len(managers) <= 2, managers
    assert {"oldest-flask-" + admitted[0], "sanitizer-" + admitted[0], "packaging",
            "lint"} <= set(names)
    # Every session with the manager's live-server tests is in one lane: no two at once.
    assert all(names[n]["tags"] == ["lane1"] for n in managers)


# Loaded into a collection of the modules' tests: fails it if any of them brought in the manager
# (whose Flask floor is above the modules'), or holds to wall-clock bounds (their sessions run in
# the lane beside the timed ones).
PROBE = '''
import sys

import pytest

def pytest_collection_finish(session):
    assert session.items, "nothing collected"
    loaded = sorted(m for m in sys.modules if m.split(".")[0] == "view_plugin_manager")
    assert not loaded, "the modules' tests import the manager: %s" % loaded
    timed = [item.nodeid for item in session.items if item.get_closest_marker("timed")]
    assert not timed, "timed tests among the modules' tests: %s" % timed[:5]
'''


def test_the_modules_tests_stand_without_the_manager_and_hold_no_timed_test(tmp_path):
    (tmp_path / "manager_probe.py").write_text(PROBE)
    folders = subprocess.run(
        [sys.executable, "-c", "import runpy; print(' '.join(runpy.run_path('noxfile.py')"
         "['MODULE_TESTS']))"], cwd=ROOT, capture_output=True, text=True, check=True).stdout.split()
    assert "tests/app" not in folders and "tests/views" in folders
    env = dict(os.environ, PYTHONPATH=str(tmp_path))
    env.setdefault("VIEW_BUILD_DIR", os.path.join(ROOT, "build"))
    collected = subprocess.run(
        [sys.executable, "-m", "pytest", "--collect-only", "-q", "-p", "manager_probe",
         "-p", "no:cacheprovider", *folders], cwd=ROOT, env=env, capture_output=True, text=True,
        timeout=300)
    assert collected.returncode == 0, collected.stdout[-3000:] + collected.stderr[-3000:]


# A test file run with the suite's conftest.py as a plugin: one component missing, one present.
OPTIONAL = '''
from support.requires import require_module, require_program

def test_missing():
    require_program("view-no-such-program", "apt-get install view-no-such-program")

def test_missing_module():
    require_module("view_no_such_module", "pip install view-no-such-module")

def test_present():
    require_program("sh", "apt-get install dash")
'''


@pytest.mark.parametrize("strict", ["0", "1"])
def test_a_missing_component_skips_with_how_to_install_it_and_fails_when_strict(tmp_path, strict):
    (tmp_path / "test_optional.py").write_text(OPTIONAL)
    report = tmp_path / "report.json"
    env = dict(os.environ, PYTHONPATH=os.path.join(ROOT, "tests"), VIEW_TEST_STRICT=strict,
               VIEW_TEST_REPORT=str(report))
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-rs", "-p", "conftest", "-p", "no:cacheprovider",
         "--rootdir", str(tmp_path), "-c", os.devnull, str(tmp_path)],
        cwd=str(tmp_path), env=env, capture_output=True, text=True, timeout=120)
    counts = json.loads(report.read_text())
    if strict == "1":
        assert result.returncode == 1, result.stdout
        assert (counts["passed"], counts["failed"], counts["skipped"]) == (1, 2, 0)
        assert "needs view-no-such-program: apt-get install" in result.stdout
    else:
        assert result.returncode == 0, result.stdout
        assert (counts["passed"], counts["failed"], counts["skipped"]) == (1, 0, 2)
        assert counts["skip_reasons"] == {
            "needs view-no-such-program: apt-get install view-no-such-program": 1,
            "needs the Python module view_no_such_module: pip install view-no-such-module": 1}
