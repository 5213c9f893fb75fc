"""unzip_plugin: extraction, the `with` protocol, and archives that try to escape."""
import os
import sys
import tarfile
import types

import pytest

from support.archives import listed, tar
from support.snapshots import snapshot
from support.tracebacks import native_entries

from .helpers import is_native

PLAIN = [("dir", "plug"), ("file", "plug/a.txt", b"a"), ("file", "plug/sub/b.txt", b"b")]


def store(folder, name, members, mode="w:gz"):
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, name)
    with open(path, "wb") as f:
        f.write(tar(listed(members), mode.partition(":")[2]))
    return path


def lines(exc):
    return [line for name, line in native_entries(exc) if name == "View.file.unzip_plugin"]


@pytest.mark.parametrize("mode", ["w:gz", "w", "w:bz2"])
def test_extracts_into_plugin_folder_and_deletes_archive(mod, work, mode):
    archive = store(work.plugin, "p.tar.gz", PLAIN, mode)
    assert mod.unzip_plugin("plugin", "p.tar.gz") is True
    assert not os.path.exists(archive)
    assert snapshot(work.plugin) == {"plug": ("dir",), "plug/a.txt": ("file", b"a"),
                                     "plug/sub": ("dir",), "plug/sub/b.txt": ("file", b"b")}


def test_other_kind_takes_archive_from_temp(mod, work):
    archive = store(work.temp, "p.tar.gz", PLAIN)
    assert mod.unzip_plugin(t="api_module", filename="p.tar.gz") is True
    assert not os.path.exists(archive)
    assert os.path.isfile(os.path.join(work.plugin, "plug", "sub", "b.txt"))


def test_existing_members_are_replaced(mod, work):
    os.makedirs(os.path.join(work.plugin, "plug"))
    with open(os.path.join(work.plugin, "plug", "a.txt"), "wb") as f:
        f.write(b"old")
    store(work.plugin, "p.tar.gz", PLAIN)
    assert mod.unzip_plugin("plugin", "p.tar.gz") is True
    with open(os.path.join(work.plugin, "plug", "a.txt"), "rb") as f:
        assert f.read() == b"a"


@pytest.mark.parametrize("name, content, error", [
    ("p.tar.gz", b"not an archive at all" * 40, tarfile.ReadError),
    ("missing.tar.gz", None, FileNotFoundError),
    ("", None, IsADirectoryError),  # "uploads/" is a folder
])
def test_open_failures_propagate_from_line_33(mod, work, name, content, error):
    os.makedirs(work.plugin)
    if content is not None:
        with open(os.path.join(work.plugin, name), "wb") as f:
            f.write(content)
    before = snapshot(work.cwd)
    with pytest.raises(error) as info:
        mod.unzip_plugin("plugin", name)
    after = snapshot(work.cwd)
    after.pop("uploads", None)  # get_path may create it for the empty name
    assert after == before
    if is_native(mod):
        assert lines(info.value) == [38, 33]


def test_missing_global_is_a_name_error_at_line_34(mod, work, monkeypatch):
    archive = store(work.plugin, "p.tar.gz", PLAIN)
    monkeypatch.delattr(mod, "PLUGIN_FOLDER")
    with pytest.raises(NameError, match="^name 'PLUGIN_FOLDER' is not defined$") as info:
        mod.unzip_plugin("plugin", "p.tar.gz")
    assert os.path.exists(archive)
    if is_native(mod):
        assert lines(info.value) == [38, 33, 34]


class Described(object):
    """A method whose lookup is logged: shows the order of special-method lookups."""

    def __init__(self, log, function):
        self.log, self.function = log, function

    def __set_name__(self, owner, name):
        self.name = name

    def __get__(self, obj, owner=None):
        self.log.append("lookup " + self.name)
        return self.function.__get__(obj, owner)


def fake_tarfile(log, failure=None, exit_result=None, exit_failure=None, missing=None):
    seen = {}

    def enter(self):
        log.append("enter")
        return self

    def exit(self, *exc):
        log.append(("exit",) + exc[:2])
        seen["exit_args"], seen["handled"] = exc, sys.exc_info()[1]
        if exit_failure is not None:
            raise exit_failure
        return exit_result

    def extractall(self, *args, **kwargs):
        log.append(("extractall",) + args + tuple(kwargs))
        seen["filter"] = self.extraction_filter
        if failure is not None:
            raise failure

    def getmembers(self):
        log.append("getmembers")
        return []

    namespace = {"extraction_filter": None, "extractall": extractall, "getmembers": getmembers,
                 "__enter__": Described(log, enter), "__exit__": Described(log, exit)}
    namespace.pop(missing, None)
    archive_type = type("Archive", (object,), namespace)

    def open_(path, mode):
        log.append(("open", os.path.basename(path), mode))
        return archive_type()

    return types.SimpleNamespace(open=open_), seen


@pytest.mark.parametrize("failure, exit_result, outcome, native_lines", [
    (None, None, True, []),
    (ValueError("boom"), None, "raised", [38, 33, 34]),
    (ValueError("boom"), 1, True, []),           # a true __exit__ result drops it
    (KeyboardInterrupt(), None, "raised", [33, 34]),  # not an Exception: no line 38
])
def test_with_protocol(mod, work, monkeypatch, failure, exit_result, outcome, native_lines):
    archive = store(work.plugin, "p.tar.gz", PLAIN)
    log = []
    fake, seen = fake_tarfile(log, failure, exit_result)
    monkeypatch.setattr(mod, "tarfile", fake)
    exit_args = (None, None) if failure is None else (type(failure), failure)
    try:
        raise KeyError("handled by the caller")
    except KeyError as outer:
        if outcome is True:
            assert mod.unzip_plugin("plugin", "p.tar.gz") is True
        else:
            with pytest.raises(type(failure)) as info:
                mod.unzip_plugin("plugin", "p.tar.gz")
            assert info.value is failure
            if is_native(mod):
                assert lines(info.value) == native_lines
        assert sys.exc_info()[1] is outer
    assert log == [("open", "p.tar.gz", "r"), "lookup __exit__", "lookup __enter__", "enter",
                   "getmembers", ("extractall", work.plugin), ("exit",) + exit_args]
    assert os.path.exists(archive) is (outcome is not True)
    if failure is None:
        assert seen["exit_args"] == (None, None, None)
    else:
        assert seen["handled"] is failure
        assert seen["exit_args"][2] is not None
        if is_native(mod):
            # __exit__ is handed the traceback as it stood after line 34 failed
            assert native_entries(seen["exit_args"][2]) == [("View.file.unzip_plugin", 34)]


def test_exit_failure_replaces_the_extraction_error(mod, work, monkeypatch):
    store(work.plugin, "p.tar.gz", PLAIN)
    replacement = RuntimeError("from __exit__")
    fake, seen = fake_tarfile([], ValueError("boom"), exit_failure=replacement)
    monkeypatch.setattr(mod, "tarfile", fake)
    with pytest.raises(RuntimeError) as info:
        mod.unzip_plugin("plugin", "p.tar.gz")
    assert info.value is replacement
    if is_native(mod):
        assert lines(info.value) == [38, 33]


@pytest.mark.parametrize("missing", ["__exit__", "__enter__"])
def test_missing_special_method(mod, work, monkeypatch, missing):
    store(work.plugin, "p.tar.gz", PLAIN)
    log = []
    fake, _ = fake_tarfile(log, missing=missing)
    monkeypatch.setattr(mod, "tarfile", fake)
    with pytest.raises(AttributeError) as info:
        mod.unzip_plugin("plugin", "p.tar.gz")
    assert info.value.args == (missing,)
    assert "enter" not in log
    if is_native(mod):
        assert lines(info.value) == [38, 33]


def test_extraction_filter_is_set_and_refuses_links(mod, work, monkeypatch):
    store(work.plugin, "p.tar.gz", PLAIN)
    fake, seen = fake_tarfile([])
    monkeypatch.setattr(mod, "tarfile", fake)
    assert mod.unzip_plugin("plugin", "p.tar.gz") is True
    refuse = seen["filter"]
    store(work.plugin, "p.tar.gz", PLAIN)
    mod.unzip_plugin("plugin", "p.tar.gz")
    assert seen["filter"] is refuse  # made once, not per call
    public = [value for name, value in vars(mod).items() if not name.startswith("_")]
    assert not any(value is refuse for value in public)
    for kind in (tarfile.SYMTYPE, tarfile.LNKTYPE):
        link = tarfile.TarInfo("plug/link")
        link.type, link.linkname = kind, "a.txt"
        with pytest.raises(tarfile.FilterError, match="plug/link"):
            refuse(link, work.plugin)
    regular = tarfile.TarInfo("plug/a.txt")
    regular.mode = 0o4777
    assert refuse(regular, work.plugin).mode == 0o755  # handed on to data_filter
    device = tarfile.TarInfo("plug/dev")
    device.type = tarfile.CHRTYPE
    with pytest.raises(tarfile.SpecialFileError):  # data_filter's own refusal
        refuse(device, work.plugin)
    for name in ("../x", "a/../b.txt", "/abs/x"):  # refused whatever data_filter thinks
        with pytest.raises(tarfile.FilterError, match="absolute name or a '..' component"):
            refuse(tarfile.TarInfo(name), work.plugin)


HOSTILE = {
    "dotdot": [("file", "../escape.txt", b"x")],
    "nested-dotdot": [("dir", "plug"), ("file", "plug/../../escape.txt", b"x")],
    "symlink-out": [("dir", "plug"), ("sym", "plug/out", "../../outside")],
    "symlink-out-absolute": [("sym", "out", "{outside}")],
    "symlink-in": [("file", "plug/a.txt", b"a"), ("sym", "plug/link", "a.txt")],
    "hardlink-out": [("hard", "plug/hl", "../../outside/target.txt")],
    "hardlink-in": [("file", "plug/a.txt", b"a"), ("hard", "plug/hl", "plug/a.txt")],
    "symlink-then-file": [("sym", "evil", "other/data.txt"), ("file", "evil", b"pwned")],
    "hardlink-then-file": [("hard", "evil", "other/data.txt"), ("file", "evil", b"pwned")],
    "symlink-dir-then-file": [("sym", "plug", "../../outside"),
                              ("file", "plug/target.txt", b"pwned")],
    "chr-device": [("chr", "plug/dev")],
    "blk-device": [("blk", "plug/dev")],
    "fifo": [("fifo", "plug/fifo")],
}


@pytest.fixture
def layout(work):
    """A plug-in already installed, and a folder next to the working directory."""
    outside = os.path.join(work.root, "outside")
    os.makedirs(outside)
    with open(os.path.join(outside, "target.txt"), "wb") as f:
        f.write(b"outside")
    os.makedirs(os.path.join(work.plugin, "other"))
    with open(os.path.join(work.plugin, "other", "data.txt"), "wb") as f:
        f.write(b"other plug-in")
    work.outside = outside
    return work


def fill(members, outside):
    return [tuple(part.format(outside=outside) if isinstance(part, str) else part
                  for part in member) for member in members]


@pytest.mark.parametrize("case", sorted(HOSTILE))
def test_hostile_archive_is_refused(mod, layout, case):
    members = fill(HOSTILE[case], layout.outside)
    archive = store(layout.plugin, "evil.tar.gz", members)
    plugin_rel = os.path.relpath(layout.plugin, layout.root)
    outside_before = snapshot(layout.root, skip=[plugin_rel])
    other_before = snapshot(os.path.join(layout.plugin, "other"))
    with pytest.raises(tarfile.FilterError) as info:
        mod.unzip_plugin("plugin", "evil.tar.gz")
    refused = [m for m in members if m[0] in ("sym", "hard", "chr", "blk", "fifo")
               or ".." in m[1]][0]
    assert refused[1] in str(info.value)
    assert snapshot(layout.root, skip=[plugin_rel]) == outside_before
    assert snapshot(os.path.join(layout.plugin, "other")) == other_before
    assert os.path.exists(archive)
    for folder, dirs, files in os.walk(layout.plugin):
        for name in dirs + files:  # nothing but plain folders and files got in
            path = os.path.join(folder, name)
            assert os.path.isdir(path) or os.path.isfile(path) and not os.path.islink(path)
    if is_native(mod):
        assert lines(info.value)[:3] == [38, 33, 34]


NOISE = os.urandom(1 << 18)  # incompressible: a cut in the gzip stream is a cut in the tar


def cut(path, keep):
    with open(path, "rb") as f:
        data = f.read()
    with open(path, "wb") as f:
        f.write(data[:int(len(data) * keep)])


# A new version of the installed plug-in "other", refused only after its good members.
@pytest.mark.parametrize("tail, keep, error", [
    ([("sym", "other/link", "data.txt")], 1, tarfile.FilterError),
    ([("file", "other/../b.txt", b"b")], 1, tarfile.FilterError),
    ([("file", "{outside}/abs.txt", b"abs")], 1, tarfile.FilterError),
    ([("file", "other/more.bin", NOISE)], 0.7, (EOFError, tarfile.ReadError)),
], ids=["link", "dotdot-inside", "absolute", "truncated"])
def test_refused_archive_writes_nothing(mod, layout, tail, keep, error):
    members = [("file", "other/data.txt", b"new version"), ("file", "other/new.txt", NOISE)]
    archive = store(layout.plugin, "other.tar.gz", members + fill(tail, layout.outside))
    cut(archive, keep)
    before = snapshot(layout.root)
    with pytest.raises(error) as info:
        mod.unzip_plugin("plugin", "other.tar.gz")
    assert snapshot(layout.root) == before  # the archive stays: the caller removes it
    if error is tarfile.FilterError:
        assert tail[0][1].format(outside=layout.outside) in str(info.value)
    if is_native(mod):
        assert lines(info.value) == [38, 33, 34]


def test_archive_object_without_getmembers_is_extracted(mod, work, monkeypatch):
    log = []
    fake, _ = fake_tarfile(log, missing="getmembers")
    monkeypatch.setattr(mod, "tarfile", fake)
    store(work.plugin, "p.tar.gz", PLAIN)
    assert mod.unzip_plugin("plugin", "p.tar.gz") is True
    assert log[-2:] == [("extractall", work.plugin), ("exit", None, None)]
