"""Helpers shared by the application tests (a unique module name: conftest.py is not importable
by name once several test folders have one)."""
import glob
import io
import json
import os
import sys
import tarfile
import urllib.error
import urllib.request
import uuid

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.abspath(os.environ.get("VIEW_BUILD_DIR", os.path.join(ROOT, "build")))
# After the build folder (put first by tests/conftest.py), so that the source View/ never wins.
if ROOT not in sys.path:
    sys.path.append(ROOT)

# The operator's credential for tests that change the store: set as VIEW_TOKEN for the app, and
# sent as a bearer token, which needs no anti-forgery token.
TOKEN = "test-operator-token"
OPERATOR = {"Authorization": "Bearer " + TOKEN}

native = pytest.mark.skipif(not glob.glob(os.path.join(BUILD, "View", "file*.so")),
                            reason="View.file is not built in %s (run scripts/setup)" % BUILD)


def archive(members):
    """A .tar.gz in memory; members maps a name to bytes, or to ("symlink", target)."""
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w:gz") as tar:
        for name, content in members.items():
            info = tarfile.TarInfo(name)
            if isinstance(content, tuple):
                info.type, info.linkname = tarfile.SYMTYPE, content[1]
                tar.addfile(info)
            else:
                info.size = len(content)
                tar.addfile(info, io.BytesIO(content))
    return buf.getvalue()


def plugin_archive(top):
    return archive({top + "/__init__.py": b"NAME = %r\n" % top.encode(),
                    top + "/static/readme.txt": b"plug-in " + top.encode()})


def read_file(path, size=-1):
    with open(path, "rb") as f:
        return f.read(size)


def store_state(data):
    """What a refused or failed change must leave as it was: every file of the store's folders
    with its content, the kept previous generations, and the record of what is installed."""
    import sqlite3
    data = str(data)
    files = {}
    for top in ("plugin", "temp", "uploads", ".previous", ".staging"):
        for d, dirs, names in os.walk(os.path.join(data, top)):
            for name in names + [x for x in dirs if not os.listdir(os.path.join(d, x))]:
                path = os.path.join(d, name)
                rel = os.path.relpath(path, data)
                files[rel] = read_file(path) if os.path.isfile(path) else "dir"
    rows = []
    record = os.path.join(data, "record.sqlite3")
    if os.path.exists(record):
        db = sqlite3.connect(record)
        rows = sorted(db.execute("SELECT * FROM installed").fetchall()) + sorted(
            db.execute("SELECT * FROM previous").fetchall()) + sorted(
            db.execute("SELECT * FROM pending").fetchall())
        db.close()
    return files, rows


def all_files(folder):
    return sorted(os.path.relpath(os.path.join(d, f), folder)
                  for d, _, files in os.walk(folder) for f in files)


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
            return "%s is missing (scripts/setup --test installs it)" % path
    try:
        import selenium  # noqa: F401
    except ImportError:
        return "selenium is missing (scripts/setup --test installs python3-selenium)"
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
