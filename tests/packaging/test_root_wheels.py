"""Wheels for the supported interpreters that only the Debian testing root has (scripts/root.sh):
inside the root, pip builds each one with the build backend that pyproject.toml names, the wheel
is checked here, installed into a fresh venv there and smoke-tested with the README's host
example; stubtest runs against the newest. Where the root cannot be had, these tests skip with
"NOT TESTED" and the reason."""
import json
import os
import re
import zipfile

import pytest

from package_support import interpreters, requires_python, run
from support.paths import ROOT
from test_package import readme_host

TEST_ROOT = os.path.join(ROOT, "scripts", "test-root")
NOT_TESTED = 3  # scripts/test-root's exit status when the root cannot be had


def root_minors():
    """The minors requires-python admits that no interpreter on this machine provides."""
    spec = requires_python()
    return ["3.%d" % m for m in range(30) if spec.contains("3.%d.0" % m)
            and "3.%d" % m not in interpreters()]


def root_env(work):
    """What scripts/test-root needs from here: the work folder, and the root's place if chosen."""
    env = {"VIEW_ROOT_WORK": str(work)}
    if os.environ.get("VIEW_TEST_ROOT"):
        env["VIEW_TEST_ROOT"] = os.environ["VIEW_TEST_ROOT"]
    return env


class Root:
    """A work folder bound at /view inside the root, with a clean copy of the tree in src/."""

    def __init__(self, work):
        self.work = work

    def run(self, *args, cwd="/", check=True):
        return run([TEST_ROOT, "run", cwd, *args], check=check, **root_env(self.work))

    def host(self, inside):
        """The host's path of a path inside the root under /view."""
        return os.path.join(str(self.work), os.path.relpath(inside, "/view"))


@pytest.fixture(scope="module")
def root(tmp_path_factory):
    work = tmp_path_factory.mktemp("root-work")
    # The first use may make the root (a few minutes) or wait for another run that makes it.
    result = run([TEST_ROOT, "exec", "true"], timeout=1800, check=False, **root_env(work))
    if result.returncode == NOT_TESTED:
        pytest.skip(result.stdout.strip() or "NOT TESTED: the root cannot be had")
    assert result.returncode == 0, result.stdout + result.stderr
    readme_host(str(work / "host"))
    return Root(work)


@pytest.fixture(scope="module")
def installed(root):
    """{"3.X": (wheel on the host, venv python inside, facts)}, each made once."""
    made = {}

    def make(version):
        if version not in made:
            python = "python" + version
            facts = json.loads(root.run(python, "-c", "import json, sys, sysconfig; print(json."
                                        "dumps({'tag': 'cp%d%d-cp%d%d-' % (sys.version_info[:2] "
                                        "* 2) + sysconfig.get_platform().replace('-', '_')."
                                        "replace('.', '_'), 'suffix': sysconfig.get_config_var"
                                        "('EXT_SUFFIX')}))").stdout)
            out = "/view/wheel-" + version
            # Isolated, as a user's pip does: the backend comes from the package index.
            root.run(python, "-m", "pip", "wheel", "--no-deps", "-w", out, "/view/src")
            wheels = os.listdir(root.host(out))
            assert len(wheels) == 1, wheels
            venv = "/view/venv-" + version
            root.run(python, "-m", "venv", venv)
            root.run(venv + "/bin/python", "-m", "pip", "install", "-q", out + "/" + wheels[0])
            made[version] = (os.path.join(root.host(out), wheels[0]), venv + "/bin/python", facts)
        return made[version]
    return make


def versions():
    return root_minors() or [None]


@pytest.fixture(params=versions())
def version(request):
    if request.param is None:
        pytest.skip("every supported version is on this machine: the root is not needed")
    return request.param


def test_root_wheel_has_the_interpreters_tag_and_only_the_package(installed, version):
    wheel, _, facts = installed(version)
    assert re.fullmatch(r"view_modules-[\d.]+-%s\.whl" % re.escape(facts["tag"]),
                        os.path.basename(wheel)), wheel
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        dist_info = next(n.split("/")[0] for n in names if n.endswith(".dist-info/WHEEL"))
        wheel_file = archive.read(dist_info + "/WHEEL").decode()
        built = [archive.read(n) for n in names if n.endswith(facts["suffix"])]
    assert "Tag: %s\n" % facts["tag"] in wheel_file and "Root-Is-Purelib: false" in wheel_file
    package = ["View/__init__.py", "View/py.typed", "View/file.pyi", "View/scheduler.pyi",
               "View/member_rules.def",
               "View/file" + facts["suffix"], "View/scheduler" + facts["suffix"]]
    # Exactly these besides the metadata: no manager, C++ sources, objects, CMake files or
    # bytecode.
    assert sorted(n for n in names if not n.startswith(dist_info + "/")) == sorted(package)
    assert {"METADATA", "WHEEL", "RECORD"} <= \
        {n.split("/", 1)[1] for n in names if n.startswith(dist_info + "/")}
    # Nor the path of the copy it was built from.
    assert len(built) == 2 and not [data for data in built if b"/view/src" in data]


def test_root_wheel_installs_and_serves_from_a_neutral_directory(root, installed, version):
    _, python, _ = installed(version)
    prefix = root.run(python, "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])"
                      ).stdout.strip()
    work = "/view/smoke-" + version
    os.makedirs(root.host(work), exist_ok=True)
    out = root.run(python, "/view/src/tests/packaging/smoke.py", "/view/host", work, prefix).stdout
    assert out.rstrip().endswith("smoke ok"), out


def test_root_stubs_match_the_newest_build(root, installed):
    minors = root_minors()
    if not minors:
        pytest.skip("every supported version is on this machine: the root is not needed")
    _, python, _ = installed(minors[-1])
    root.run(python, "-m", "pip", "install", "-q", "mypy")
    with open(root.host("/view/stubtest.ini"), "w") as config:
        config.write("[mypy]\n[mypy-flask,flask.*]\nfollow_imports = skip\n")
    result = root.run(python, "-m", "mypy.stubtest", "--mypy-config-file", "/view/stubtest.ini",
                      "View.file", "View.scheduler", check=False)
    assert result.returncode == 0 and "Success" in result.stdout, result.stdout + result.stderr
