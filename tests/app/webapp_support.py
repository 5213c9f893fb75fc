"""Helpers shared by the application tests (a unique module name: conftest.py is not importable
by name once several test folders have one)."""
import json
import os
import sys
import urllib.error
import urllib.request
import uuid

import pytest
from support.paths import BUILD, MANAGER, built

# After the build folder (put first by tests/conftest.py), so that the source View/ never wins.
if MANAGER not in sys.path:
    sys.path.append(MANAGER)

# The operator's credential for tests that change the store: set as VIEW_TOKEN for the app, and
# sent as a bearer token, which needs no anti-forgery token.
TOKEN = "test-operator-token"


def app_settings(**given):
    """create_app()'s settings for an app under test: the build under test, then `given`."""
    return {"VIEW_BUILD_DIR": BUILD, **given}


def server_env(**given):
    """The environment for a `python -m view_plugin_manager` under test: this one without its operator
    credentials, the tree and the build under test, then `given`. The tree goes before any
    PYTHONPATH already set, not in its place: that may carry the admitted gunicorn."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("VIEW_TOKEN")}
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [MANAGER, env.get("PYTHONPATH")]))
    env.update(VIEW_BUILD_DIR=BUILD, **given)
    return env


OPERATOR = {"Authorization": "Bearer " + TOKEN}

native = pytest.mark.skipif(not built("file"),
                            reason="View.file is not built in %s (docs/testing.md)" % BUILD)
# Live-server tests whose point is how the server copes with its clients and its own death (time
# bounds, slow or hostile peers, TLS, kill -9). The native calls they make are the ones that the
# in-process and store tests make under the sanitizers as well, so the sanitizer pass, which
# slows each of them several-fold and widens their time bounds, leaves them to the other passes.
server_edge = pytest.mark.skipif(os.environ.get("VIEW_SANITIZER_PASS") == "1",
                                 reason="a server edge test: run by the passes without the "
                                 "sanitizers")


def request(base, path, data=None, headers=(), timeout=30):
    """(status, JSON body) of one request to a live server; error statuses are answers too."""
    req = urllib.request.Request(base + path, data=data, headers=dict(OPERATOR, **dict(headers)))
    try:
        with urllib.request.urlopen(req, timeout=timeout) as r:
            status, body = r.status, r.read()
    except urllib.error.HTTPError as e:
        with e:  # an error answer is a response too, and holds its socket until closed
            status, body = e.code, e.read()
    try:
        return status, json.loads(body)
    except ValueError:
        return status, body.decode("utf-8", "replace")


def post_upload(base, kind, name, payload, fields=()):
    boundary = uuid.uuid4().hex
    parts = [("type", kind)] + list(dict(fields).items())
    body = "".join("--{b}\r\nContent-Disposition: form-data; name=\"{k}\"\r\n\r\n{v}\r\n".format(
        b=boundary, k=k, v=v) for k, v in parts).encode()
    body += ("--{b}\r\nContent-Disposition: form-data; name=\"formFile\"; filename=\"{name}\"\r\n"
             "Content-Type: application/octet-stream\r\n\r\n").format(
                 b=boundary, name=name).encode() + payload + ("\r\n--%s--\r\n" % boundary).encode()
    return request(base, "/upload", body, {
        "Content-Type": "multipart/form-data; boundary=" + boundary})


def browser_skip_reason():
    if os.environ.get("VIEW_SANITIZER_PASS") == "1":
        return "no browser under the sanitizer pass (the preloaded runtimes break Chromium)"
    for path in ("/usr/bin/chromium", "/usr/bin/chromedriver"):
        if not os.access(path, os.X_OK):
            return "needs %s: apt-get install chromium chromium-driver" % path
    try:
        import selenium  # noqa: F401
    except ImportError:
        return "needs selenium: pip install selenium"
    return None


def sign_in(driver, base, token=TOKEN):
    """Opens the application in the browser, through the sign-in page when it has a token."""
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support import expected_conditions as ec
    from selenium.webdriver.support.ui import WebDriverWait

    driver.delete_all_cookies()
    driver.get(base + "/")
    if token is not None:
        WebDriverWait(driver, 20).until(ec.presence_of_element_located((By.ID, "token")))
        driver.find_element(By.ID, "token").send_keys(token)
        driver.find_element(By.ID, "signin-button").click()
    WebDriverWait(driver, 20).until(ec.presence_of_element_located((By.ID, "upload-form")))
