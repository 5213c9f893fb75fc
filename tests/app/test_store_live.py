"""Concurrent changes to one data folder on a real loopback server, threaded and with gunicorn's
worker processes: no 500, nothing lost or mixed, and no listing shows an archive mid-unpack."""
import contextlib
import glob
import os
import re
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest
from support.archives import archive
from support.snapshots import files_of
from webapp_support import native, post_upload, request

pytestmark = native
FILES = 150  # enough that an unpack takes a while
DEADLINE = 120  # seconds for all requests of one test


def version(i):
    """weather/ with every file holding "i": a mix of two uploads shows as mixed contents."""
    members = {"weather/version.txt": b"%d" % i}
    members.update(("weather/files/%03d.txt" % n, b"%d" % i) for n in range(FILES))
    return archive(members)


def installed(data):
    """The contents of every file of the installed weather/, as a set (one version: one item)."""
    found = files_of(os.path.join(str(data), "plugin", "weather"))
    assert len(found) in (0, FILES + 1), "weather/ is partly installed: %d files" % len(found)
    return set(found.values())


@pytest.fixture(params=["threaded", "gunicorn-4"])
def server(request, start_server, tmp_path):
    data = tmp_path / "data"
    args = ["--workers", "4"] if request.param.startswith("gunicorn") else []
    return start_server(data, args=args), data


def run_together(*thunks):
    with ThreadPoolExecutor(len(thunks)) as pool:
        futures = [pool.submit(thunk) for thunk in thunks]
        return [f.result(timeout=DEADLINE) for f in futures]


def test_same_name_uploads_while_listing(server):
    base, data = server
    done, listings = threading.Event(), []

    def list_until_done():
        while not done.is_set():
            status, page = request(base, "/plugins/plugin")
            listings.append((status, 'data-name="weather.tar.gz"' in page))

    lister = threading.Thread(target=list_until_done)
    lister.start()
    try:
        uploads = run_together(*[lambda i=i: post_upload(base, "plugin", "weather.tar.gz",
                                                        version(i)) for i in range(6)])
    finally:
        done.set()
        lister.join(DEADLINE)
    assert uploads == [(200, {"state": "ok"})] * 6
    assert listings and set(listings) == {(200, False)}, "a listing failed or showed the archive"
    assert sorted(os.listdir(str(data / "plugin"))) == ["weather"]
    assert len(installed(data)) == 1


def removal_after(base, seconds):
    time.sleep(seconds)
    return request(base, "/remove/plugin/weather")


def test_upload_beside_removal(server):
    base, data = server
    for i in range(10):  # the removal lands at staggered moments of the upload's unpack
        upload, removal = run_together(
            lambda i=i: post_upload(base, "plugin", "weather.tar.gz", version(i)),
            lambda i=i: removal_after(base, 0.02 * i))
        assert upload == (200, {"state": "ok"})
        assert removal[0] in (200, 404), removal
        left = installed(data)
        assert left in (set(), {b"%d" % i}), "round %d left %r" % (i, left)
        assert sorted(os.listdir(str(data / "plugin"))) == (["weather"] if left else [])


def holds_open(pid, path):
    for fd in glob.glob("/proc/%s/fd/*" % pid):
        with contextlib.suppress(OSError):
            if os.readlink(fd) == path:
                return True
    return False


def wait_until_workers_hold_the_record(data, log_folder):
    """gunicorn's workers boot one after another, some after the server first answers: waits
    until each has the record open (a worker that boots after the record is gone has nothing
    to put it back from, which is another case than this one)."""
    record = os.path.realpath(str(data / "record.sqlite3"))
    deadline = time.monotonic() + 30
    while True:
        logs = "".join(path.read_text() for path in log_folder.glob("server-*.log"))
        pids = re.findall(r"Booting worker with pid: (\d+)", logs)
        workers = sum(int(n) for n in re.findall(r"(\d+) gunicorn workers", logs))
        if len(pids) >= workers and all(holds_open(pid, record) for pid in pids):
            return
        assert time.monotonic() < deadline, "the workers did not all open the record"
        time.sleep(0.05)


def test_record_deleted_while_serving(server, start_server, tmp_path):
    """record.sqlite3 deleted under a running server (every worker of it): every change
    answered "ok" afterwards, on whichever worker, is in the record each worker reads and in
    the one the next start reads, beside what was recorded before."""
    base, data = server
    assert post_upload(base, "plugin", "weather.tar.gz", version(1)) == (200, {"state": "ok"})
    wait_until_workers_hold_the_record(data, tmp_path)
    os.unlink(str(data / "record.sqlite3"))
    names = ["p%d" % i for i in range(8)]
    answers = run_together(*[lambda n=n: post_upload(base, "plugin", n + ".tar.gz",
                                                     archive({n + "/a": n.encode()}))
                             for n in names])
    assert answers == [(200, {"state": "ok"})] * len(names)

    def recorded(base):
        status, listing = request(base, "/plugins/plugin", headers={"Accept": "application/json"})
        assert status == 200, listing
        return {e["name"]: e["archive"] for e in listing["entries"] if e["recorded"]}

    want = dict({n: n + ".tar.gz" for n in names}, weather="weather.tar.gz")
    for _ in range(8):  # whichever worker answers
        assert recorded(base) == want
    proc = start_server.procs[-1]
    proc.terminate()
    proc.wait(30)
    assert recorded(start_server(data)) == want
