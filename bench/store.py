"""Benchmark of the plug-in store, side by side in one run (not a test):

- an upload's time from request to answer against one tarfile extraction with the data filter
  of the same archive on the same file system, on disk and on tmpfs, for 64 MB of 10 files and
  16 MB of 10,000 files (target: at most 1.3x);
- the server's peak memory after each upload (target: flat in archive size);
- requests per second of the page and of the JSON listing with 10 and with 10,000 plug-ins
  (target: 10,000 at least half the throughput of 10).

    .venv/bin/python bench/store.py [--repeat N] [--disk DIR] [--tmpfs DIR]
"""
import argparse
import http.client
import io
import os
import shutil
import socket
import sqlite3
import statistics
import subprocess
import sys
import tarfile
import tempfile
import time
import uuid

# Where the tree and the build under test are: the same place the test suites take them from.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "tests"))
from support.paths import BUILD, MANAGER  # noqa: E402
MIB = 1 << 20
TOKEN = "store-benchmark-token"
AUTH = {"Authorization": "Bearer " + TOKEN}


def make_archive(files, total):
    buf = io.BytesIO()
    size = total // files
    with tarfile.open(fileobj=buf, mode="w:gz", compresslevel=6) as tar:
        for i in range(files):
            info = tarfile.TarInfo("bench/d%02d/f%05d" % (i % 100, i))
            # half random, half text: an archive that compresses as real plug-ins do
            data = os.urandom(size // 2) + (b"line %d of plug-in text\n" % i) * (size // 48)
            info.size = len(data)
            tar.addfile(info, io.BytesIO(data))
    return buf.getvalue()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server(object):
    def __init__(self, data, env=()):
        self.port = free_port()
        environ = {k: v for k, v in os.environ.items() if not k.startswith("VIEW_TOKEN")}
        environ.update(PYTHONPATH=MANAGER, VIEW_BUILD_DIR=BUILD, VIEW_MAX_MEMBERS="20000",
                       VIEW_MAX_RATIO="1000", VIEW_TOKEN=TOKEN)
        environ.update(env)
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "view_plugin_manager", "--port", str(self.port), "--data", data],
            env=environ, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=data)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            try:
                self.get("/plugins/plugin")
                return
            except OSError:
                time.sleep(0.2)
        raise SystemExit("the server did not start")

    def connection(self):
        return http.client.HTTPConnection("127.0.0.1", self.port, timeout=600)

    def get(self, path, headers=()):
        c = self.connection()
        c.request("GET", path, headers=dict(AUTH, **dict(headers)))
        r = c.getresponse()
        body = r.read()
        c.close()
        return r.status, body

    def upload(self, name, payload):
        boundary = uuid.uuid4().hex
        head = ("--{b}\r\nContent-Disposition: form-data; name=\"type\"\r\n\r\nplugin\r\n"
                "--{b}\r\nContent-Disposition: form-data; name=\"formFile\"; filename=\"{n}\"\r\n"
                "Content-Type: application/octet-stream\r\n\r\n").format(b=boundary, n=name)
        body = head.encode() + payload + ("\r\n--%s--\r\n" % boundary).encode()
        c = self.connection()
        started = time.perf_counter()
        c.request("POST", "/upload", body=body,
                  headers=dict(AUTH, **{"Content-Type": "multipart/form-data; boundary=" + boundary}))
        r = c.getresponse()
        answer = r.read()
        took = time.perf_counter() - started
        c.close()
        if r.status != 200:
            raise SystemExit("upload answered %d: %s" % (r.status, answer[:300]))
        return took

    def peak_kib(self):
        with open("/proc/%d/status" % self.proc.pid) as f:
            return int(next(line for line in f if line.startswith("VmHWM")).split()[1])

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)


def extraction_time(payload, folder):
    dest = tempfile.mkdtemp(dir=folder)
    # a name of its own: another run of the benchmark may share the folder
    fd, path = tempfile.mkstemp(prefix="bench-archive-", suffix=".tar.gz", dir=folder)
    with os.fdopen(fd, "wb") as f:
        f.write(payload)
    started = time.perf_counter()
    with tarfile.open(path) as tar:
        tar.extractall(dest, filter="data")
    took = time.perf_counter() - started
    shutil.rmtree(dest)
    os.unlink(path)
    return took


def uploads(where, folder, archives, repeat):
    data = tempfile.mkdtemp(prefix="store-bench-", dir=folder)
    server = Server(data)
    rows = []
    try:
        for label, payload in archives:
            ups, bases = [], []
            for _ in range(repeat):  # alternated, so both see the same machine
                bases.append(extraction_time(payload, folder))
                ups.append(server.upload("bench.tar.gz", payload))
                assert server.get("/remove/plugin/bench")[0] == 200
            up, base = statistics.median(ups), statistics.median(bases)
            rows.append((where, label, up, base, up / base, server.peak_kib()))
    finally:
        server.stop()
        shutil.rmtree(data, ignore_errors=True)
    return rows


def fill(data, count):
    plugin = os.path.join(data, "plugin")
    os.makedirs(plugin, exist_ok=True)
    names = ["plugin-%05d" % i for i in range(count)]
    for name in names:
        os.mkdir(os.path.join(plugin, name))
    db = sqlite3.connect(os.path.join(data, "record.sqlite3"))
    db.execute("CREATE TABLE IF NOT EXISTS installed (name TEXT PRIMARY KEY, nfc TEXT NOT NULL, "
               "archive TEXT, sha256 TEXT, size INTEGER, members INTEGER, installed_at REAL, "
               "installed_by TEXT)")
    db.executemany("INSERT INTO installed VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                   [(n, n, n + ".tar.gz", "0" * 64, 1234, 3, time.time(), "loopback")
                    for n in names])
    db.commit()
    db.close()


def throughput(server, path, headers, seconds=2.0):
    c = server.connection()
    count, started = 0, time.perf_counter()
    while time.perf_counter() - started < seconds:
        c.request("GET", path, headers=dict(AUTH, **dict(headers)))
        r = c.getresponse()
        r.read()
        assert r.status == 200, r.status
        count += 1
    c.close()
    return count / (time.perf_counter() - started)


def listings(folder):
    rows = {}
    for count in (10, 10000):
        data = tempfile.mkdtemp(prefix="store-bench-", dir=folder)
        fill(data, count)
        server = Server(data)
        try:
            for label, headers in (("page", {"Accept": "text/html"}),
                                   ("JSON", {"Accept": "application/json"})):
                throughput(server, "/plugins/plugin", headers, 0.3)  # warm the cache
                rows[(label, count)] = throughput(server, "/plugins/plugin", headers)
        finally:
            server.stop()
            shutil.rmtree(data, ignore_errors=True)
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--disk", default=tempfile.gettempdir())
    parser.add_argument("--tmpfs", default="/dev/shm")
    args = parser.parse_args()
    archives = [("64 MB, 10 files", make_archive(10, 64 * MIB)),
                ("16 MB, 10,000 files", make_archive(10000, 16 * MIB))]
    rows = []
    for where, folder in (("disk", args.disk), ("tmpfs", args.tmpfs)):
        if os.path.isdir(folder):
            rows += uploads(where, folder, archives, args.repeat)
    print("| file system | archive | upload s | tarfile data-filter extraction s | ratio "
          "(target <= 1.3) | server peak RSS KiB |")
    print("|---|---|---:|---:|---:|---:|")
    for where, label, up, base, ratio, peak in rows:
        print("| %s | %s | %.3f | %.3f | %.2fx %s | %d |" % (
            where, label, up, base, ratio, "PASS" if ratio <= 1.3 else "MISS", peak))
    lists = listings(args.disk)
    print()
    print("| listing | 10 plug-ins req/s | 10,000 plug-ins req/s | ratio (target >= 0.5) |")
    print("|---|---:|---:|---:|")
    for label in ("page", "JSON"):
        few, many = lists[(label, 10)], lists[(label, 10000)]
        print("| %s | %.0f | %.0f | %.2f %s |" % (label, few, many, many / few,
                                                   "PASS" if many / few >= 0.5 else "MISS"))


if __name__ == "__main__":
    main()
