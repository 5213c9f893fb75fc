"""What the packaging tests share: the interpreters to build for, venvs, and the builds."""
import functools
import glob
import os
import re
import shutil
import subprocess

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
DIST_PACKAGES = "/usr/lib/python3/dist-packages"
# Where python3-setuptools-whl and python3-wheel-whl put their wheel files: the only index of an
# isolated build.
DEBIAN_WHEELS = "/usr/share/python-wheels"
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


def primary():
    """The oldest supported interpreter: the reference version, and the one sdist tests use."""
    return next(iter(supported()))


def stubtest_minor():
    """The supported version stubtest runs under. Debian's mypy is compiled for Debian's own
    python3 and interpreted (about ten times slower) under any other, so that one if it can."""
    debian = version_of("/usr/bin/python3")
    minor = debian.rsplit(".", 1)[0] if debian else None
    return minor if minor in supported() else primary()


# --- running things -------------------------------------------------------------------------

def clean_env(**extra):
    """The environment of every command here: pip offline and deaf to the machine's own pip
    settings (config files, PIP_* variables), and nothing of this checkout on the path."""
    env = {key: value for key, value in os.environ.items()
           if not key.startswith(("PIP_", "PYTHON", "VIEW_"))}
    env.update(PIP_CONFIG_FILE=os.devnull, PIP_NO_INDEX="1", PIP_NO_CACHE_DIR="1",
               PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_NO_INPUT="1")
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
    """A fresh venv of `python` that reads Debian's packages (pip, setuptools, wheel, Flask,
    mypy) through a .pth file, as the project's .venv does. Returns its interpreter."""
    run([python, "-m", "venv", "--without-pip", path])
    venv_python = os.path.join(str(path), "bin", "python")
    if run([venv_python, "-c", "import pkgutil; pkgutil.ImpImporter"], check=False).returncode:
        # Debian's pip 23.0 predates Python 3.12: its pkg_resources needs pkgutil.ImpImporter.
        # Such an interpreter brings a pip of its own (installed before Debian's is visible,
        # or ensurepip would find that one and do nothing), and no setuptools to shadow Debian's.
        run([venv_python, "-m", "ensurepip"])
    purelib = python_value(venv_python, "sysconfig.get_paths()['purelib']")
    with open(os.path.join(purelib, "debian-dist-packages.pth"), "w") as pth:
        pth.write(DIST_PACKAGES + "\n")
    return venv_python


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

    def wheel(self, minor):
        def make():
            out = self.base / ("wheel-" + minor)
            run([self.venv(minor, "builder"), "-m", "pip", "wheel", "--no-build-isolation",
                 "--check-build-dependencies", "--no-deps", "-w", out, ROOT])
            return only(str(out / "*.whl"))
        return self._once(("wheel", minor), make)

    def sdist(self):
        def make():
            out = self.base / "sdist"
            # The PEP 517 hook that every front end calls to make an sdist.
            run([self.venv(primary(), "builder"), "-c", "import sys, setuptools.build_meta "
                 "as backend; backend.build_sdist(sys.argv[1])", out], cwd=ROOT)
            return only(str(out / "*.tar.gz"))
        return self._once("sdist", make)

    def installed_wheel(self, minor):
        """A fresh venv with the wheel installed (Flask from Debian through the .pth)."""
        def make():
            python = self.venv(minor, "wheel-install")
            run([python, "-m", "pip", "install", self.wheel(minor)])
            return python
        return self._once(("installed", minor), make)
