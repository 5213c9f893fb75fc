"""Several nodes on one PostgreSQL database, as applications in this process (each with its data
folder and its controller thread): changes, sessions, guessing counts, the fleet, a damaged
record or copy, and the database going away. The same on live servers: test_shared_fleet.py."""
import io
import os
import time

import pytest
from support.archives import archive
from support.postgres import database_url, postgres_server  # noqa: F401 (fixtures)
from webapp_support import OPERATOR, TOKEN, app_settings, native

pytestmark = native
JSON = {"Accept": "application/json"}


def wait_for(predicate, timeout=30, what="the nodes to converge"):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.1)
    pytest.fail("timed out waiting for " + what)


def plugin(name, text, extra=()):
    contents = {name + "/": None, name + "/main.py": text.encode()}
    contents.update({name + "/" + e: b"e" for e in extra})
    return archive(contents)


def upload(client, name, payload, replace=False, archive_name=None):
    fields = {"type": "plugin", "formFile": (io.BytesIO(payload), archive_name or name + ".tar.gz")}
    if replace:
        fields["replace"] = "1"
    r = client.post("/upload", data=fields)
    return r.status_code, r.get_json()


def tree(data, name):
    """The files of plugin/NAME, None where there is no such folder, or "changing" where a
    node's controller moves it while it is read (it equals no tree a test waits for)."""
    folder = os.path.join(str(data), "plugin", name)
    if not os.path.isdir(folder):
        return None
    found = {}
    for d, _, files in os.walk(folder):
        for f in files:
            try:
                with open(os.path.join(d, f), "rb") as handle:
                    found[os.path.relpath(os.path.join(d, f), folder)] = handle.read()
            except FileNotFoundError:
                return "changing"
    return found


class Node(object):
    def __init__(self, app, data):
        self.app, self.data = app, data
        self.client = app.test_client()
        self.client.environ_base["HTTP_AUTHORIZATION"] = OPERATOR["Authorization"]

    @property
    def state(self):
        from view_plugin_manager.settings import shared
        return shared(self.app)


@pytest.fixture
def make_nodes(tmp_path, monkeypatch, database_url):  # noqa: F811
    """make_nodes(n, names=...) -> n nodes on one database; `make_nodes.url` is its URL."""
    monkeypatch.chdir(tmp_path)
    made = []

    def make(count=1, first=0, **settings):
        from view_plugin_manager import create_app
        nodes = []
        for i in range(first, first + count):
            data = tmp_path / ("node%d" % i)
            app = create_app(app_settings(VIEW_DATA=str(data), VIEW_TOKEN=TOKEN,
                                          VIEW_DATABASE=database_url, VIEW_NODE="n%d" % i,
                                          **settings))
            app.testing = True
            nodes.append(Node(app, data))
        made.extend(nodes)
        return nodes

    make.url = database_url
    yield make
    for node in made:
        node.state.controller.stopped.set()
    for node in made:
        node.state.controller.stop()
        node.state.database.close()


def same_everywhere(nodes, name, expected):
    return all(tree(node.data, name) == expected for node in nodes)


def test_changes_on_any_node_reach_every_node(make_nodes):
    a, b, c = make_nodes(3)
    v1, v2 = {"main.py": b"v = 1"}, {"main.py": b"v = 2", "extra": b"e"}
    assert upload(a.client, "p", plugin("p", "v = 1")) == (200, {"state": "ok"})
    assert tree(a.data, "p") == v1  # the answer waits for the node's own copy
    wait_for(lambda: same_everywhere([b, c], "p", v1))
    assert upload(b.client, "p", plugin("p", "v = 2", ["extra"]), replace=True)[0] == 200
    wait_for(lambda: same_everywhere([a, c], "p", v2))
    assert c.client.post("/rollback/plugin/p").status_code == 200
    wait_for(lambda: same_everywhere([a, b, c], "p", v1))
    assert a.client.get("/remove/plugin/p").status_code == 200
    wait_for(lambda: same_everywhere([a, b, c], "p", None))
    history = b.client.get("/history").get_json()["history"]
    assert [(h["action"], h["node"]) for h in history] == [
        ("remove", "n0"), ("rollback", "n2"), ("replace", "n1"), ("install", "n0")]
    fleet = wait_for(lambda: (lambda f: f["converged"] and len(f["nodes"]) == 3 and f)(
        c.client.get("/fleet", headers=JSON).get_json()))
    assert fleet["record"] == {} and {n["node"] for n in fleet["nodes"]} == {"n0", "n1", "n2"}


@pytest.mark.parametrize("second, expected", [
    ({"archive_name": "other.tar.gz"}, 409),       # installed elsewhere from another archive
    ({"archive_name": "other.tar.gz", "replace": True}, 200),
    ({}, 200),                                     # the same archive name replaces, as alone
])
def test_a_name_taken_on_another_node_needs_replace(make_nodes, second, expected):
    a, b = make_nodes(2)
    assert upload(a.client, "p", plugin("p", "v = 1"))[0] == 200
    status, body = upload(b.client, "p", plugin("p", "v = 2"), **second)
    assert status == expected, body
    want = {"main.py": b"v = 1" if expected == 409 else b"v = 2"}
    wait_for(lambda: same_everywhere([a, b], "p", want))


def test_a_name_equal_after_nfc_to_one_on_another_node_is_refused(make_nodes):
    a, b = make_nodes(2)
    assert upload(a.client, "caf\u00e9", plugin("caf\u00e9", "v = 1"))[0] == 200
    status, body = upload(b.client, "cafe\u0301", plugin("cafe\u0301", "v = 1"))
    assert status == 400 and "NFC" in body["error"]


@pytest.mark.parametrize("kind", ["plugin", "api_module"])
def test_a_damaged_archive_in_the_record_is_never_put_in_place(make_nodes, kind):
    import psycopg

    (a,) = make_nodes(1)
    if kind == "plugin":
        assert upload(a.client, "p", plugin("p", "v = 1"))[0] == 200
        evil = plugin("p", "evil = 1")
    else:
        os.chdir(str(a.data))  # the module's view stores relative to it
        assert a.client.post("/upload", data={"type": kind, "formFile": (
            io.BytesIO(b"x = 1\n"), "p.py")}).status_code == 200
        evil = b"import os; os.system('evil')\n"
    with psycopg.connect(make_nodes.url, autocommit=True) as conn:
        conn.execute("UPDATE archive_chunks SET data = %s", (evil,))
    (b,) = make_nodes(1, first=1)
    report = wait_for(lambda: [n for n in b.client.get("/fleet", headers=JSON).get_json()["nodes"]
                               if n["node"] == "n1" and n["problems"]])
    assert "SHA-256" in report[0]["problems"][0] and report[0]["differs"]
    assert tree(b.data, "p") is None
    assert not os.path.exists(os.path.join(str(b.data), "temp", "p.py"))
    assert not os.listdir(os.path.join(str(b.data), ".staging"))


@pytest.mark.parametrize("damage", ["delete", "edit", "add", "remove_folder"])
def test_a_copy_damaged_by_hand_comes_back_at_start(make_nodes, damage):
    a, b = make_nodes(2)
    assert upload(a.client, "p", plugin("p", "v = 1", ["x"]))[0] == 200
    good = {"main.py": b"v = 1", "x": b"e"}
    wait_for(lambda: same_everywhere([b], "p", good))
    b.state.controller.stop()
    folder = os.path.join(str(b.data), "plugin", "p")
    if damage == "delete":
        os.unlink(os.path.join(folder, "x"))
    elif damage == "edit":
        with open(os.path.join(folder, "main.py"), "ab") as f:
            f.write(b"# by hand")
    elif damage == "add":
        open(os.path.join(folder, "new.py"), "w").close()
    else:
        import shutil
        shutil.rmtree(folder)
    (again,) = make_nodes(1, first=1)  # the same data folder, started again
    wait_for(lambda: same_everywhere([again], "p", good))


def test_sessions_counts_and_secret_are_shared(make_nodes):
    a, b = make_nodes(2)
    for node in (a, b):
        node.client.environ_base.pop("HTTP_AUTHORIZATION")
    assert a.client.post("/signin", data={"token": TOKEN}).status_code == 302
    cookie = a.client.get_cookie("view_session")
    b.client.set_cookie("view_session", cookie.value)
    assert b.client.get("/plugins/plugin", headers=JSON).status_code == 200
    page = b.client.get("/plugins/plugin", headers={"Accept": "text/html"}).get_data(True)
    csrf = page.split('name="csrf-token" content="')[1].split('"')[0]
    assert b.client.post("/signout", data={"csrf_token": csrf}).status_code == 302
    assert a.client.get("/plugins/plugin", headers=JSON).status_code == 401  # ended everywhere
    for _ in range(6):
        assert a.client.post("/signin", data={"token": "wrong"}).status_code == 401
    r = b.client.post("/signin", data={"token": TOKEN})
    assert r.status_code == 429 and int(r.headers["Retry-After"]) >= 1
    assert a.app.secret_key == b.app.secret_key
    assert not os.path.exists(os.path.join(str(a.data), ".session-secret"))


def test_the_database_away_then_back(make_nodes, postgres_server):  # noqa: F811
    a, b = make_nodes(2)
    assert upload(a.client, "p", plugin("p", "v = 1"))[0] == 200
    wait_for(lambda: same_everywhere([b], "p", {"main.py": b"v = 1"}))
    browser = b.app.test_client()
    postgres_server.stop("immediate")
    try:
        listing = b.client.get("/plugins/plugin", headers=JSON)
        assert listing.status_code == 200
        assert [e["name"] for e in listing.get_json()["entries"]] == ["p"]
        assert b.client.get("/plugins/plugin", headers={"Accept": "text/html"}).status_code == 200
        for client in (a.client, b.client):
            status, body = upload(client, "q", plugin("q", "v = 1"))
            assert status == 503 and "unavailable" in body["error"]
            for r in (client.get("/remove/plugin/p"), client.post("/rollback/plugin/p")):
                assert r.status_code == 503 and "unavailable" in r.get_json()["error"]
        r = browser.post("/signin", data={"token": TOKEN})
        assert r.status_code == 503 and "unavailable" in r.get_json()["error"]
        assert tree(b.data, "p") == {"main.py": b"v = 1"}  # the installed copy goes on
    finally:
        postgres_server.start()
    wait_for(lambda: upload(b.client, "q", plugin("q", "v = 1"))[0] == 200, what="the upload")
    wait_for(lambda: same_everywhere([a, b], "q", {"main.py": b"v = 1"}))
    assert browser.post("/signin", data={"token": TOKEN}).status_code == 302
    assert browser.get("/plugins/plugin", headers=JSON).status_code == 200


def test_the_fleet_marks_a_node_that_differs_or_was_not_seen(make_nodes):
    import psycopg

    (a,) = make_nodes(1)
    assert upload(a.client, "p", plugin("p", "v = 1"))[0] == 200
    wait_for(lambda: [n for n in a.client.get("/fleet", headers=JSON).get_json()["nodes"]
                      if n["node"] == "n0" and not n["differs"]])
    with psycopg.connect(make_nodes.url, autocommit=True) as conn:
        conn.execute("INSERT INTO nodes (node, last_seen, in_place) VALUES "
                     "('gone', %s, '{}'), ('behind', %s, '{\"p\": \"0000\"}')",
                     (time.time() - 120, time.time()))
    fleet = a.client.get("/fleet", headers=JSON).get_json()
    state = {n["node"]: (n["differs"], n["stale"]) for n in fleet["nodes"]}
    assert state == {"n0": (False, False), "gone": (True, True), "behind": (True, False)}
    assert not fleet["converged"]
    for path in ("/fleet", "/plugins/plugin"):
        page = a.client.get(path, headers={"Accept": "text/html"}).get_data(as_text=True)
        assert 'id="fleet"' in page and "not seen for 60 s" in page
        assert "differs from the record" in page and "as recorded" in page


def test_a_data_folder_that_joins_a_fleet_keeps_its_own_plug_ins(make_nodes, tmp_path):
    from view_plugin_manager import create_app

    alone = create_app(app_settings(VIEW_DATA=str(tmp_path / "node0"), VIEW_TOKEN=TOKEN))
    client = alone.test_client()
    client.environ_base["HTTP_AUTHORIZATION"] = OPERATOR["Authorization"]
    assert upload(client, "old", plugin("old", "v = 0"))[0] == 200
    a, b = make_nodes(2)  # node0 is the folder above, now a node of a fleet
    assert upload(b.client, "new", plugin("new", "v = 1"))[0] == 200
    wait_for(lambda: same_everywhere([a], "new", {"main.py": b"v = 1"}))
    a.state.controller.converge(verify=True)
    assert tree(a.data, "old") == {"main.py": b"v = 0"}
    assert tree(b.data, "old") is None
    mine = [n for n in a.client.get("/fleet", headers=JSON).get_json()["nodes"]
            if n["node"] == "n0"][0]
    assert mine["differs"] and set(mine["in_place"]) == {"old", "new"}
    assert a.client.get("/remove/plugin/old").status_code == 200  # removable as before
    assert tree(a.data, "old") is None


@pytest.mark.parametrize("payload, status", [
    (b"not gzip at all", 400),
    (plugin("p", "v = 1")[:-40], 400),             # cut short
    (plugin("p", "v = 2"), 409),                    # the name is taken from another archive
])
def test_a_refused_upload_keeps_no_archive_in_the_database(make_nodes, payload, status):
    import psycopg

    (a,) = make_nodes(1)
    assert upload(a.client, "p", plugin("p", "v = 1"))[0] == 200

    def archives():
        with psycopg.connect(make_nodes.url, autocommit=True) as conn:
            return conn.execute("SELECT count(*), (SELECT count(*) FROM archive_chunks) "
                                "FROM archives").fetchone()

    before = archives()
    assert upload(a.client, "p", payload, archive_name="other.tar.gz")[0] == status
    assert archives() == before
    assert tree(a.data, "p") == {"main.py": b"v = 1"}


# --- a database that goes away mid-change, names it cannot hold, copies changed by hand ------

def drop_the_change_connection(url):
    """Cuts the connection of the change in progress (idle inside its transaction), as a
    network or a server that goes away at that instant does."""
    import psycopg

    with psycopg.connect(url, autocommit=True) as conn:
        killed = conn.execute(
            "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = "
            "current_database() AND pid <> pg_backend_pid() AND state LIKE 'idle in "
            "transaction%'").fetchall()
    assert killed, "no change was in progress"


def shared_state(url):
    import psycopg

    with psycopg.connect(url, autocommit=True) as conn:
        return sorted(conn.execute("SELECT kind, name, sha256 FROM entries").fetchall()), sorted(
            conn.execute("SELECT kind, name, sha256 FROM previous").fetchall())


CHANGES = {
    "install": lambda c: upload(c, "q", plugin("q", "v = 1"))[0],
    "replace": lambda c: upload(c, "p", plugin("p", "v = 3", ["x"]), replace=True)[0],
    "rollback": lambda c: c.post("/rollback/plugin/p").status_code,
    "remove": lambda c: c.get("/remove/plugin/p").status_code,
}


@pytest.mark.parametrize("action", sorted(CHANGES))
def test_a_commit_that_fails_after_the_rename_takes_the_change_back(make_nodes, action):
    """The database goes away after this node put its copy in place and wrote its record,
    before the commit: 503, this node's folders and record as they were, the shared record
    too, the other node untouched; once the database answers, the same change goes through."""
    from support.snapshots import store_state

    a, b = make_nodes(2)
    assert upload(a.client, "p", plugin("p", "v = 1"))[0] == 200
    assert upload(a.client, "p", plugin("p", "v = 2"), replace=True)[0] == 200
    wait_for(lambda: same_everywhere([b], "p", {"main.py": b"v = 2"}))
    before, shared_before = store_state(a.data), shared_state(make_nodes.url)
    record = a.state.store.record
    real = record.finish

    def finish_then_lose_the_database(*args, **kwargs):
        real(*args, **kwargs)
        drop_the_change_connection(make_nodes.url)

    record.finish = finish_then_lose_the_database
    try:
        assert CHANGES[action](a.client) == 503
    finally:
        del record.finish
    assert store_state(a.data)[0] == before[0]
    assert store_state(a.data)[1][:2] == before[1][:2] and store_state(a.data)[1][2] == []
    assert shared_state(make_nodes.url) == shared_before
    assert tree(b.data, "p") == {"main.py": b"v = 2"}
    wait_for(lambda: CHANGES[action](a.client) == 200, what="the change to go through")
    want = {"install": {"main.py": b"v = 2"}, "replace": {"main.py": b"v = 3", "x": b"e"},
            "rollback": {"main.py": b"v = 1"}, "remove": None}[action]
    wait_for(lambda: same_everywhere([a, b], "p", want))


def test_a_module_change_the_database_does_not_take_keeps_the_file(make_nodes, monkeypatch):
    from view_plugin_manager import shared

    (a,) = make_nodes(1)
    module = os.path.join(str(a.data), "temp", "tool.py")

    def send(text):
        return a.client.post("/upload", data={"type": "api_module", "formFile": (
            io.BytesIO(text), "tool.py")}).status_code

    assert send(b"old = 1\n") == 200
    real = shared.store_archive

    def lost(conn, *args):
        drop_the_change_connection(make_nodes.url)
        return real(conn, *args)

    with monkeypatch.context() as m:
        m.setattr(shared, "store_archive", lost)
        assert send(b"new = 2\n") == 503
    with open(module, "rb") as f:
        assert f.read() == b"old = 1\n"
    wait_for(lambda: send(b"new = 2\n") == 200, what="the upload")
    with open(module, "rb") as f:
        assert f.read() == b"new = 2\n"


def on(node):
    """The node's client, its data folder the working one: the modules' views store and
    delete relative to it, as in a server of its own."""
    os.chdir(str(node.data))
    return node.client


def test_a_module_missing_from_this_node_is_removed_from_the_record(make_nodes):
    a, b = make_nodes(2)
    r = on(a).post("/upload", data={"type": "api_module",
                                       "formFile": (io.BytesIO(b"x = 1\n"), "tool.py")})
    assert r.status_code == 200
    files = [os.path.join(str(n.data), "temp", "tool.py") for n in (a, b)]
    wait_for(lambda: os.path.isfile(files[1]))
    b.state.controller.stop()
    os.unlink(files[1])
    r = on(b).get("/remove/api_module/tool.py")
    assert r.status_code == 200, r.get_json()
    wait_for(lambda: not os.path.exists(files[0]))
    assert b.client.get("/remove/api_module/tool.py").status_code == 404


NOT_UTF8 = "caf\udce9"  # the Latin-1 bytes of "café", read with surrogate escapes


def test_a_name_that_is_not_utf8_is_refused_with_400(make_nodes):
    from support.archives import archive as make_archive

    (a,) = make_nodes(1)
    payload = make_archive({NOT_UTF8 + "/": None, NOT_UTF8 + "/main.py": b"v = 1"},
                           encoding="utf-8", errors="surrogateescape")
    status, body = upload(a.client, "p", payload)
    assert status == 400 and "not valid UTF-8" in body["error"], body
    assert os.listdir(os.path.join(str(a.data), "plugin")) == []
    os.mkdir(os.path.join(str(a.data), "plugin", NOT_UTF8))  # made by hand
    r = a.client.post("/rollback/plugin/caf%E9")
    assert r.status_code == 400 and "not valid UTF-8" in r.get_json()["error"]
    assert a.client.get("/remove/plugin/caf%E9").status_code == 200  # this node's alone


def test_the_periodic_round_notices_a_missing_copy(make_nodes):
    a, b = make_nodes(2)
    assert upload(a.client, "p", plugin("p", "v = 1"))[0] == 200
    r = on(a).post("/upload", data={"type": "api_module",
                                       "formFile": (io.BytesIO(b"x = 1\n"), "tool.py")})
    assert r.status_code == 200
    module = os.path.join(str(b.data), "temp", "tool.py")
    wait_for(lambda: same_everywhere([b], "p", {"main.py": b"v = 1"}) and os.path.isfile(module))
    b.state.controller.stop()
    import shutil
    shutil.rmtree(os.path.join(str(b.data), "plugin", "p"))
    os.unlink(module)
    b.state.controller.converge(verify=False)  # a round of the safety net, not a start's
    assert tree(b.data, "p") == {"main.py": b"v = 1"} and os.path.isfile(module)


def test_changes_of_one_name_at_once_on_two_nodes_end_alike(make_nodes):
    """Replaces, rollbacks, removals and uploads of one name from two nodes at once, with
    each node's own kept version and the record's: no 500, and both nodes end on the
    record's version, with their records agreeing with their folders."""
    import random
    from concurrent.futures import ThreadPoolExecutor

    import psycopg

    a, b = make_nodes(2)
    versions = {v: plugin("p", "v = %d" % v, ["f%d" % i for i in range(v)]) for v in range(1, 5)}
    rng = random.Random(24)
    plan = [(rng.choice([a, b]), rng.choice(["replace", "replace", "rollback", "remove"]),
             rng.randrange(1, 5)) for _ in range(40)]

    def one(step):
        node, action, v = step
        if action == "replace":
            return upload(node.client, "p", versions[v], replace=True)[0]
        if action == "rollback":
            return node.client.post("/rollback/plugin/p").status_code
        return node.client.get("/remove/plugin/p").status_code

    with ThreadPoolExecutor(4) as pool:
        statuses = list(pool.map(one, plan, timeout=240))
    assert set(statuses) <= {200, 404, 409}, statuses
    with psycopg.connect(make_nodes.url, autocommit=True) as conn:
        row = conn.execute("SELECT sha256 FROM entries WHERE name = 'p'").fetchone()
    for node in (a, b):
        node.state.controller.converge(verify=True)
        entries = {e["name"]: e for e in node.client.get(
            "/plugins/plugin", headers=JSON).get_json()["entries"]}
        assert (entries["p"]["sha256"] if "p" in entries else None) == (row and row[0])
        if row:
            assert len(tree(node.data, "p")) == entries["p"]["members"] - 1  # less the folder
    assert tree(a.data, "p") == tree(b.data, "p")


@pytest.mark.parametrize("kind, name", [
    ("api_module", "../escape.py"), ("api_module", "sub/x.py"), ("api_module", "no-suffix"),
    ("plugin", ".."), ("plugin", "a/../../escape"), ("plugin", ""),
])
def test_a_name_altered_in_the_record_is_never_written(make_nodes, kind, name):
    """A row of the shared record written or altered by hand, its archive's SHA-256 right:
    nothing is written outside the node's folders, the node says why, and it goes on
    reporting (a round that failed on it would leave the node stale)."""
    import hashlib

    import psycopg

    (a,) = make_nodes(1)
    a.state.controller.stop()
    body = b"x = 1\n" if kind == "api_module" else plugin("escape", "v = 1")
    sha = hashlib.sha256(body).hexdigest()
    with psycopg.connect(make_nodes.url, autocommit=True) as conn:
        archive_id = conn.execute("INSERT INTO archives (sha256, size, created_at) VALUES "
                                  "(%s, %s, 0) RETURNING id", (sha, len(body))).fetchone()[0]
        conn.execute("INSERT INTO archive_chunks (archive, seq, data) VALUES (%s, 0, %s)",
                     (archive_id, body))
        conn.execute("INSERT INTO entries (kind, name, nfc, archive, sha256, size, members, "
                     "installed_at, installed_by, archive_id) VALUES (%s, %s, %s, 'x', %s, "
                     "%s, 2, 0, 'hand', %s)", (kind, name, name, sha, len(body), archive_id))
    before = sorted(os.listdir(str(a.data.parent)))
    problems = a.state.controller.converge(verify=True)
    assert problems and "not copied" in problems[0], problems
    assert sorted(os.listdir(str(a.data.parent))) == before
    assert not os.path.exists(os.path.join(str(a.data), "escape.py"))
    assert os.listdir(os.path.join(str(a.data), "plugin")) == []
    assert [f for f in os.listdir(os.path.join(str(a.data), "temp")) if f.endswith(".py")] == []
    node = [n for n in a.client.get("/fleet", headers=JSON).get_json()["nodes"]
            if n["node"] == "n0"][0]
    assert node["problems"] == problems and node["differs"]


def test_an_archive_of_another_plug_in_under_a_name_is_never_put_in_place(make_nodes):
    import psycopg

    a, b = make_nodes(2)
    assert upload(a.client, "p", plugin("p", "v = 1"))[0] == 200
    assert upload(a.client, "q", plugin("q", "v = 1"))[0] == 200
    wait_for(lambda: same_everywhere([b], "q", {"main.py": b"v = 1"}))
    b.state.controller.stop()
    with psycopg.connect(make_nodes.url, autocommit=True) as conn:  # q's record names p's archive
        conn.execute("UPDATE entries SET (archive_id, sha256) = (SELECT archive_id, sha256 FROM "
                     "entries WHERE name = 'p') WHERE name = 'q'")
    problems = b.state.controller.converge(verify=True)
    assert problems == ["q: the archive of 'q' in the shared record holds the plug-in 'p' "
                        "instead"]
    assert tree(b.data, "q") == {"main.py": b"v = 1"} and tree(b.data, "p") == {"main.py": b"v = 1"}


def test_the_shared_history_keeps_what_a_node_keeps(make_nodes, monkeypatch):
    import psycopg
    from view_plugin_manager import shared

    monkeypatch.setattr(shared, "HISTORY_KEPT", 3)
    (a,) = make_nodes(1)
    for v in range(5):
        assert upload(a.client, "p", plugin("p", "v = %d" % v), replace=True)[0] == 200
    with psycopg.connect(make_nodes.url, autocommit=True) as conn:
        assert conn.execute("SELECT count(*) FROM history").fetchone()[0] == 3
    assert [h["action"] for h in a.client.get("/history").get_json()["history"]] == ["replace"] * 3
