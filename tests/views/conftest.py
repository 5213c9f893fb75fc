import os
import types

import flask
import pytest

from .helpers import load


@pytest.fixture(params=["native", "twin"])
def mod(request):
    """View.file, native or its twin."""
    return load(request.param, "file")


@pytest.fixture(params=["native", "twin"])
def sched(request):
    """View.scheduler, native or its twin."""
    return load(request.param, "scheduler")


@pytest.fixture
def work(tmp_path, monkeypatch, mod):
    """A fresh working directory; the module's import-time folders point into it."""
    cwd = tmp_path / "cwd"
    cwd.mkdir()
    monkeypatch.chdir(cwd)
    paths = types.SimpleNamespace(root=str(tmp_path), cwd=str(cwd))
    for attr, global_name, folder in (("plugin", "PLUGIN_FOLDER", "plugin"),
                                      ("temp", "TEMP_FOLDER", "temp"),
                                      ("uploads", "UNZIP_FOLDER", "uploads")):
        setattr(paths, attr, os.path.join(str(cwd), folder))
        monkeypatch.setattr(mod, global_name, getattr(paths, attr))
    return paths


@pytest.fixture
def app(tmp_path):
    templates = tmp_path / "templates"
    templates.mkdir()
    (templates / "upload.html").write_text(
        "P:{{ plugin_list|join(',') }}|T:{{ temp_list|join(',') if temp_list is defined else '-' }}")
    app = flask.Flask("views_under_test", template_folder=str(templates))
    admin = flask.Blueprint("admin", "admin")
    admin.register_blueprint(flask.Blueprint("child", "child"))
    app.register_blueprint(admin)
    app.register_blueprint(flask.Blueprint("files", "files"))
    return app
