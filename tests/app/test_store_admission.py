"""Refused uploads and removals on the test client: 4xx with the reason, and the store untouched."""
import gzip
import io
import os

import pytest
from support.archives import archive, header, member, plugin_archive, raw_member, tar
from support.backends import backend, database_url, postgres_server  # noqa: F401 (fixtures)
from support.snapshots import files_of, store_state
from webapp_support import native

pytestmark = native

GIB = 1 << 30
LONG_PATH = "/".join(["d" * 200] * 25) + "/f"


def header_only(name, size, padding):
    """A member whose header promises `size` bytes, followed by only `padding` zeros."""
    return gzip.compress(header(name, size) + bytes(padding))


def two_gzip_members(first, second):
    """One archive in two gzip members: a stream reader sees only the first."""
    return gzip.compress(raw_member(*first)) + gzip.compress(raw_member(*second) + bytes(1024))


def upload(c, kind, name, payload):
    return c.post("/upload", data={"type": kind, "formFile": (io.BytesIO(payload), name)},
                  content_type="multipart/form-data")


@pytest.fixture
def installed(backend, request):  # noqa: F811
    """The app with the plug-in "weather" installed, under the limits the test names; on
    each backend."""
    c, data = backend.client(**getattr(request, "param", {}))
    assert upload(c, "plugin", "weather.tar.gz", plugin_archive("weather")).status_code == 200
    return c, data


@pytest.mark.parametrize("installed, kind, name, payload, status, reason", [
    ({}, "plugin", "bomb.tar.gz", header_only("weather/zeros", 2 * GIB, 1 << 20), 413, "1 GiB"),
    ({"VIEW_MAX_EXPANDED": "1M"}, "plugin", "weather.tar.gz",
     archive({"weather/a": bytes(600 << 10), "weather/b": bytes(600 << 10)}), 413, "1 MiB"),
    ({}, "plugin", "weather.tar.gz", archive({"weather/zeros": bytes(4 << 20)}), 413,
     "more than 100-fold"),
    ({"VIEW_MAX_EXPANDED": "1M"}, "plugin", "weather.tar.gz",
     two_gzip_members(("weather/a", b"a"), ("weather/zeros", bytes(4 << 20))), 413, "1 MiB"),
    ({"VIEW_MAX_MEMBERS": "3"}, "plugin", "weather.tar.gz",
     archive({"weather/%d" % i: b"x" for i in range(4)}), 400, "more than 3 members"),
    ({}, "plugin", "weather.tar.gz", archive({"weather/__init__.py": b"new", "weather/" + "n" * 300: b"x"}), 400,
     "longer than the file system allows"),
    ({}, "plugin", "weather.tar.gz", archive({"weather/__init__.py": b"new", "weather/" + LONG_PATH: b"x"}), 400,
     "longer than the file system allows"),
    ({}, "plugin", "weather.tar.gz", archive({"weather/a": os.urandom(1 << 17)})[:70000], 400,
     "not a gzip-compressed tar archive (the gzip stream is cut short)"),
    ({}, "plugin", "weather.tar.gz", b"\x1f\x8b\x08\x00" + os.urandom(4000), 400,
     "not a gzip-compressed tar archive"),
    ({}, "plugin", "weather.tar.gz", gzip.compress(raw_member("weather/a", b"a")) + b"trailing" * 20,
     400,
     "not a gzip-compressed tar archive"),
    ({}, "plugin", "weather.tar.gz",  # good members first: refused by the view's own pass
     archive({"weather/__init__.py": b"new", "weather/link": ("symlink", "__init__.py")}), 400,
     "is a link"),
    ({}, "plugin", "weather.tar.gz",  # a second top-level entry, named like the archive
     archive({"weather/__init__.py": b"new", "./weather.tar.gz": b"x",
              "weather/b": os.urandom(1 << 18)}), 400, "more than one top-level entry"),
    ({}, "plugin", "weather.tar.gz",  # a file where the archive itself made a folder
     archive({"weather/static/a": b"new", "weather/static": b"x"}), 400,
     "replace the folder"),
    ({}, "plugin", "weather.tar.gz",  # a folder needed where the archive put a file
     archive({"weather/__init__.py": b"new", "weather/f": b"x", "weather/f/g": b"y"}), 400,
     "needs 'weather/f' to be a folder"),
    ({}, "plugin", "weather.tar.gz",  # a folder where the archive put a file, then below it
     archive({"weather/x/a": b"file", "weather/x/a/": None, "weather/x/a/b": b"y"}), 400,
     "replace the file 'weather/x/a' with a folder"),
    ({}, "plugin", "weather.tar.gz",  # the same, at the top
     archive({"weather": b"file", "weather/": None, "weather/b": b"y"}), 400,
     "replace the file 'weather' with a folder"),
    ({}, "plugin", "weather.tar.gz",  # a file whose name the system reads as a folder's
     archive({"weather/a": b"x", "weather/d/": b"file"}), 400, "file named like a folder"),
    ({}, "plugin", "weather.tar.gz",
     archive({"weather/a": b"x", "weather/d/.": b"file"}), 400, "file named like a folder"),
    ({"VIEW_MAX_UPLOAD": "1K"}, "api_module", "x.py", b"#" * 4096, 413, "1 KiB"),
    ({}, "api_module", "x" * 300 + ".py", b"x = 1\n", 400, "longer than the file system allows"),
    ({}, "plugin", "x" * 300 + ".tar.gz", plugin_archive("x"), 400,
     "longer than the file system allows"),
], indirect=["installed"], ids=[
    "bomb", "expanded", "thousandfold", "second-gzip-member", "members", "component", "path",
    "truncated", "corrupt", "trailing-bytes", "link-after-good", "second-top-level",
    "file-over-own-folder", "folder-over-file", "folder-after-file", "top-folder-after-file",
    "file-ending-in-slash", "file-ending-in-dot", "upload-cap", "long-module-name", "long-archive-name"])
def test_refused_upload_leaves_the_store_as_it_was(installed, kind, name, payload, status, reason):
    c, data = installed
    before = store_state(data)
    r = upload(c, kind, name, payload)
    assert r.status_code == status and reason in r.get_json()["error"], r.get_json()
    assert store_state(data) == before
    assert 'data-name="%s"' % name not in c.get("/plugins/plugin").get_data(as_text=True)


@pytest.mark.parametrize("entry, status", [
    ("weather/./", 400),
    ("weather/static/readme.txt", 400),
    ("weather%2Fstatic", 400),
    ("%2E%2E", 400),
    ("x" * 300, 400),  # longer than a name may be
    ("weather", 200),
    ("..%5Cx", 200),  # a backslash is an ordinary character: every listed entry can go
])
def test_removal_takes_whole_entries_only(installed, entry, status):
    c, data = installed
    assert upload(c, "plugin", "odd.tar.gz", archive({"..\\x/a.txt": b"a"})).status_code == 200
    assert 'data-name="..\\x"' in c.get("/plugins/plugin").get_data(as_text=True)
    before = store_state(data)
    r = c.get("/remove/plugin/" + entry)
    assert r.status_code == status, r.get_json()
    if status == 400:
        assert store_state(data) == before
    else:
        assert os.listdir(str(data / "plugin")) == [{"weather": "..\\x"}.get(entry, "weather")]


@pytest.mark.parametrize("text, value", [
    ("64M", 64 << 20), ("1g", GIB), ("512KiB", 512 << 10), ("10000", 10000),
    ("0", None), ("-1", None), ("1T", None), ("many", None),
])
def test_limits_from_settings(text, value):
    from view_plugin_manager import admission

    if value is None:
        with pytest.raises(ValueError, match="VIEW_MAX_EXPANDED"):
            admission.limits_from({"VIEW_MAX_EXPANDED": text})
    else:
        assert admission.limits_from({"VIEW_MAX_EXPANDED": text}).max_expanded == value


@pytest.mark.parametrize("cwd", ["dest", "parent", "elsewhere", "removed"])
def test_filter_sees_the_tree_on_disk_from_any_working_folder(tmp_path, monkeypatch, cwd):
    # The filter is given the destination relative to the working folder where that is
    # shorter: it must still resolve paths in the tree that is really written to.
    from view_plugin_manager import admission

    if admission.FILTER is None:
        pytest.skip("this Python has no extraction filters")
    dest, outside = tmp_path / "a" / "b" / "tree", tmp_path / "outside"
    (dest / "top").mkdir(parents=True)
    outside.mkdir()
    os.symlink(str(outside), str(dest / "top" / "evil"))  # as if planted by someone else
    folders = {"dest": dest, "parent": dest.parent, "elsewhere": tmp_path / "x" / "y",
               "removed": tmp_path / "gone"}
    folders[cwd].mkdir(parents=True, exist_ok=True)
    monkeypatch.chdir(str(folders[cwd]))
    if cwd == "removed":
        folders[cwd].rmdir()

    def tar_of(name):
        raw = tar([member(name, b"hi", mode=0o777)], "")
        return admission.CheckedTarFile.open(fileobj=io.BytesIO(raw), mode="r:")

    limits = admission.limits_from({})
    with tar_of("top/evil/x") as checked, pytest.raises(admission.Refusal, match="outside"):
        admission.check_tar(checked, limits, str(dest), 1 << 20, str(tmp_path))
    with tar_of("top/x") as checked:
        _, members = admission.check_tar(checked, limits, str(dest), 1 << 20, str(tmp_path))
    assert [(m.name, m.mode) for m in members] == [("top/x", 0o755)]


PATHS = ["p/a", "p/a/b", "p/a/b/c", "p/d", "p/d/a"]


def expected_tree(layout):
    """The files a plain unpack of `layout` ((path, kind) in order) leaves, or None where a
    path would have to be a file and a folder at once."""
    kinds = {"p": "dir"}
    for path, kind in layout:
        parts = path.split("/")
        for depth in range(1, len(parts)):
            if kinds.setdefault("/".join(parts[:depth]), "dir") != "dir":
                return None
        if kinds.setdefault(path, kind) != kind:
            return None
    return {path[2:]: path.encode() for path, kind in layout if kind == "file"}


def test_every_file_and_folder_layout_is_judged_before_unpacking(installed):
    """Random orders of files and folders over paths that nest: each archive is either
    refused with 400 and nothing written, or installed as a plain unpack leaves it."""
    import random

    c, data = installed
    rng = random.Random(24)
    outcomes = set()
    for _ in range(40):
        layout = [(rng.choice(PATHS), rng.choice(["file", "dir"]))
                  for _ in range(rng.randint(2, 5))]
        payload = tar([member("p/", kind="dir")] + [
            member(path + "/", kind="dir") if kind == "dir" else member(path, path.encode())
            for path, kind in layout])
        want = expected_tree(layout)
        before = store_state(data)
        r = upload(c, "plugin", "p.tar.gz", payload)
        outcomes.add(r.status_code)
        if want is None:
            assert r.status_code == 400, (layout, r.get_json())
            assert store_state(data) == before, layout
        else:
            assert r.status_code == 200, (layout, r.get_json())
            assert files_of(str(data / "plugin" / "p")) == want, layout
            assert c.get("/remove/plugin/p").status_code == 200
    assert outcomes == {200, 400}
