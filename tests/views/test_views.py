"""View.index, View.upload, View.remove and View.approve inside real request contexts."""
import builtins
import io
import os
import pathlib
import sys
import tarfile

import pytest

from support.archives import listed, tar
from support.snapshots import snapshot
from support.tracebacks import native_entries

from .helpers import LogStream, Spy, is_native, recorder

OK = {"state": "ok"}


def get_ctx(app, method="GET"):
    return app.test_request_context("/", method=method)


# --- View.index --------------------------------------------------------------------------

@pytest.mark.parametrize("entries", [[], ["plug/", "notes.txt", "other/"]])
def test_index_lists_plugin_folder(mod, work, app, entries):
    os.makedirs(work.plugin)
    for entry in entries:
        path = os.path.join(work.plugin, entry)
        if entry.endswith("/"):
            os.makedirs(path)
        else:
            open(path, "w").close()
    with get_ctx(app):
        page = mod.View.index("plugin")
    assert page == "P:%s|T:-" % ",".join(os.listdir(work.plugin))  # unsorted, as listed


def test_index_lists_blueprints_and_temp_folder(mod, work, app):
    os.makedirs(work.temp)
    for name in ("a.py", "b.py"):
        open(os.path.join(work.temp, name), "w").close()
    assert list(app.blueprints) == ["admin", "admin.child", "files"]
    with get_ctx(app):
        page = mod.View().index(t="api_module")
    assert page == "P:admin,files|T:%s" % ",".join(os.listdir(work.temp))


@pytest.mark.parametrize("method, t", [
    ("POST", "plugin"), ("get", "plugin"), ("GET", "Plugin"), ("GET", "plugin "),
    ("GET", ""), ("GET", "api"),
])
def test_index_returns_none_for_other_methods_and_kinds(mod, monkeypatch, method, t):
    log = []
    monkeypatch.setattr(mod, "request", Spy(log, "request", method=method))
    monkeypatch.setattr(mod, "os", Spy(log, "os"))
    assert mod.View.index(t) is None
    assert log == ["get request.method"]


class StrSub(str):
    pass


@pytest.mark.parametrize("t, type_name", [(None, "NoneType"), (StrSub("plugin"), "StrSub"),
                                          (b"plugin", "bytes")])
def test_index_wants_exactly_str(mod, t, type_name):
    with pytest.raises(TypeError) as info:
        mod.View.index(t)
    assert str(info.value) == \
        "Argument 't' has incorrect type (expected str, got %s)" % type_name
    if is_native(mod):
        assert native_entries(info.value) == []


class Blueprints(object):
    def __init__(self, log, names):
        self.log, self.names = log, names

    def keys(self):
        self.log.append(("call", "blueprints.keys"))
        return self.names


class MinusOneFloat(str):
    def find(self, sub, *args):
        return -1.0  # equal to -1, so it counts as "no dot"


@pytest.mark.parametrize("t", ["plugin", "api_module"])
def test_index_order_of_reads_and_keywords(mod, monkeypatch, t):
    log = []
    names = ["admin", "files", "admin.child", MinusOneFloat("odd.name")]
    monkeypatch.setattr(mod, "request", Spy(log, "request", method="GET"))
    monkeypatch.setattr(mod, "os", Spy(log, "os", listdir=lambda p: ["x-" + os.path.basename(p)]))
    monkeypatch.setattr(mod, "PLUGIN_FOLDER", "/p/plugin")
    monkeypatch.setattr(mod, "TEMP_FOLDER", "/p/temp")
    monkeypatch.setattr(mod, "current_app",
                        Spy(log, "current_app", blueprints=Blueprints(log, names)))
    monkeypatch.setattr(mod, "render_template", recorder(log, "render_template", "page"))
    assert mod.View.index(t) == "page"
    if t == "plugin":
        assert log == ["get request.method", "get os.listdir",
                       ("call", "os.listdir", "/p/plugin"),
                       ("call", "render_template", "upload.html", ("plugin_list", ["x-plugin"]))]
    else:
        assert log == ["get request.method", "get current_app.blueprints",
                       ("call", "blueprints.keys"), "get os.listdir",
                       ("call", "os.listdir", "/p/temp"),
                       ("call", "render_template", "upload.html", ("temp_list", ["x-temp"]),
                        ("plugin_list", ["admin", "files", "odd.name"]))]


@pytest.mark.parametrize("t, line", [("plugin", 59), ("api_module", 65)])
@pytest.mark.parametrize("listing, error", [(("a",), "Expected list, got tuple"),
                                            ("a", "Expected list, got str"),
                                            (None, None)])
def test_index_folder_must_be_a_list(mod, monkeypatch, app, t, line, listing, error):
    log = []
    monkeypatch.setattr(mod, "os", Spy(log, "os", listdir=lambda p: listing))
    monkeypatch.setattr(mod, "render_template", recorder(log, "render_template", "page"))
    with get_ctx(app):
        if error is None:  # None is the one non-list a list variable may hold
            assert mod.View.index(t) == "page"
            listing_keyword = "plugin_list" if t == "plugin" else "temp_list"
            assert dict(log[-1][3:])[listing_keyword] is None
            return
        with pytest.raises(TypeError) as info:
            mod.View.index(t)
    assert str(info.value) == error
    assert not any(entry[1] == "render_template" for entry in log if isinstance(entry, tuple))
    if is_native(mod):
        assert native_entries(info.value) == [("View.file.View.index", line)]


def test_index_missing_folder(mod, work, app):
    with get_ctx(app), pytest.raises(FileNotFoundError) as info:
        mod.View.index("plugin")
    if is_native(mod):
        assert native_entries(info.value) == [("View.file.View.index", 59)]


# --- View.upload -------------------------------------------------------------------------

PLUGIN_MEMBERS = [("dir", "plug"), ("file", "plug/a.txt", b"a")]


@pytest.mark.parametrize("fields, expected", [
    ({"type": "plugin"}, {}),
    ({"formFile": "p.tar.gz"}, {}),
    ({"formFile": "p.tar.gz", "type": "plugin"},
     {"plugin": ("dir",), "plugin/plug": ("dir",), "plugin/plug/a.txt": ("file", b"a")}),
    ({"formFile": "m.py", "type": "api_module"},
     {"temp": ("dir",), "temp/m.py": ("file", b"print(1)\n")}),
    ({"formFile": "p.zip", "type": "plugin"}, {}),
    ({"formFile": "m.py", "type": "plugin"}, {}),
    ({"formFile": "p.tar.gz", "type": "other"}, {}),
], ids=["no-file", "no-type", "plugin", "api-module", "wrong-suffix", "module-as-plugin",
        "unknown-kind"])
def test_upload_stores_and_unpacks(mod, work, app, fields, expected):
    data = dict(fields)
    if "formFile" in data:
        name = data["formFile"]
        body = tar(listed(PLUGIN_MEMBERS)) if ".tar" in name else b"print(1)\n"
        data["formFile"] = (io.BytesIO(body), name)
    with app.test_request_context("/", method="POST", data=data,
                                  content_type="multipart/form-data"):
        assert mod.View.upload().get_json() == OK
    assert snapshot(work.cwd) == expected


def test_upload_ignores_other_methods(mod, monkeypatch):
    log = []
    monkeypatch.setattr(mod, "request", Spy(log, "request", method="GET"))
    assert mod.View.upload() is None
    assert log == ["get request.method"]


class FakeFile(object):
    def __init__(self, log, name):
        self.log, self.name = log, name

    def __bool__(self):
        self.log.append("bool file")
        return True

    @property
    def filename(self):
        self.log.append("get file.filename")
        return self.name

    @property
    def save(self):
        self.log.append("get file.save")
        return recorder(self.log, "file.save")


@pytest.mark.parametrize("t, accepted", [("plugin", True), ("api_module", True),
                                         ("plugin", False)])
def test_upload_order_of_reads_and_calls(mod, monkeypatch, t, accepted):
    log = []
    file = FakeFile(log, "x")
    form = Spy(log, "form", get={"type": t}.get)
    files = Spy(log, "files", get={"formFile": file}.get)
    monkeypatch.setattr(mod, "request", Spy(log, "request", method="POST", files=files, form=form))
    monkeypatch.setattr(mod, "allowed_file", recorder(log, "allowed_file", accepted))
    monkeypatch.setattr(mod, "get_path", recorder(log, "get_path", "/stored/x"))
    monkeypatch.setattr(mod, "unzip_plugin", recorder(log, "unzip_plugin", "dropped"))
    monkeypatch.setattr(mod, "jsonify", recorder(log, "jsonify", "answer"))
    assert mod.View.upload() == "answer"
    expected = ["get request.method",
                "get request.files", "get files.get", ("call", "files.get", "formFile"),
                "get request.form", "get form.get", ("call", "form.get", "type"),
                "bool file", "get file.filename", ("call", "allowed_file", t, "x")]
    if accepted:
        expected += ["get file.save", "get file.filename", ("call", "get_path", t, "x"),
                     ("call", "file.save", "/stored/x")]
        if t == "plugin":
            expected += ["get file.filename", ("call", "unzip_plugin", t, "x")]
    assert log == expected + [("call", "jsonify", OK)]


def post_file(app, name, body, kind):
    return app.test_request_context("/", method="POST", content_type="multipart/form-data",
                                    data={"formFile": (io.BytesIO(body), name), "type": kind})


@pytest.mark.parametrize("members, body, error", [
    (None, b"garbage" * 100, tarfile.ReadError),
    ([("sym", "evil", "../../outside"), ("file", "evil", b"pwned")], None, tarfile.FilterError),
], ids=["not-an-archive", "link-member"])
def test_upload_unpack_failure_keeps_stored_archive(mod, work, app, members, body, error):
    if members is not None:
        body = tar(listed(members))
    before = snapshot(work.root, skip=["cwd"])
    with post_file(app, "p.tar.gz", body, "plugin"), pytest.raises(error) as info:
        mod.View.upload()
    with open(os.path.join(work.plugin, "p.tar.gz"), "rb") as f:
        assert f.read() == body
    assert snapshot(work.root, skip=["cwd"]) == before
    if is_native(mod):
        expected = [("View.file.View.upload", 76), ("View.file.unzip_plugin", 38),
                    ("View.file.unzip_plugin", 33)]
        assert native_entries(info.value)[:3] == expected


@pytest.mark.parametrize("name, kind", [("../../evil.py", "api_module"),
                                        ("../evil.tar.gz", "plugin")])
def test_upload_refuses_names_leaving_the_folder(mod, work, app, name, kind):
    body = tar(listed(PLUGIN_MEMBERS))
    before = snapshot(work.root)
    with post_file(app, name, body, kind):
        from flask import request
        assert request.files["formFile"].filename == name  # the client's name, unchanged
        with pytest.raises(ValueError) as info:
            mod.View.upload()
    assert name in str(info.value)
    assert snapshot(work.root) == before
    if is_native(mod):
        assert native_entries(info.value)[:1] == [("View.file.View.upload", 74)]


# --- View.remove -------------------------------------------------------------------------

@pytest.fixture
def stored(work):
    """One plug-in tree, one API module and one upload, as earlier requests left them."""
    for rel, data in (("plugin/plug/sub/a.txt", b"a"), ("temp/m.py", b"m"),
                      ("uploads/u.tar.gz", b"u")):
        path = os.path.join(work.cwd, *rel.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    return work


@pytest.mark.parametrize("t, o, gone", [("plugin", "plug", "plugin/plug"),
                                        ("api_module", "m.py", "temp/m.py"),
                                        ("other", "m.py", "temp/m.py")])
def test_remove_deletes_one_entry(mod, stored, app, capsys, t, o, gone):
    before = snapshot(stored.cwd)
    with get_ctx(app):
        assert mod.View.remove(t, o=o).get_json() == OK
    path = os.path.join(stored.cwd, *gone.split("/"))
    assert capsys.readouterr().out == path + "\n"
    assert snapshot(stored.cwd) == {rel: v for rel, v in before.items()
                                    if rel != gone and not rel.startswith(gone + "/")}


def test_remove_missing_entry_fails_at_line_89_after_printing(mod, stored, app, capsys):
    with get_ctx(app), pytest.raises(FileNotFoundError) as info:
        mod.View.remove("plugin", "nothing")
    assert capsys.readouterr().out == os.path.join(stored.plugin, "nothing") + "\n"
    if is_native(mod):
        assert native_entries(info.value) == [("View.file.View.remove", 89)]


@pytest.mark.parametrize("method", ["POST", "get"])
def test_remove_ignores_other_methods(mod, work, monkeypatch, capsys, method):
    monkeypatch.setattr(mod, "request", Spy([], "request", method=method))
    assert mod.View.remove("plugin", "plug") is None
    assert capsys.readouterr().out == ""
    assert os.listdir(work.cwd) == []


def test_remove_prints_with_the_print_of_import_time(mod, stored, app, monkeypatch, capsys):
    replaced = []
    monkeypatch.setattr(builtins, "print", recorder(replaced, "print"))
    monkeypatch.setattr(mod, "print", recorder(replaced, "global print"), raising=False)
    with get_ctx(app):
        mod.View.remove("api_module", "m.py")
    assert replaced == []
    assert capsys.readouterr().out == os.path.join(stored.temp, "m.py") + "\n"


@pytest.mark.parametrize("isdir", [True, False])
def test_remove_order_of_calls(mod, monkeypatch, isdir):
    log = []
    monkeypatch.setattr(sys, "stdout", LogStream(log))
    monkeypatch.setattr(mod, "request", Spy(log, "request", method="GET"))
    monkeypatch.setattr(mod, "get_path", recorder(log, "get_path", "/p/x"))
    monkeypatch.setattr(mod, "os", Spy(log, "os", path=Spy(log, "path", isdir=lambda p: isdir),
                                       remove=lambda p: None))
    monkeypatch.setattr(mod, "shutil", Spy(log, "shutil", rmtree=lambda p: None))
    monkeypatch.setattr(mod, "jsonify", recorder(log, "jsonify", "answer"))
    assert mod.View.remove("plugin", "x") == "answer"
    delete = (["get shutil.rmtree", ("call", "shutil.rmtree", "/p/x")] if isdir
              else ["get os.remove", ("call", "os.remove", "/p/x")])
    assert log == ["get request.method", ("call", "get_path", "plugin", "x"),
                   ("print", "/p/x"), "get os.path", "get path.isdir",
                   ("call", "path.isdir", "/p/x")] + delete + [("call", "jsonify", OK)]


@pytest.mark.parametrize("t", ["plugin", "api_module"])
@pytest.mark.parametrize("o", [None, "", ".", "./", pathlib.PurePosixPath(".")])
def test_remove_refuses_the_whole_folder(mod, stored, app, capsys, t, o):
    before = snapshot(stored.cwd)
    with get_ctx(app), pytest.raises(ValueError):
        mod.View.remove(t, o)
    assert capsys.readouterr().out == ""
    assert snapshot(stored.cwd) == before


# --- View.approve ------------------------------------------------------------------------

@pytest.mark.parametrize("args, kwargs", [
    (("plugin", "plug"), {}), (("plugin", "plug", "mod"), {}),
    ((), {"t": "plugin", "o": "plug", "module": "mod"}), (("plugin",), {"o": None}),
])
def test_approve_does_nothing(mod, work, monkeypatch, args, kwargs):
    for name in ("request", "os", "shutil", "get_path", "jsonify"):
        monkeypatch.setattr(mod, name, Spy([], name))  # any use would fail
    before = dict(vars(mod))
    assert mod.View.approve(*args, **kwargs) is None
    assert vars(mod) == before
    assert os.listdir(work.cwd) == []
