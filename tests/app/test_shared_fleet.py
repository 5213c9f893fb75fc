"""Three live nodes (`python -m view_plugin_manager --database URL --node NAME`) on one
throw-away PostgreSQL server: a change on one is on the others, a node down catches up at its
start, kill -9 of a node mid-upload and mid-copy, the database stopped mid-upload, and two
changes of one name at once on two nodes. After each: no 500, and every node holds what the
record says."""
import os
import signal
import socket
import threading
import time
import uuid
from concurrent.futures import ThreadPoolExecutor

import pytest
from support.archives import archive
from support.postgres import database_url, postgres_server  # noqa: F401 (fixtures)
from support.snapshots import files_of
from webapp_support import OPERATOR, native, post_upload, request, server_edge

pytestmark = [native, server_edge]
JSON = {"Accept": "application/json"}


def big(name, v, files=400, size=20000):
    """A plug-in whose copy takes a moment: random content, the version in every file."""
    members = {"%s/f/%04d" % (name, i): b"%d" % v + os.urandom(size) for i in range(files)}
    members[name + "/version"] = b"%d" % v
    return archive(members)


class Fleet(object):
    def __init__(self, start_server, tmp_path, url):
        self.start_server, self.tmp_path, self.url = start_server, tmp_path, url
        self.bases, self.procs = {}, {}

    def data(self, node):
        return self.tmp_path / node

    def start(self, node):
        self.bases[node] = self.start_server(self.data(node), args=[
            "--database", self.url, "--node", node])
        self.procs[node] = self.start_server.procs[-1]
        return self.bases[node]

    def kill(self, node):
        proc = self.procs.pop(node)
        proc.send_signal(signal.SIGKILL)
        proc.wait(10)

    def converged(self, via, nodes, timeout=60):
        deadline = time.monotonic() + timeout
        while True:
            # a node that saw the database go away finds it back within a second or so
            status, report = request(self.bases[via], "/fleet", headers=JSON)
            assert status in (200, 503), report
            seen = {n["node"]: n for n in report["nodes"]} if status == 200 else {}
            if all(n in seen and not seen[n]["differs"] and
                   seen[n]["seconds_since_seen"] < 30 for n in nodes):
                break
            assert time.monotonic() < deadline, report
            time.sleep(0.2)
        trees = {n: files_of(str(self.data(n) / "plugin")) for n in nodes}
        first = trees[nodes[0]]
        for node in nodes:
            assert trees[node] == first, "%s differs from %s" % (node, nodes[0])
            assert os.listdir(str(self.data(node) / ".staging")) == []
        return report["record"], first


@pytest.fixture
def fleet(start_server, tmp_path, database_url):  # noqa: F811
    return Fleet(start_server, tmp_path, database_url)


def test_a_change_on_one_node_is_on_every_node_and_a_node_down_catches_up(fleet):
    for node in ("n1", "n2", "n3"):
        fleet.start(node)
    assert post_upload(fleet.bases["n1"], "plugin", "a.tar.gz", big("a", 1, 20))[0] == 200
    record, _ = fleet.converged("n2", ["n1", "n2", "n3"])
    assert list(record) == ["a"]
    fleet.kill("n3")
    assert post_upload(fleet.bases["n2"], "plugin", "b.tar.gz", big("b", 1, 20))[0] == 200
    assert request(fleet.bases["n1"], "/remove/plugin/a")[0] == 200
    fleet.start("n3")
    record, trees = fleet.converged("n3", ["n1", "n2", "n3"])
    assert list(record) == ["b"] and all(path.startswith("b/") for path in trees)


def test_api_modules_are_shared_too(fleet):
    for node in ("n1", "n2"):
        fleet.start(node)
    here = fleet.data("n2") / "temp" / "mine.py"  # n2's own, never in the record: left alone
    here.write_bytes(b"local = 1")
    for content in (b"x = 1", b"x = 2"):
        assert post_upload(fleet.bases["n1"], "api_module", "m.py", content)[0] == 200
        fleet.converged("n1", ["n1", "n2"])
        assert (fleet.data("n2") / "temp" / "m.py").read_bytes() == content
    status, report = request(fleet.bases["n2"], "/fleet", headers=JSON)
    assert list(report["modules"]) == ["m.py"]
    assert request(fleet.bases["n2"], "/remove/api_module/m.py")[0] == 200
    fleet.converged("n1", ["n1", "n2"])
    assert not (fleet.data("n1") / "temp" / "m.py").exists()
    assert request(fleet.bases["n1"], "/remove/api_module/m.py")[0] == 404
    assert here.read_bytes() == b"local = 1"
    assert not (fleet.data("n1") / "temp" / "mine.py").exists()


def slow_upload(base, name, payload, stop_after):
    """Sends the upload's headers and the first `stop_after` bytes of its body, then waits:
    (socket, rest of the body)."""
    boundary = uuid.uuid4().hex
    body = ("--%s\r\nContent-Disposition: form-data; name=\"type\"\r\n\r\nplugin\r\n--%s\r\n"
            "Content-Disposition: form-data; name=\"formFile\"; filename=\"%s.tar.gz\"\r\n"
            "Content-Type: application/octet-stream\r\n\r\n" % (boundary, boundary, name)
            ).encode() + payload + ("\r\n--%s--\r\n" % boundary).encode()
    host, port = base.split("//")[1].split(":")
    sock = socket.create_connection((host, int(port)), timeout=60)
    sock.sendall(("POST /upload HTTP/1.1\r\nHost: %s:%s\r\nAuthorization: %s\r\n"
                  "Content-Type: multipart/form-data; boundary=%s\r\nContent-Length: %d\r\n"
                  "Connection: close\r\n\r\n" % (host, port, OPERATOR["Authorization"],
                                                 boundary, len(body))).encode())
    sock.sendall(body[:stop_after])
    return sock, body[stop_after:]


def answer_status(sock):
    data = b""
    while b"\r\n" not in data:
        chunk = sock.recv(4096)
        if not chunk:
            break
        data += chunk
    sock.close()
    return int(data.split(b" ", 2)[1]) if data else None


def test_kill_9_of_a_node_mid_upload_and_mid_copy(fleet):
    for node in ("n1", "n2"):
        fleet.start(node)
    payload = big("k", 1, 600)
    sock, rest = slow_upload(fleet.bases["n1"], "k", payload, len(payload) // 2)
    time.sleep(0.5)
    fleet.kill("n1")  # half the archive unpacked in its staging folder
    sock.close()
    fleet.start("n1")
    record, _ = fleet.converged("n1", ["n1", "n2"])
    assert record == {}
    # n2 is copying what n1 was sent when it dies; it finishes or starts over at its start
    assert post_upload(fleet.bases["n1"], "plugin", "k.tar.gz", payload)[0] == 200
    staging = str(fleet.data("n2") / ".staging")
    deadline = time.monotonic() + 30
    while not os.listdir(staging) and time.monotonic() < deadline:
        time.sleep(0.01)
    fleet.kill("n2")
    fleet.start("n2")
    record, trees = fleet.converged("n2", ["n1", "n2"])
    assert list(record) == ["k"] and trees["k/version"] == b"1"


def test_the_database_stopped_mid_upload_then_started(fleet, postgres_server):  # noqa: F811
    for node in ("n1", "n2"):
        fleet.start(node)
    payload = big("s", 1, 300)
    sock, rest = slow_upload(fleet.bases["n1"], "s", payload, len(payload) // 2)
    postgres_server.stop("fast")
    try:
        sock.sendall(rest)
        assert answer_status(sock) == 503
        status, body = request(fleet.bases["n2"], "/plugins/plugin", headers=JSON)
        assert status == 200 and body["entries"] == []
    finally:
        postgres_server.start()
    deadline = time.monotonic() + 30
    while True:
        status, body = post_upload(fleet.bases["n1"], "plugin", "s.tar.gz", payload)
        if status == 200 or time.monotonic() > deadline:
            break
        assert status == 503, body
        time.sleep(0.5)
    assert status == 200, body
    record, trees = fleet.converged("n2", ["n1", "n2"])
    assert list(record) == ["s"]


def test_two_changes_of_one_name_at_once_on_two_nodes(fleet):
    nodes = ("n1", "n2", "n3")
    for node in nodes:
        fleet.start(node)
    versions = {v: big("c", v, 100) for v in range(1, 7)}
    statuses = []

    def change(v):
        node = nodes[v % 2]
        if v == 5:
            return request(fleet.bases[node], "/remove/plugin/c")[0]
        if v == 6:
            return request(fleet.bases[node], "/rollback/plugin/c", data=b"")[0]
        return post_upload(fleet.bases[node], "plugin", "c.tar.gz", versions[v],
                           {"replace": "1"})[0]

    lock = threading.Lock()
    with ThreadPoolExecutor(6) as pool:
        for status in pool.map(change, [1, 2, 3, 4, 5, 6, 1, 2]):
            with lock:
                statuses.append(status)
    assert 500 not in statuses and set(statuses) <= {200, 404, 409}, statuses
    record, trees = fleet.converged("n3", list(nodes))
    if record:
        assert len({content[:1] for content in trees.values()}) == 1  # one version, whole


SOAK_SECONDS = float(os.environ.get("VIEW_SOAK_SECONDS", "60"))


def test_three_nodes_with_two_workers_under_mixed_changes(fleet):
    nodes = ("n1", "n2", "n3")
    for node in nodes:
        fleet.bases[node] = fleet.start_server(fleet.data(node), args=[
            "--database", fleet.url, "--node", node, "--workers", "2"])
    names = ("m0", "m1", "m2")
    payloads = {(n, v): big(n, v, 30, 5000) for n in names for v in range(1, 4)}
    deadline = time.monotonic() + SOAK_SECONDS
    statuses, lock = [], threading.Lock()

    def worker(seed):
        import random
        rng = random.Random(seed)
        while time.monotonic() < deadline:
            base = fleet.bases[rng.choice(nodes)]
            name, roll = rng.choice(names), rng.random()
            if roll < 0.6:
                v = rng.randint(1, 3)
                status = post_upload(base, "plugin", name + ".tar.gz", payloads[(name, v)],
                                     {"replace": "1"})[0]
            elif roll < 0.75:
                status = request(base, "/rollback/plugin/" + name, data=b"")[0]
            elif roll < 0.9:
                status = request(base, "/remove/plugin/" + name)[0]
            else:
                status = request(base, "/plugins/plugin", headers=JSON)[0]
            with lock:
                statuses.append(status)

    with ThreadPoolExecutor(6) as pool:
        list(pool.map(worker, range(6)))
    assert 500 not in statuses and set(statuses) <= {200, 404, 409}, sorted(set(statuses))
    assert statuses.count(200) > 20
    record, trees = fleet.converged("n1", list(nodes))
    for name in names:
        versions = {content[:1] for path, content in trees.items() if path.startswith(name)}
        assert len(versions) <= 1, (name, versions)  # one version, whole
    for node in nodes:
        status, listing = request(fleet.bases[node], "/plugins/plugin", headers=JSON)
        folders = sorted(os.listdir(str(fleet.data(node) / "plugin")))
        assert sorted(e["name"] for e in listing["entries"]) == folders == sorted(record)
        assert all(e["recorded"] and e["sha256"] == record[e["name"]]
                   for e in listing["entries"])
