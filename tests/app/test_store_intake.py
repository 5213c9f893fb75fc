"""The upload's intake on its own: whatever pieces the parser hands over, and however little
room the flow to the unpacker has, every byte is hashed and unpacked once and nothing hangs."""
import hashlib
import os
import threading
from urllib.parse import quote

import pytest
from support.archives import archive
from webapp_support import native

pytestmark = native

KIB = 1024


def run_intake(tmp_path, monkeypatch, payload, pieces, backlog):
    """Feeds `payload` to an Intake in pieces of the sizes `pieces` cycles through, with a
    flow of `backlog` bytes; (finish()'s result or the exception it raised, the tree)."""
    from view_plugin_manager import store
    from view_plugin_manager.admission import limits_from

    monkeypatch.setattr(store.Intake, "BACKLOG", backlog)
    data = tmp_path / "data"
    (data / "plugin").mkdir(parents=True)
    intake = store.Intake(str(data), limits_from({}), len(payload))
    outcome = {}

    def feed():  # in a thread of its own, so that a lost wake-up fails the test, not hangs it
        try:
            at, i = 0, 0
            while at < len(payload):
                size = pieces[i % len(pieces)]
                intake.write(payload[at:at + size])
                at, i = at + size, i + 1
            outcome["result"] = intake.finish()
        except Exception as e:
            outcome["result"] = e

    worker = threading.Thread(target=feed, daemon=True)
    worker.start()
    worker.join(60)
    try:
        assert not worker.is_alive(), "the intake hung"
        tree = {}
        for root, _, files in os.walk(intake.tree):
            for name in files:
                path = os.path.join(root, name)
                with open(path, "rb") as f:
                    tree[os.path.relpath(path, intake.tree)] = f.read()
        return outcome["result"], tree
    finally:
        intake.close()


CONTENTS = {"weather/blob%d" % i: os.urandom(300 * KIB + i) for i in range(5)}
CONTENTS["weather/__init__.py"] = b"# the plug-in\n" * 1000


@pytest.mark.parametrize("pieces, backlog", [
    ([64 * KIB], 4 << 20),           # the parser's reads, a flow that never fills
    ([64 * KIB], 96 * KIB),          # the writer waits for room at nearly every batch
    ([1, 7, 4093, 65536, 100000], 200 * KIB),  # pieces of every size, batches cut anywhere
    ([8 << 20], 64 * KIB),           # one write larger than the flow
])
def test_every_byte_is_hashed_and_unpacked_once(tmp_path, monkeypatch, pieces, backlog):
    payload = archive(CONTENTS, level=1)
    result, tree = run_intake(tmp_path, monkeypatch, payload, pieces, backlog)
    assert not isinstance(result, Exception), result
    sha, size, top, members = result
    assert (sha, size, top) == (hashlib.sha256(payload).hexdigest(), len(payload), "weather")
    assert tree == CONTENTS


@pytest.mark.parametrize("cut", [1000, 200 * KIB])
def test_a_damaged_stream_is_refused_without_hanging_the_writer(tmp_path, monkeypatch, cut):
    """The unpacker stops at the damage; the writer, waiting for room, goes on to the end."""
    good = archive(CONTENTS, level=1)
    payload = good[:cut] + os.urandom(len(good) - cut)
    result, _ = run_intake(tmp_path, monkeypatch, payload, [64 * KIB], 64 * KIB)
    assert getattr(result, "status", None) == 400, result


@pytest.mark.parametrize("name", [
    "weather", "a-b_c.d~e", "with space", "per%cent", "que?ry", "frag#ment", "caf\u00e9",
    "bad\udcffbyte", "line\nbreak", "plus+sign", "",
])
def test_url_part_encodes_as_percent_encoding_of_the_bytes(name):
    from view_plugin_manager.store_routes import url_part

    assert url_part(name) == quote(os.fsencode(name), safe="")
