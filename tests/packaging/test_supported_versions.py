"""Every place that names the supported CPython versions names the same ones as requires-python:
CMake's version range, the classifiers, the test command's sessions (noxfile.py), the Debian root's
interpreters and the README's opening line."""
import os
import re

import pytest

from package_support import requires_python
from support.paths import ROOT


def read(name):
    with open(os.path.join(ROOT, name), encoding="utf-8") as f:
        return f.read()


def minors_between(first, last):
    return set(range(first, last + 1))


def cmake_range():
    text = read("CMakeLists.txt")
    low, high = re.search(r"find_package\(Python3 3\.(\d+)\.\.\.<3\.(\d+) ", text).groups()
    return minors_between(int(low), int(high) - 1)


def cmake_comment():
    text = read("CMakeLists.txt")
    return minors_between(*map(int, re.search(r"# Supported: CPython 3\.(\d+) to 3\.(\d+)\.",
                                              text).groups()))


def classifiers():
    try:
        import tomllib
    except ImportError:  # before 3.11
        import tomli as tomllib
    project = tomllib.loads(read("pyproject.toml"))["project"]
    return {int(m) for m in re.findall(r"^Programming Language :: Python :: 3\.(\d+)$",
                                       "\n".join(project["classifiers"]), re.M)}


def nox_versions():
    listed = re.search(r"^VERSIONS = \[(.*?)\]$", read("noxfile.py"), re.M).group(1)
    return {int(m) for m in re.findall(r'"3\.(\d+)"', listed)}


def readme_line():
    return minors_between(*map(int, re.search(r"\(CPython 3\.(\d+) to 3\.(\d+), one source\)",
                                              read("README.md")).groups()))


SOURCES = {"CMake's find_package range": cmake_range, "CMake's comment": cmake_comment,
           "the classifiers": classifiers, "noxfile.py's VERSIONS": nox_versions,
           "the README's opening line": readme_line}


@pytest.mark.parametrize("source", SOURCES)
def test_names_the_versions_that_requires_python_admits(source):
    admitted = {m for m in range(40) if requires_python().contains("3.%d.0" % m)}
    assert admitted, requires_python()
    assert SOURCES[source]() == admitted


def test_root_brings_only_supported_interpreters_with_headers_and_venv():
    packages = re.search(r"^VIEW_ROOT_PACKAGES=\((.*?)^\)", read("scripts/root.sh"),
                         re.M | re.S).group(1).split()
    dev = {int(m) for m in re.findall(r"^python3\.(\d+)-dev$", "\n".join(packages), re.M)}
    venv = {int(m) for m in re.findall(r"^python3\.(\d+)-venv$", "\n".join(packages), re.M)}
    assert dev and dev == venv and dev <= nox_versions(), packages
