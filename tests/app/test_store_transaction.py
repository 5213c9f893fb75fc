"""Attacks on the plug-in store through the test client: damaged and disguised archives,
headers that escape the limits, names that break the listing, and replacing, rolling back and
removing: each refused change leaves the store as it was, each finished one is whole."""
import bz2
import gzip
import hashlib
import io
import json
import lzma
import os
import random
import tarfile

import pytest
from support.archives import archive, raw_member
from support.backends import backend, database_url, postgres_server  # noqa: F401 (fixtures)
from support.snapshots import files_of, store_state
from webapp_support import TOKEN, app_settings, native

pytestmark = native


def upload(c, name, payload, replace=False):
    data = {"type": "plugin", "formFile": (io.BytesIO(payload), name)}
    if replace:
        data["replace"] = "1"
    return c.post("/upload", data=data, content_type="multipart/form-data")


def tar_bytes(members, fmt=tarfile.PAX_FORMAT, pax=None):
    """An uncompressed tar of `members` as `archive` takes them, each dated 1700000000."""
    return archive(members, "", pax=pax, mtime=1700000000, format=fmt, encoding="utf-8",
                   errors="surrogateescape")


def listing(c, **args):
    r = c.get("/plugins/plugin", query_string=args, headers={"Accept": "application/json"})
    assert r.status_code == 200, r.data[:300]
    return r.get_json()


@pytest.fixture
def store(client):
    """The client, with weather installed from weather.tar.gz (version 1)."""
    c, data = client
    r = upload(c, "weather.tar.gz", archive({"weather/main.py": b"v1", "weather/old.py": b"v1"}))
    assert r.status_code == 200, r.get_json()
    return c, data


def refused(store, name, payload, status, reason, replace=False):
    c, data = store
    before = store_state(data)
    r = upload(c, name, payload, replace)
    assert r.status_code == status and reason in r.get_json()["error"], r.get_json()
    assert store_state(data) == before
    return r


def level0_flipped():
    payload = bytearray(gzip.compress(tar_bytes({"weather/": None, "weather/main.py": b"A" * 600}),
                                      compresslevel=0))
    at = bytes(payload).index(b"A" * 600) + 300
    payload[at] ^= 0x01
    return bytes(payload)


def cut_after_data():
    whole = gzip.compress(tar_bytes({"weather/main.py": os.urandom(4000)}))
    return whole[:-8]  # the CRC and length trailer gone


@pytest.mark.parametrize("payload, status, reason", [
    (level0_flipped(), 400, "CRC does not match"),
    (cut_after_data(), 400, "cut short"),
    (gzip.compress(tar_bytes({"weather/main.py": b"x" * 9000}))[:-4], 400, "cut short"),
    (bz2.compress(tar_bytes({"weather/main.py": b"v2"})), 400, "not a gzip-compressed tar archive"),
    (lzma.compress(tar_bytes({"weather/main.py": b"v2"})), 400, "not a gzip-compressed tar archive"),
    (tar_bytes({"weather/main.py": b"v2"}), 400, "not a gzip-compressed tar archive"),
    (gzip.compress(b"just some text, not a tar at all\n" * 40), 400,
     "not a gzip-compressed tar archive"),
    (gzip.compress(tar_bytes({"weather/main.py": b"v2"}) + b"junk" * 300), 400,
     "not a tar header"),
    (b"", 400, "not a gzip-compressed tar archive"),
], ids=["level0-flipped-byte", "trailer-cut", "length-cut", "bzip2", "xz", "plain-tar",
        "gzip-not-tar", "garbage-after-tar", "empty"])
def test_damaged_or_disguised_archive_is_refused(store, payload, status, reason):
    refused(store, "weather.tar.gz", payload, status, reason)


def test_bit_flips_never_install_wrong_content(store):
    c, data = store
    content = {"weather/main.py": b"print('v2')\n" * 200, "weather/data.txt": os.urandom(3000)}
    good = gzip.compress(tar_bytes(content), compresslevel=9)
    rng = random.Random(16)
    outcomes = set()
    for _ in range(60):
        flipped = bytearray(good)
        bit = rng.randrange(len(flipped) * 8)
        flipped[bit // 8] ^= 1 << (bit % 8)
        r = upload(c, "weather.tar.gz", bytes(flipped))
        installed = files_of(str(data / "plugin" / "weather"))
        # a flip in the header's name or mtime field may be harmless; the content never lies
        assert r.status_code in (200, 400), r.get_json()
        if r.status_code == 200:
            assert installed == {k.split("/", 1)[1]: v for k, v in content.items()}
        else:
            assert installed in ({"main.py": b"v1", "old.py": b"v1"},
                                 {k.split("/", 1)[1]: v for k, v in content.items()})
        outcomes.add(r.status_code)
    assert 400 in outcomes


def gnu_long_names(count, size):
    """`count` GNU long-name headers of `size` bytes each, before one member."""
    long_name = raw_member("././@LongLink", b"weather/" + b"n" * (size - 9) + b"\0",
                           tarfile.GNUTYPE_LONGNAME)
    return long_name * count + tar_bytes({"weather/x": b"x"}, fmt=tarfile.GNU_FORMAT)


@pytest.mark.parametrize("payload, status, reason", [
    (gzip.compress(tar_bytes({"weather/a": b"a", "weather/b": b"b"},
                             pax={"weather/b": {"mtime": "nan"}})), 400, "modification time"),
    (gzip.compress(tar_bytes({"weather/a": b"a", "weather/": None},
                             pax={"weather/": {"mtime": "1e400"}})), 400, "modification time"),
    (gzip.compress(tar_bytes({"weather/a": b"a", "weather/b": b"b"},
                             pax={"weather/b": {"path": "weather/b\0c"}})), 400,
     "control character"),
    (gzip.compress(gnu_long_names(1, 1 << 20)), 400, "extended header holds"),
    (gzip.compress(gnu_long_names(20, 200)), 400, "extended headers precede"),
    (gzip.compress(tar_bytes({"weather/a": b"a"}, pax={"weather/a": {"size": "1"}})), 400,
     "PAX size"),
], ids=["pax-mtime-nan", "pax-mtime-inf", "pax-path-nul", "gnu-long-name-1MiB",
        "long-name-chain", "pax-size"])
def test_every_header_is_checked_before_anything_is_written(store, payload, status, reason):
    refused(store, "weather.tar.gz", payload, status, reason)


def split_gzip(plain, cuts, padding=b""):
    """`plain` as several gzip members, cut at `cuts`, with `padding` after each member."""
    bounds = [0] + list(cuts) + [len(plain)]
    return b"".join(gzip.compress(plain[a:b]) + padding for a, b in zip(bounds, bounds[1:]))


@pytest.mark.parametrize("cuts, padding", [
    ((100,), b""),  # inside the first header
    ((512, 1536), b""),  # at header boundaries
    ((700, 5000, 9001), b"\0" * 30),  # inside member data, zeros between the members
    (tuple(range(256, 12000, 997)), b""),  # many small members
], ids=["in-header", "at-headers", "in-data-padded", "many"])
def test_archive_in_several_gzip_members_installs_whole(store, cuts, padding):
    """The tar stream is read as it is inflated: a member or a header that spans gzip members
    (as concatenated archives have) is read whole."""
    c, data = store
    content = {"weather/": None, "weather/main.py": os.urandom(5000),
               "weather/data/b.bin": os.urandom(4000), "weather/z": b""}
    payload = split_gzip(tar_bytes(content), cuts, padding)
    r = upload(c, "weather.tar.gz", payload)
    assert r.status_code == 200, r.get_json()
    entry, = listing(c)["entries"]
    assert entry["sha256"] == hashlib.sha256(payload).hexdigest()
    assert entry["size"] == len(payload)
    assert files_of(str(data / "plugin" / "weather")) == {
        k.split("/", 1)[1]: v for k, v in content.items() if v is not None}
    assert os.listdir(str(data / ".staging")) == []


def test_zeros_after_the_archive_are_bounded(operator_client):
    """The end marker may be followed by zeros; a flood of them (cheap to send gzipped) is
    refused once the stream passes what the limits allow, not inflated to its end."""
    c, data = operator_client(VIEW_MAX_EXPANDED="1M", VIEW_MAX_MEMBERS="10")
    before = store_state(data)
    flood = gzip.compress(tar_bytes({"weather/a": b"a"}) + bytes(24 << 20), compresslevel=1)
    r = upload(c, "weather.tar.gz", flood)
    assert r.status_code == 413 and "1 MiB" in r.get_json()["error"], r.get_json()
    assert store_state(data) == before


def test_extended_headers_count_against_the_limits(operator_client):
    c, data = operator_client(VIEW_MAX_MEMBERS="20")
    members = {"weather/%02d" % i: b"x" for i in range(12)}
    pax = {name: {"comment": "c" * 100} for name in members}
    r = upload(c, "weather.tar.gz", gzip.compress(tar_bytes(members, pax=pax)))
    assert r.status_code == 400 and "more than 20 members" in r.get_json()["error"]
    assert os.listdir(str(data / "plugin")) == []


DEEP = "/".join(["d"] * 65)


@pytest.mark.parametrize("members, reason", [
    ({"weather/bad\udcffname": b"x"}, "not valid UTF-8"),
    ({"weather/line\nbreak": b"x"}, "control character"),
    ({"weather/\u202etxt.exe": b"x"}, "bidirectional control"),
    ({"weather/\u2066x": b"x"}, "bidirectional control"),
    ({"weather/" + DEEP: b"x"}, "deeper than 64 levels"),
    ({"weather/main.py": b"x", "other/main.py": b"y"}, "more than one top-level entry"),
    ({"main.py": b"x", "plugin.json": b"{}"}, "tar czf NAME.tar.gz NAME/"),
    ({"./": None, "./main.py": b"x", "./static/a": b"y"}, "tar czf NAME.tar.gz NAME/"),
    ({"weather": b"a file, not a folder"}, "is a file, not a folder"),
], ids=["not-utf8", "newline", "rlo", "isolate", "deep", "two-tops", "flat", "flat-dot",
        "top-file"])
def test_hostile_member_names_are_refused(store, members, reason):
    refused(store, "weather.tar.gz", gzip.compress(tar_bytes(members)), 400, reason)


def test_nfc_twin_of_an_installed_name_is_refused(client):
    c, data = client
    nfc, nfd = "caf\u00e9", "cafe\u0301"
    assert upload(c, "cafe.tar.gz", archive({nfc + "/a": b"1"})).status_code == 200
    refused((c, data), "cafe2.tar.gz", archive({nfd + "/a": b"2"}), 400, "normalisation")
    assert upload(c, "cafe.tar.gz", archive({nfc + "/a": b"3"})).status_code == 200


def test_replace_is_whole_keeps_one_generation_and_rolls_back(store):
    c, data = store
    weather = str(data / "plugin" / "weather")
    # another archive name for an installed folder: 409 unless asked to replace
    refused(store, "weather-2.tar.gz", archive({"weather/main.py": b"v2"}), 409, "replace")
    assert upload(c, "weather-2.tar.gz", archive({"weather/main.py": b"v2"}),
                  replace=True).status_code == 200
    assert files_of(weather) == {"main.py": b"v2"}  # old.py did not stay behind
    entry, = listing(c)["entries"]
    assert entry["archive"] == "weather-2.tar.gz" and entry["previous"]["archive"] == "weather.tar.gz"
    assert upload(c, "weather-2.tar.gz", archive({"weather/main.py": b"v3"})).status_code == 200
    assert c.post("/rollback/plugin/weather").status_code == 200
    assert files_of(weather) == {"main.py": b"v2"}
    assert c.post("/rollback/plugin/weather").status_code == 200  # and forth again
    assert files_of(weather) == {"main.py": b"v3"}
    assert sorted(os.listdir(str(data / ".previous"))) == ["weather"]  # one generation
    assert os.listdir(str(data / ".staging")) == []
    r = c.post("/rollback/plugin/nothing")
    assert r.status_code == 404
    assert c.get("/remove/plugin/weather").status_code == 200
    assert os.listdir(str(data / "plugin")) == [] and os.listdir(str(data / ".previous")) == []
    history = c.get("/history").get_json()["history"]
    assert [h["action"] for h in history[:7]] == ["remove", "refusal", "rollback", "rollback",
                                                  "replace", "replace", "refusal"]
    assert all(h["who"] == "operator" for h in history)
    assert "404" in history[1]["result"] and "409" in history[6]["result"]


def test_an_archive_cannot_touch_another_plug_in(client):
    c, data = client
    assert upload(c, "base.tar.gz", archive({"base/conf": b"base"})).status_code == 200
    refused((c, data), "other.tar.gz", archive({"other/a": b"o", "base/conf": b"evil"}), 400,
            "more than one top-level entry")
    refused((c, data), "other.tar.gz", archive({"base/conf": b"evil"}), 409, "replace")


def hand_made(data, name):
    path = os.path.join(str(data), "plugin", name)
    os.makedirs(os.path.join(path, "sub"))
    with open(os.path.join(path, "sub", "f"), "wb") as f:
        f.write(b"x")
    return path


@pytest.mark.parametrize("name", [
    "bad\udcffname", "line\nbreak", "\u202eevil", "spaces and %25 percent", "..\\x", "a?b#c",
], ids=["not-utf8", "newline", "rlo", "percent", "backslash", "query-chars"])
def test_every_listed_name_shows_safely_and_can_be_removed(backend, name):  # noqa: F811
    c, data = backend.client()
    path = hand_made(data, name)
    page = c.get("/plugins/plugin")
    assert page.status_code == 200
    entry, = listing(c)["entries"]
    assert "\u202e" not in entry["name"] and "\n" not in entry["name"]
    assert "\u202e" not in page.get_data(as_text=True)
    assert not entry["recorded"]
    r = c.get("/remove/plugin/" + entry["path"])
    assert r.status_code == 200, r.get_json()
    assert not os.path.lexists(path)


def test_removal_of_a_very_deep_tree(client):
    c, data = client
    path = os.path.join(str(data), "plugin", "deep")
    fd = os.open(str(data / "plugin"), os.O_RDONLY)
    os.mkdir("deep", dir_fd=fd)
    for _ in range(1500):  # deeper than any recursion limit, longer than PATH_MAX
        child = os.open("deep", os.O_RDONLY, dir_fd=fd)
        os.close(fd)
        fd = child
        os.mkdir("deep", dir_fd=fd)
    os.close(fd)
    r = c.get("/remove/plugin/deep")
    assert r.status_code == 200, r.get_json()
    assert not os.path.lexists(path)


def test_listing_pages_searches_and_answers_json(client):
    c, data = client
    for i in range(120):
        os.mkdir(os.path.join(str(data), "plugin", "p%03d" % i))
    assert upload(c, "zz.tar.gz", archive({"zz/a": b"a"})).status_code == 200
    first = listing(c)
    assert first["total"] == 121 and first["pages"] == 3 and len(first["entries"]) == 50
    assert first["entries"][0]["name"] == "p000"
    last = listing(c, page=3)
    zz = last["entries"][-1]
    assert zz["name"] == "zz" and zz["members"] == 1 and zz["installed_by"] == "operator"
    assert len(zz["sha256"]) == 64 and zz["size"] > 0
    assert [e["name"] for e in listing(c, q="P11")["entries"]] == ["p%03d" % i
                                                                   for i in range(110, 120)]
    page = c.get("/plugins/plugin?page=2").get_data(as_text=True)
    assert 'data-name="p050"' in page and 'data-name="p000"' not in page
    assert json.loads(c.get("/plugins/api_module", headers={"Accept": "application/json"})
                      .data)["entries"] == []


def test_a_start_sweeps_what_a_kill_left(client, tmp_path, monkeypatch, caplog):
    """What a process killed mid-change leaves, as a start finds it: finished or undone."""
    from view_plugin_manager import create_app

    c, data = client
    assert upload(c, "weather.tar.gz", archive({"weather/main.py": b"v1"})).status_code == 200
    store = c.application.config["VIEW_STORE"]
    # a change recorded as pending, killed after the exchange: finished at start
    tx = "dead-1"
    tree = data / ".staging" / tx / "tree" / "weather"
    tree.mkdir(parents=True)
    (tree / "main.py").write_bytes(b"v2")
    store.record.begin(tx, "replace", "weather", os.lstat(str(tree)).st_ino,
                       {"archive": "weather.tar.gz", "installed_by": "operator"})
    from view_plugin_manager.store import exchange
    exchange(str(tree), str(data / "plugin" / "weather"), str(data / ".staging" / tx / "aside"))
    # another killed before its rename: undone
    tree2 = data / ".staging" / "dead-2" / "tree" / "rain"
    tree2.mkdir(parents=True)
    store.record.begin("dead-2", "install", "rain", os.lstat(str(tree2)).st_ino, {})
    # and a half-unpacked upload with no pending row
    (data / ".staging" / "dead-3" / "tree" / "x").mkdir(parents=True)
    with caplog.at_level("WARNING"):
        c2 = create_app(app_settings(VIEW_DATA=str(data), VIEW_TOKEN=TOKEN)).test_client()
    swept = [r for r in caplog.records if "swept" in r.getMessage()]
    assert len(swept) == 5, [r.getMessage() for r in swept]  # 2 pending + 3 folders
    assert files_of(str(data / "plugin" / "weather")) == {"main.py": b"v2"}
    assert files_of(str(data / ".previous" / "weather")) == {"main.py": b"v1"}
    assert os.listdir(str(data / "plugin")) == ["weather"]
    assert os.listdir(str(data / ".staging")) == []
    c2.environ_base.update(c.environ_base)
    assert c2.post("/rollback/plugin/weather").status_code == 200
    assert files_of(str(data / "plugin" / "weather")) == {"main.py": b"v1"}


def test_module_upload_is_atomic(client, monkeypatch):
    c, data = client
    (data / "temp" / "tool.py").write_bytes(b"old = 1\n")
    import shutil

    def broken(src, dst, length=0):
        dst.write(src.read(10))
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(shutil, "copyfileobj", broken)
    r = c.post("/upload", data={"type": "api_module",
                                "formFile": (io.BytesIO(b"new = 2\n" * 1000), "tool.py")},
               content_type="multipart/form-data")
    assert r.status_code == 507 and "disk is full" in r.get_json()["error"]
    assert (data / "temp" / "tool.py").read_bytes() == b"old = 1\n"
    assert os.listdir(str(data / ".staging")) == []


# --- a record write that fails after the rename ---------------------------------------------

def restarted(c, data):
    """A new application on the same data folder (a server's next start), signed in as `c`;
    a node of the shared mode has made its first round of convergence when it is returned."""
    from view_plugin_manager import create_app
    from view_plugin_manager.settings import shared

    made = getattr(c, "backend", None)
    if made is None:
        c2 = create_app(app_settings(VIEW_DATA=str(data), VIEW_TOKEN=TOKEN)).test_client()
        c2.environ_base.update(c.environ_base)
        return c2
    c2 = made.restart(c, data)
    c2.backend = made
    controller = shared(c2.application).controller
    if controller is not None:
        controller.converge(verify=True)
    return c2


def agree(c, data):
    """The record describes what is in place: every folder listed and recorded, each with the
    member count of the archive it holds (each version below has its own count of files),
    the kept generation too; and no change left pending."""
    entries = {e["name"]: e for e in listing(c)["entries"]}
    plugins = os.path.join(str(data), "plugin")
    assert sorted(entries) == sorted(os.listdir(plugins))
    for name, e in entries.items():
        assert e["recorded"] and e["members"] == len(files_of(os.path.join(plugins, name))), e
        kept = os.path.join(str(data), ".previous", name)
        assert (e["previous"] is not None) == os.path.isdir(kept), e
        if e["previous"] is not None:
            assert e["previous"]["members"] == len(files_of(kept)), e
    assert store_state(data)[1][2] == [], "a change is left pending"
    return entries


V1 = {"weather/main.py": b"v1", "weather/old.py": b"v1"}
V2 = {"weather/main.py": b"v2"}
V3 = {"weather/main.py": b"v3", "weather/a.py": b"v3", "weather/b.py": b"v3"}
CHANGES = {
    "install": lambda c: upload(c, "rain.tar.gz", archive({"rain/a": b"r"})),
    "replace": lambda c: upload(c, "weather-3.tar.gz", archive(V3), replace=True),
    "rollback": lambda c: c.post("/rollback/plugin/weather"),
    "remove": lambda c: c.get("/remove/plugin/weather"),
}


@pytest.fixture
def two_generations(backend):  # noqa: F811
    """weather installed as V1 and replaced by V2: V1 kept for a rollback; on each backend."""
    c, data = backend.client()
    c.backend = backend
    assert upload(c, "weather.tar.gz", archive(V1)).status_code == 200
    assert upload(c, "weather-2.tar.gz", archive(V2), replace=True).status_code == 200
    agree(c, data)
    return c, data


def record_full(*args, **kwargs):
    import sqlite3

    raise sqlite3.OperationalError("database or disk is full")


@pytest.mark.parametrize("then", ["restart", "next-change"])
@pytest.mark.parametrize("fails", [("finish",), ("finish", "drop_pending")],
                         ids=["record", "record-and-row"])
@pytest.mark.parametrize("action", sorted(CHANGES))
def test_a_change_whose_record_write_fails_is_taken_back(two_generations, action, fails, then):
    """The record write after the rename fails (a full disk: SQLite's own error, no OSError),
    and with it, on a disk that stays full, the dropping of the pending row: 507, and the
    folders and the record as they were, at once, after a start, and through the next change."""
    c, data = two_generations
    before = store_state(data)
    record = c.application.config["VIEW_STORE"].record
    for method in fails:
        setattr(record, method, record_full)
    r = CHANGES[action](c)
    assert r.status_code == 507 and "disk is full" in r.get_json()["error"], r.get_json()
    entries, rows = store_state(data)
    assert (entries, rows[:2]) == (before[0], before[1][:2])
    assert len(rows[2]) == len(fails) - 1  # the row stays only where it could not be dropped
    for method in fails:
        delattr(record, method)
    if then == "restart":
        c = restarted(c, data)
        assert store_state(data) == before
    assert CHANGES[action](c).status_code == 200
    agree(c, data)
    agree(restarted(c, data), data)


@pytest.mark.parametrize("action", sorted(CHANGES))
def test_a_change_neither_recorded_nor_taken_back_is_recorded_next(two_generations, action):
    """Where the rename cannot be taken back either (as after a kill at that instant), the
    answer says the change is in place, and the next change or start records it as it is."""
    c, data = two_generations
    store = c.application.config["VIEW_STORE"]
    store.record.finish = record_full
    store._revert = lambda *args: False
    r = CHANGES[action](c)
    assert r.status_code == 500 and "is in place" in r.get_json()["error"], r.get_json()
    del store.record.finish, store._revert
    assert upload(c, "other.tar.gz", archive({"other/x": b"x"})).status_code == 200
    entries = agree(c, data)
    assert ("weather" in entries) == (action != "remove")
    assert ("rain" in entries) == (action == "install")
    late = c.get("/history").get_json()["history"][1]
    # the shared record took the change with its answer: this node's record only caught up
    result = "ok" if c.backend.shared else "interrupted; finished by the next change"
    assert (late["action"], late["result"]) == (action, result)


class Killed(BaseException):
    """A kill -9 at one step: nothing after it runs, no cleanup either."""


@pytest.mark.parametrize("step", range(4))
@pytest.mark.parametrize("action", sorted(CHANGES))
def test_a_kill_while_a_change_is_taken_back(two_generations, monkeypatch, action, step):
    """The record write fails and the process is killed at each step of taking the change
    back: the next start finishes or undoes it, and the record describes what is in place."""
    from view_plugin_manager import store as store_module

    c, data = two_generations
    store = c.application.config["VIEW_STORE"]
    steps = []

    def counted(real):
        def step_then(*args):
            if steps:
                steps.append(args)
                if len(steps) > step:
                    raise Killed()
            return real(*args)
        return step_then

    class Os(object):
        rename = staticmethod(counted(os.rename))

        def __getattr__(self, name):
            return getattr(os, name)

    def fails(*args, **kwargs):
        steps.append("armed")
        record_full()

    with monkeypatch.context() as m:
        m.setattr(store_module, "os", Os())
        m.setattr(store_module, "exchange", counted(store_module.exchange))
        m.setattr(store_module, "remove_tree", lambda path: None)  # killed: no cleanup
        store.record.finish = fails
        try:
            CHANGES[action](c)
        except Killed:
            steps.append("killed")
        del store.record.finish
    assert steps[-1] == "killed" or step > 0, steps  # every change takes a step back
    entries = agree(restarted(c, data), data)
    assert os.listdir(str(data / ".staging")) == []
    weather = files_of(str(data / "plugin" / "weather")) if "weather" in entries else None
    assert weather in ({"main.py": b"v2"}, {"main.py": b"v1", "old.py": b"v1"},
                       {k.split("/", 1)[1]: v for k, v in V3.items()}, None)


# --- the record file deleted or replaced while the server runs -------------------------------

def record_files(data, suffixes=("",)):
    return [os.path.join(str(data), "record.sqlite3" + s) for s in suffixes]


@pytest.mark.parametrize("deleted", [("",), ("", "-wal", "-shm")], ids=["record", "with-wal"])
def test_a_deleted_record_is_put_back_whole(two_generations, deleted):
    """Deleted while the server runs: the next change goes into a record at its path, holding
    everything recorded before, and a start finds it all."""
    c, data = two_generations
    before = agree(c, data)
    for path in record_files(data, deleted):
        os.unlink(path)
    assert CHANGES["install"](c).status_code == 200
    assert CHANGES["rollback"](c).status_code == 200
    assert os.path.isfile(record_files(data)[0])
    now = agree(c, data)
    assert now["weather"]["sha256"] == before["weather"]["previous"]["sha256"]
    assert agree(restarted(c, data), data) == now


def test_a_replaced_record_stops_changes(two_generations, tmp_path):
    """Another file put in the record's place (an older copy of it, say): changes answer 503
    with the reason and change nothing; listings go on; a start takes up the file there."""
    import sqlite3

    from support.snapshots import STORE_FOLDERS, snapshot

    c, data = two_generations
    path = record_files(data)[0]
    other = str(tmp_path / "other.sqlite3")
    source, copy = sqlite3.connect(path), sqlite3.connect(other, isolation_level=None)
    source.backup(copy)
    copy.execute("PRAGMA journal_mode=DELETE")
    copy.execute("DELETE FROM installed")
    source.close()
    copy.close()
    os.replace(other, path)
    before = {top: snapshot(data / top) for top in STORE_FOLDERS}
    for action in sorted(CHANGES):
        r = CHANGES[action](c)
        assert r.status_code == 503 and "was replaced" in r.get_json()["error"], r.get_json()
    assert {top: snapshot(data / top) for top in STORE_FOLDERS} == before
    assert [e["name"] for e in listing(c)["entries"]] == ["weather"]
    c2 = restarted(c, data)
    assert CHANGES["install"](c2).status_code == 200
    # a node of the shared mode copies weather back from the shared record at its start
    assert {e["name"]: e["recorded"] for e in listing(c2)["entries"]} == {
        "rain": True, "weather": c.backend.shared}


@pytest.mark.parametrize("message, status", [("database or disk is full", 507),
                                             ("database is locked", 500)])
def test_sqlite_errors_outside_a_change(client, message, status):
    """A route that meets SQLite's own full disk answers 507 like any full disk."""
    import sqlite3

    c, data = client

    def fails(*args):
        raise sqlite3.OperationalError(message)

    c.application.config["VIEW_STORE"].record.history = fails
    r = c.get("/history")
    assert r.status_code == status and "error" in r.get_json()


def test_a_listing_puts_a_deleted_record_back(two_generations):
    """Deleted, then only listed before the next start: the start finds it all."""
    c, data = two_generations
    before = agree(c, data)
    os.unlink(record_files(data)[0])
    assert listing(c)["entries"][0]["sha256"] == before["weather"]["sha256"]
    assert agree(restarted(c, data), data) == before
