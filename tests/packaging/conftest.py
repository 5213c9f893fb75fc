"""Builds the package the way a user does (pip wheel, an sdist, pip install into fresh venvs) for
every supported interpreter found on the machine.

These tests build and install for several interpreters, so they run once per machine, as a step
of their own in scripts/test, and are left out of the suite's other passes: they are collected
only when VIEW_PACKAGING_TESTS=1 or when this folder is named on the command line.
"""
import os

import pytest

from package_support import HERE, Builds, interpreters, requires_python, supported


def _requested(config):
    if os.environ.get("VIEW_PACKAGING_TESTS") == "1":
        return True
    for arg in config.args:
        path = os.path.abspath(arg.split("::")[0])
        if path == HERE or path.startswith(HERE + os.sep):
            return True
    return False


def pytest_ignore_collect(collection_path, config):
    if collection_path.name.startswith("test_") and not _requested(config):
        return True
    return None


def pytest_generate_tests(metafunc):
    if "minor" in metafunc.fixturenames:
        metafunc.parametrize("minor", list(supported()) or [None])


@pytest.fixture(scope="session")
def builds(tmp_path_factory):
    if not supported():
        pytest.fail("no interpreter found that requires-python %s admits (found: %s)" % (
            requires_python(), [version for version, _ in interpreters().values()]),
            pytrace=False)
    return Builds(tmp_path_factory.mktemp("packaging"))
