import importlib
import os

import flask
import pytest


@pytest.fixture(scope="session")
def file_mod():
    return importlib.import_module("View.file")


@pytest.fixture(scope="session")
def sched_mod():
    return importlib.import_module("View.scheduler")


@pytest.fixture(scope="session")
def app():
    return flask.Flask("reliability")


@pytest.fixture
def store(tmp_path, monkeypatch, file_mod):
    """A server folder with the three store folders, as the working directory.

    The folder globals were fixed at import from another working directory, so
    they are pointed at this one; get_path follows the working directory itself.
    """
    server = tmp_path / "srv"
    for name in ("plugin", "temp", "uploads"):
        (server / name).mkdir(parents=True)
    monkeypatch.chdir(server)
    monkeypatch.setattr(file_mod, "PLUGIN_FOLDER", str(server / "plugin"))
    monkeypatch.setattr(file_mod, "TEMP_FOLDER", str(server / "temp"))
    monkeypatch.setattr(file_mod, "UNZIP_FOLDER", str(server / "uploads"))
    return server


@pytest.fixture
def store_folders(store):
    return [os.path.join(str(store), name) for name in ("plugin", "temp", "uploads")]
