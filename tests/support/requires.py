"""Optional components: a test that needs one skips, saying what to install.

The convention of the whole suite: such a skip's reason starts with "needs ", names the component
and how to install it. scripts/test installs every component and sets VIEW_TEST_STRICT=1, under
which tests/conftest.py turns each of these skips into a failure: CI never skips them.
"""
import glob
import importlib.util
import os
import shutil

import pytest

# Where Debian keeps PostgreSQL's server programs (initdb, pg_ctl, postgres), one folder a release.
POSTGRES_BINARIES = "/usr/lib/postgresql/*/bin"
NEEDS = "needs "


def skip_reason(component, how):
    return "%s%s: %s" % (NEEDS, component, how)


def require_program(name, how):
    """The path of program `name` on PATH (or `name` itself when it is a path), or a skip."""
    found = shutil.which(name)
    if not found:
        pytest.skip(skip_reason(name, how))
    return found


def require_module(name, how):
    """Skips unless the Python module `name` can be imported here; returns nothing."""
    if importlib.util.find_spec(name) is None:
        pytest.skip(skip_reason("the Python module " + name, how))


def postgres_bin():
    """The newest folder of PostgreSQL's server programs, or None."""
    folders = [f for f in glob.glob(POSTGRES_BINARIES)
               if os.access(os.path.join(f, "initdb"), os.X_OK)]
    return max(folders, key=lambda f: int(f.split("/")[-2]), default=None)


def require_postgres():
    """The folder holding initdb, pg_ctl and postgres, or a skip."""
    folder = postgres_bin()
    if folder is None:
        pytest.skip(skip_reason("the PostgreSQL server (initdb, pg_ctl)",
                                "apt-get install postgresql"))
    return folder


def require_nginx():
    return require_program("nginx", "apt-get install nginx-light")


def require_chromium():
    """Paths of Chromium and its driver, or a skip."""
    return (require_program("chromium", "apt-get install chromium"),
            require_program("chromedriver", "apt-get install chromium-driver"))


def require_valgrind():
    return require_program("valgrind", "apt-get install valgrind")
