import os
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request

import pytest
from webapp_support import BUILD, OPERATOR, ROOT, TOKEN


def make_client(tmp_path, monkeypatch):
    from app import create_app

    monkeypatch.chdir(tmp_path)  # the app changes the working directory; put it back after
    data = tmp_path / "data"
    app = create_app(str(data))
    app.testing = True
    return app.test_client(), data


@pytest.fixture
def client(tmp_path, monkeypatch):
    return make_client(tmp_path, monkeypatch)


@pytest.fixture
def operator_client(tmp_path, monkeypatch):
    """Like `client`, with the operator's credential set and sent on every request; limits
    set with monkeypatch.setenv before it is first used."""

    def make():
        monkeypatch.setenv("VIEW_TOKEN", TOKEN)
        c, data = make_client(tmp_path, monkeypatch)
        c.environ_base["HTTP_AUTHORIZATION"] = OPERATOR["Authorization"]
        return c, data

    return make


@pytest.fixture
def start_server(tmp_path):
    """Starts `python -m app` on a free loopback port, set by flags or by environment."""
    procs = []

    def start(data, use_env=False, args=(), env=()):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        env = dict(os.environ, PYTHONPATH=ROOT, VIEW_BUILD_DIR=BUILD, **dict(env))
        args = [sys.executable, "-m", "app"] + list(args)
        if use_env:
            env.update(VIEW_HOST="127.0.0.1", VIEW_PORT=str(port), VIEW_DATA=str(data))
        else:
            args += ["--host", "127.0.0.1", "--port", str(port), "--data", str(data)]
        log = tmp_path / ("server-%d.log" % port)
        with open(log, "w") as out:
            procs.append(subprocess.Popen(args, cwd=str(tmp_path), env=env, stdout=out,
                                          stderr=subprocess.STDOUT))
        base, deadline = "http://127.0.0.1:%d" % port, time.monotonic() + 30
        while procs[-1].poll() is None and time.monotonic() < deadline:
            try:
                urllib.request.urlopen(base + "/plugins/plugin", timeout=2).read()
                return base
            except urllib.error.HTTPError:
                return base  # it answers, if only to say who may see the page
            except OSError:
                time.sleep(0.2)
        pytest.fail("server on %s did not answer:\n%s" % (base, log.read_text()))

    yield start
    for proc in procs:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
