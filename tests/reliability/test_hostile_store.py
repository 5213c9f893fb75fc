"""Hostile archives, upload names and removal names, through the views with real
request contexts: each gets a clear error or a correct result, nothing is written
outside the store, and nothing already in the store is lost."""
import io
import os
import tarfile
import zlib

import flask
import pytest
from werkzeug.datastructures import FileStorage, MultiDict

from reliability_support import scaled
from support.archives import member, tar
from support.snapshots import read_file, snapshot

MANY = scaled(20000, minimum=2000)
BIG = 10 * 1024 * 1024
ARCHIVE_ERRORS = (tarfile.TarError, EOFError, OSError, zlib.error)
KEPT = {"plugin/keep/data.txt": b"installed", "temp/keep.py": b"kept = 1\n",
        "uploads/keep.bin": b"\x00\x01"}


# name: outside folder -> (archive bytes, refusal (types, name the message must show)
# or a check of the extracted result). Built per case: some are large.
ARCHIVES = {
    "parent-escape": lambda out: (tar([member("../../outside/pwned.txt", b"x")]),
                                  (tarfile.FilterError, "../../outside/pwned.txt")),
    "symlink-out": lambda out: (tar([member("lnk", kind=tarfile.SYMTYPE, linkname="../../outside")]),
                                (tarfile.FilterError, "lnk")),
    "symlink-absolute": lambda out: (tar([member("abs", kind=tarfile.SYMTYPE, linkname="/etc")]),
                                     (tarfile.FilterError, "abs")),
    "symlink-inside": lambda out: (tar([member("inner", kind=tarfile.SYMTYPE, linkname="keep")]),
                                   (tarfile.FilterError, "inner")),
    "hardlink": lambda out: (tar([member("hl", kind=tarfile.LNKTYPE, linkname="keep/data.txt")]),
                             (tarfile.FilterError, "hl")),
    "write-through-link": lambda out: (
        tar([member("d", kind=tarfile.SYMTYPE, linkname="../../outside"), member("d/pwned.txt", b"x")]),
        (tarfile.FilterError, "d")),
    "char-device": lambda out: (tar([member("null2", kind=tarfile.CHRTYPE, device=(1, 3))]),
                                (tarfile.FilterError, "null2")),
    "block-device": lambda out: (tar([member("sda9", kind=tarfile.BLKTYPE, device=(8, 9))]),
                                 (tarfile.FilterError, "sda9")),
    "fifo": lambda out: (tar([member("pipe", kind=tarfile.FIFOTYPE)]), (tarfile.FilterError, "pipe")),
    "not-an-archive": lambda out: (b"\x1f\x8b not really gzip" * 50, (ARCHIVE_ERRORS, None)),
    "empty-file": lambda out: (b"", (ARCHIVE_ERRORS, None)),
    "truncated": lambda out: (tar([member("ok/a.txt", b"fine" * 500)])[:60], (ARCHIVE_ERRORS, None)),
    "overlong-member-name": lambda out: (tar([member("n" * 5000, b"x")]), (ARCHIVE_ERRORS, None)),
    "absolute-member": lambda out: (tar([member(os.path.join(out, "abs.txt"), b"abs")]),
                                    (tarfile.FilterError, os.path.join(out, "abs.txt"))),
    "dotdot-inside": lambda out: (tar([member("a/../b.txt", b"b")]),
                                  (tarfile.FilterError, "a/../b.txt")),
    # Good members over an installed plug-in, then a refused one: nothing of it is written.
    "link-after-good": lambda out: (
        tar([member("keep/data.txt", b"replaced"), member("keep/l", kind=tarfile.SYMTYPE, linkname="x")]),
        (tarfile.FilterError, "keep/l")),
    "truncated-over-installed": lambda out: (
        tar([member("keep/data.txt", b"replaced"), member("keep/noise", os.urandom(1 << 17))])[:90000],
        (ARCHIVE_ERRORS, None)),
    "duplicates": lambda out: (tar([member("dup/a.txt", b"first"), member("dup/a.txt", b"second")]),
                               lambda plugin: read_file(os.path.join(plugin, "dup/a.txt")) == b"second"),
    "undecodable-name": lambda out: (
        tar([member("caf\udce9.txt", b"c")], format=tarfile.GNU_FORMAT, encoding="utf-8",
            errors="surrogateescape"),
        lambda plugin: read_file(os.path.join(plugin, "caf\udce9.txt")) == b"c"),
    "thousandfold": lambda out: (
        tar([member("big/zeros.bin", bytes(BIG))], level=1),
        lambda plugin: os.path.getsize(os.path.join(plugin, "big/zeros.bin")) == BIG),
    "many-members": lambda out: (
        tar([member("many/d%02d/f%05d" % (i % 50, i)) for i in range(MANY)], level=1),
        lambda plugin: sum(len(f) for _, _, f in os.walk(os.path.join(plugin, "many"))) == MANY),
}


@pytest.fixture
def guarded(store, tmp_path):
    """The store with entries to keep, and a folder outside it that must stay untouched."""
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "secret.txt").write_bytes(b"secret")
    for name, data in KEPT.items():
        path = store / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
    skip = [str(store / name) for name in ("plugin", "temp", "uploads")]
    before = snapshot(tmp_path, skip, stat=True)
    yield store, str(outside)
    assert snapshot(tmp_path, skip, stat=True) == before, "something was written outside the store"
    for name, data in KEPT.items():
        assert (store / name).read_bytes() == data, "an entry already in the store was lost"


def upload(app, mod, kind, name, data):
    try:
        ctx = app.test_request_context("/", method="POST", data={
            "type": kind, "formFile": (io.BytesIO(data), name)})
        ctx.push()
        carried = flask.request.files["formFile"].filename == name
        if not carried:
            ctx.pop()
    except UnicodeEncodeError:
        carried = False
    if not carried:
        # A name the multipart encoder cannot carry (surrogate escapes; a backslash, which
        # newer Werkzeug drops as a quoting escape) reaches the view as the same file object,
        # set on a real request.
        ctx = app.test_request_context("/", method="POST", data={"type": kind})
        ctx.push()
        flask.request.files = MultiDict({"formFile": FileStorage(io.BytesIO(data), filename=name)})
    try:
        return mod.View.upload()
    finally:
        ctx.pop()


def check(outcome, expectation, store):
    if callable(expectation):
        assert not isinstance(outcome, BaseException), repr(outcome)
        assert expectation(str(store / "plugin"))
        return
    types_, name = expectation
    assert isinstance(outcome, types_), repr(outcome)
    if name is not None:
        assert name in str(outcome), "the error should name %r: %s" % (name, outcome)


def attempt(thunk):
    try:
        return thunk()
    except Exception as exc:
        return exc


@pytest.mark.parametrize("case", sorted(ARCHIVES))
def test_hostile_archive(case, guarded, app, file_mod):
    store, outside = guarded
    blob, expectation = ARCHIVES[case](outside)
    outcome = attempt(lambda: upload(app, file_mod, "plugin", "evil.tar.gz", blob))
    check(outcome, expectation, store)
    if not isinstance(outcome, BaseException):
        assert outcome.get_json() == {"state": "ok"}
        assert not (store / "plugin" / "evil.tar.gz").exists()


UNUSABLE_NAME = (ValueError, OSError, UnicodeError)


def short(value):
    return repr(value)[:24] if isinstance(value, (str, bytes)) else None


@pytest.mark.parametrize("kind, name, refusal", [
    ("api_module", "../evil.py", ValueError),
    ("api_module", "../../outside/evil.py", ValueError),
    ("api_module", "ok/../../evil.py", ValueError),
    ("plugin", "../evil.tar.gz", ValueError),
    ("api_module", "{outside}/abs.py", ValueError),
    ("plugin", "{outside}/abs.tar.gz", ValueError),
    ("api_module", "sub/dir/evil.py", UNUSABLE_NAME),
    ("api_module", "a\x00b.py", UNUSABLE_NAME),
    ("api_module", "x" * 5000 + ".py", UNUSABLE_NAME),
    ("api_module", "..\\evil.py", None),
    ("api_module", "..py", None),
    ("api_module", "\udcff\udcfe.py", None),
    ("api_module", "caf\u00e9 \u6587\u4ef6.py", None),
], ids=short)
def test_hostile_upload_name(kind, name, refusal, guarded, app, file_mod):
    store, outside = guarded
    name = name.format(outside=outside)
    data = tar([member("n/x.txt", b"n")]) if kind == "plugin" else b"x = 1\n"
    outcome = attempt(lambda: upload(app, file_mod, kind, name, data))
    if refusal is ValueError:  # refused before anything is written
        assert isinstance(outcome, ValueError) and name in str(outcome), repr(outcome)
        assert sorted(os.listdir(str(store / "temp"))) == ["keep.py"]
        assert sorted(os.listdir(str(store / "plugin"))) == ["keep"]
    elif refusal is not None:
        assert isinstance(outcome, refusal), repr(outcome)
    else:
        assert not isinstance(outcome, BaseException), repr(outcome)
        assert read_file(str(store / "temp" / name)) == data


@pytest.mark.parametrize("kind, name, allowed", [
    ("plugin", "", ValueError),
    ("plugin", None, ValueError),
    ("api_module", ".", ValueError),
    ("api_module", None, ValueError),
    ("plugin", "./", (ValueError, OSError)),
    ("plugin", ".//.", (ValueError, OSError)),
    ("api_module", "././", (ValueError, OSError)),
    ("plugin", "../outside", ValueError),
    ("plugin", "keep/../../outside", ValueError),
    ("api_module", "keep.py/..", ValueError),
    ("plugin", "{outside}", ValueError),
    ("plugin", "/", ValueError),
    ("plugin", "a\x00b", UNUSABLE_NAME),
    ("plugin", "x" * 5000, UNUSABLE_NAME),
    ("plugin", "\udcff", UNUSABLE_NAME),
    ("plugin", b"keep", TypeError),
], ids=short)
def test_hostile_removal_name(kind, name, allowed, guarded, app, file_mod, capsys):
    store, outside = guarded
    if isinstance(name, str):
        name = name.format(outside=outside)
    with app.test_request_context("/", method="GET"):
        outcome = attempt(lambda: file_mod.View.remove(kind, name))
    assert isinstance(outcome, allowed), repr(outcome)
    if allowed is ValueError and isinstance(name, str) and name not in ("", "."):
        assert name in str(outcome), "the error should name %r: %s" % (name, outcome)
    if allowed is ValueError:
        assert capsys.readouterr().out == "", "refused before printing"
