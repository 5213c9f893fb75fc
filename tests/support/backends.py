"""The store's two backends for the tests that attack it: `backend` runs a test once on the
embedded store (SQLite in the data folder) and once as a node of the shared mode (on the
throw-away PostgreSQL server of support.postgres). backend.client(**settings) gives the
signed-in test client and the data folder, as conftest's `client` does; backend.restart(c, data)
a new application on the same data folder (a server's next start)."""
import pytest

from support.postgres import database_url, postgres_server  # noqa: F401 (fixtures)
from webapp_support import OPERATOR, TOKEN, app_settings

BACKENDS = ["embedded", "shared"]


class Backend(object):
    def __init__(self, name, tmp_path, url):
        self.name, self.tmp_path, self.url = name, tmp_path, url
        self.apps = []

    @property
    def shared(self):
        return self.url is not None

    def app(self, data, **settings):
        from view_plugin_manager import create_app

        if self.shared:
            settings.setdefault("VIEW_DATABASE", self.url)
            settings.setdefault("VIEW_NODE", "node-%d" % len(self.apps))
        app = create_app(app_settings(VIEW_DATA=str(data), VIEW_TOKEN=TOKEN, **settings))
        app.testing = True
        self.apps.append(app)
        return app

    def client(self, **settings):
        data = self.tmp_path / "data"
        c = self.app(data, **settings).test_client()
        c.environ_base["HTTP_AUTHORIZATION"] = OPERATOR["Authorization"]
        return c, data

    def restart(self, c, data):
        c2 = self.app(data).test_client()
        c2.environ_base.update(c.environ_base)
        return c2

    def close(self):
        from view_plugin_manager.settings import shared

        states = [shared(app) for app in self.apps]
        for state in states:
            if state.controller is not None:
                state.controller.stop()
        for state in states:
            if state.database is not None:
                state.database.close()


@pytest.fixture(params=BACKENDS)
def backend(request, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # the app changes the working directory; put it back after
    url = request.getfixturevalue("database_url") if request.param == "shared" else None
    made = Backend(request.param, tmp_path, url)
    yield made
    made.close()


@pytest.fixture(params=BACKENDS)
def server_backend(request):
    """For tests on live servers: the environment that makes a server a node of the shared
    mode (a database of its own for the test), or nothing for the embedded store."""
    if request.param == "embedded":
        return {}
    return {"VIEW_DATABASE": request.getfixturevalue("database_url"), "VIEW_NODE": "live"}
