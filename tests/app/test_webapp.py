"""The application on Flask's test client, against the compiled views."""
import io
import logging

import pytest
from support.archives import archive, plugin_archive
from support.snapshots import all_files
from webapp_support import native

pytestmark = native


def upload(c, kind, name, payload):
    data = {"formFile": (io.BytesIO(payload), name)}
    if kind is not None:
        data["type"] = kind
    return c.post("/upload", data=data, content_type="multipart/form-data")


@pytest.mark.parametrize("kind, name, payload, entry, folder", [
    ("plugin", "hello.tar.gz", plugin_archive("hello"), "hello", "plugin"),
    ("api_module", "tool.py", b"def run():\n    return 1\n", "tool.py", "temp"),
], ids=["plugin", "api_module"])
def test_upload_list_remove(client, kind, name, payload, entry, folder):
    c, data = client
    r = upload(c, kind, name, payload)
    assert (r.status_code, r.get_json()) == (200, {"state": "ok"})
    assert ('data-name="%s"' % entry).encode() in c.get("/plugins/" + kind).data
    if kind == "plugin":  # unpacked, archive gone
        assert all_files(data / "plugin") == ["hello/__init__.py", "hello/static/readme.txt"]
    else:
        assert (data / "temp" / entry).read_bytes() == payload

    r = c.get("/remove/%s/%s" % (kind, entry))
    assert (r.status_code, r.get_json()) == (200, {"state": "ok"})
    assert not (data / folder / entry).exists()
    page = c.get("/plugins/" + kind).get_data(as_text=True)
    assert 'data-name="%s"' % entry not in page
    if kind == "api_module":  # top-level blueprints only
        assert "admin</span>" in page and "files</span>" in page and "admin.child" not in page
    r = c.get("/remove/%s/%s" % (kind, entry))
    assert r.status_code == 404 and entry in r.get_json()["error"]


@pytest.mark.parametrize("kind, name, message", [
    ("api_module", "../x.py", "parent folder"),
    ("api_module", "/tmp/x.py", "absolute"),
    ("api_module", "..\\x.py", "parent folder"),
    ("api_module", "sub/x.py", "folders"),
    ("plugin", "../p.tar.gz", "parent folder"),
    ("plugin", "p.zip", "not a .tar.gz plug-in"),
    ("plugin", "p.TAR.GZ", "not a .tar.gz plug-in"),
    ("api_module", "x.pyc", "not a .py API module"),
    ("api_module", "", "choose a file"),
    ("Plugin", "p.tar.gz", "kind of upload"),
    (None, "x.py", "kind of upload"),
])
def test_refused_upload_writes_nothing(client, tmp_path, kind, name, message,
                                      delivered_filename):
    c, data = client
    if "\\" in name and "\\" not in delivered_filename(name):
        pytest.skip("this Werkzeug's form parser reads a backslash in a file name as an escape "
                    "and drops it, so the name arrives as a plain one")
    before = all_files(tmp_path)
    r = upload(c, kind, name, plugin_archive("p") if kind == "plugin" else b"x = 1\n")
    assert r.status_code == 400 and message in r.get_json()["error"]
    assert all_files(tmp_path) == before


@pytest.mark.parametrize("members", [
    {"../evil.txt": b"out"},
    {"good/a.txt": b"a", "good/../../evil.txt": b"out"},
    {"link": ("symlink", "/etc/passwd")},
    {"link": ("symlink", "../../evil.txt")},
    None,  # not an archive at all
], ids=["parent", "nested-parent", "abs-link", "rel-link", "garbage"])
def test_hostile_archive_is_refused(client, tmp_path, members):
    c, data = client
    r = upload(c, "plugin", "bad.tar.gz", b"garbage" if members is None else archive(members))
    assert r.status_code == 400 and "bad.tar.gz" in r.get_json()["error"]
    assert not any(f.endswith("evil.txt") for f in all_files(tmp_path))
    assert 'data-name="bad.tar.gz"' not in c.get("/plugins/plugin").get_data(as_text=True)


@pytest.mark.parametrize("url, status", [
    ("/remove/plugin/../victim", 400),
    ("/remove/plugin/%2E%2E/%2E%2E/victim", 400),
    ("/remove/api_module/sub/../../victim", 400),
    ("/remove/plugin/.", 400),
    ("/remove/other/victim", 404),
    ("/remove/plugin/missing", 404),
])
def test_refused_remove_keeps_files(client, tmp_path, url, status):
    c, data = client
    (tmp_path / "victim").write_text("keep")
    (data / "victim").write_text("keep")
    r = c.get(url)
    assert r.status_code == status and r.get_json()["error"]
    assert (tmp_path / "victim").exists() and (data / "victim").exists()
    assert (data / "plugin").is_dir() and (data / "temp").is_dir()


@pytest.mark.parametrize("method, url, status, body", [
    ("get", "/", 302, None),
    ("get", "/scheduler", 200, {"asdfsd": "dfdf"}),
    ("get", "/approve/plugin/hello", 501, "not supported"),
    ("get", "/approve/nope/hello", 404, "unknown kind"),
    ("get", "/plugins/Plugin", 404, "unknown kind"),
    ("post", "/plugins/plugin", 405, "not allowed"),
    ("get", "/upload", 405, "not allowed"),
])
def test_other_routes(client, method, url, status, body):
    r = getattr(client[0], method)(url)
    assert r.status_code == status
    if isinstance(body, dict):
        assert r.get_json() == body
    elif body:
        assert body in r.get_json()["error"]


def test_unexpected_failure_is_logged_and_answered_500(client, monkeypatch, caplog):
    import View.file

    def broken(*args):
        raise RuntimeError("disk on fire")

    monkeypatch.setattr(View.file, "get_path", broken)
    with caplog.at_level(logging.ERROR):
        r = upload(client[0], "api_module", "tool.py", b"x = 1\n")
    assert r.status_code == 500  # the reason stays in the log
    assert r.get_json() == {"error": "internal error; see the server log"}
    assert "disk on fire" in caplog.text and "Traceback" in caplog.text
