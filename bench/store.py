"""Benchmark of the plug-in store and its servers, side by side in one run (not a test):

- an upload's time from request to answer through the command as it starts by default (waitress
  behind nginx) and with --workers 2, against one tarfile extraction with the data filter of
  the same archive on the same file system, on disk and on tmpfs, for 64 MB of 10 files
  (plug-in-like: half random, half text; and incompressible), and 16 MB of 10,000 files
  (target: the default at most 1.3x);
- the servers' peak memory after the uploads (target: flat in archive size);
- requests per second of the page and of the JSON listing with 10 and with 10,000 plug-ins
  (target: 10,000 at least half the throughput of 10), on each server: the new ones, and the
  tree before them (Werkzeug's threaded server; target: the new ones at least as fast).

With --base REV the default server of the tree at REV is measured too, side by side with this
tree's (before and after a change, in one run); --quick times only the default servers' uploads
of the 64 MB archives on tmpfs.

    .venv/bin/python bench/store.py [--repeat N] [--disk DIR] [--tmpfs DIR] [--before REV]
                                    [--base REV] [--quick]
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


def make_archive(files, total, text=True):
    buf = io.BytesIO()
    size = total // files
    with tarfile.open(fileobj=buf, mode="w:gz", compresslevel=6) as tar:
        for i in range(files):
            info = tarfile.TarInfo("bench/d%02d/f%05d" % (i % 100, i))
            # half random, half text: an archive that compresses as real plug-ins do
            data = os.urandom(size // 2) + (b"line %d of plug-in text\n" % i) * (size // 48) \
                if text else os.urandom(size)
            info.size = len(data)
            tar.addfile(info, io.BytesIO(data))
    return buf.getvalue()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# The servers measured: the command's flags, or the tree before the new servers ("before").
SERVERS = {"default": [], "workers-2": ["--workers", "2"], "no-proxy": ["--no-proxy"],
           "before": [], "base": []}
# The servers that run another tree than this one (tree_before's).
OTHER_TREE = ("before", "base")


def tree_before(rev):
    """The manager as it was at `rev`, unpacked into a temporary folder (its manager/)."""
    root = os.path.dirname(MANAGER)
    folder = tempfile.mkdtemp(prefix="store-bench-before-")
    archive = subprocess.run(["git", "-C", root, "archive", rev, "manager"], check=True,
                             capture_output=True).stdout
    subprocess.run(["tar", "-x", "-C", folder], input=archive, check=True)
    return os.path.join(folder, "manager")


def last_tree_before_servers():
    """The commit before the one that took out the hand-paced server (pacing.py)."""
    root = os.path.dirname(MANAGER)
    gone = subprocess.run(["git", "-C", root, "rev-list", "-1", "HEAD", "--",
                           "manager/view_plugin_manager/pacing.py"], check=True,
                          capture_output=True, text=True).stdout.strip()
    return gone + "^" if gone else "HEAD"


class Server(object):
    def __init__(self, data, env=(), kind="default", before=None):
        self.port, self.data = free_port(), data
        environ = {k: v for k, v in os.environ.items() if not k.startswith("VIEW_TOKEN")}
        environ.update(PYTHONPATH=before if kind in OTHER_TREE else MANAGER, VIEW_BUILD_DIR=BUILD,
                       VIEW_MAX_MEMBERS="20000", VIEW_MAX_RATIO="1000", VIEW_MAX_UPLOAD="128M",
                       VIEW_TOKEN=TOKEN)
        environ.update(env)
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "view_plugin_manager", "--port", str(self.port), "--data", data]
            + SERVERS[kind], env=environ, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            cwd=data)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            try:
                if self.get("/plugins/plugin")[0] == 200:
                    return
            except OSError:
                pass
            time.sleep(0.2)
        self.stop()
        raise SystemExit("the %s server did not start" % kind)

    def connection(self):
        return http.client.HTTPConnection("127.0.0.1", self.port, timeout=600)

    def get(self, path, headers=()):
        c = self.connection()
        c.request("GET", path, headers=dict(AUTH, **dict(headers)))
        r = c.getresponse()
        body = r.read()
        c.close()
        return r.status, body

    def upload(self, name, payload, status=200, content_type=None):
        """Seconds from request to answer; `content_type` sends the payload bare."""
        if content_type is not None:
            return self.post(payload, content_type, status)
        boundary = uuid.uuid4().hex
        head = ("--{b}\r\nContent-Disposition: form-data; name=\"type\"\r\n\r\nplugin\r\n"
                "--{b}\r\nContent-Disposition: form-data; name=\"formFile\"; filename=\"{n}\"\r\n"
                "Content-Type: application/octet-stream\r\n\r\n").format(b=boundary, n=name)
        body = head.encode() + payload + ("\r\n--%s--\r\n" % boundary).encode()
        return self.post(body, "multipart/form-data; boundary=" + boundary, status)

    def post(self, body, content_type, status):
        c = self.connection()
        started = time.perf_counter()
        c.request("POST", "/upload", body=body, headers=dict(AUTH, **{"Content-Type": content_type}))
        r = c.getresponse()
        answer = r.read()
        took = time.perf_counter() - started
        c.close()
        if r.status != status:
            raise SystemExit("upload answered %d: %s" % (r.status, answer[:300]))
        return took

    def peak_kib(self):
        """The largest peak resident size of the server's processes (nginx's, gunicorn's)."""
        peak, todo = 0, [self.proc.pid]
        while todo:
            pid = todo.pop()
            try:
                with open("/proc/%d/status" % pid) as f:
                    peak = max(peak, int(next(line for line in f
                                              if line.startswith("VmHWM")).split()[1]))
                with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
                    todo += [int(p) for p in f.read().split()]
            except (OSError, StopIteration):
                pass
        return peak

    def cpu_seconds(self):
        """The CPU time the server's processes (nginx's, gunicorn's) have used so far."""
        ticks, todo = 0, [self.proc.pid]
        while todo:
            pid = todo.pop()
            try:
                with open("/proc/%d/stat" % pid) as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                ticks += int(fields[11]) + int(fields[12])  # utime, stime
                with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
                    todo += [int(p) for p in f.read().split()]
            except (OSError, IndexError):
                pass
        return ticks / os.sysconf("SC_CLK_TCK")

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


def uploads(where, folder, archives, repeat, kinds, base=None):
    """Rows (where, archive, extraction s, {server: (upload s, peak KiB)}). The servers run at
    once, each on a data folder of its own, and take turns with the extraction at every
    repeat, so that all see the same machine."""
    times = {label: {kind: [] for kind in kinds} for label, _ in archives}
    bases = {label: [] for label, _ in archives}
    servers = {}
    try:
        for kind in kinds:
            servers[kind] = Server(tempfile.mkdtemp(prefix="store-bench-", dir=folder),
                                   kind=kind, before=base)
        for label, payload in archives:
            for _ in range(repeat):
                started = time.process_time()
                bases[label].append(extraction_time(payload, folder))
                CPU.setdefault((where, label, "extraction"), []).append(
                    time.process_time() - started)
                for kind, server in servers.items():
                    started = server.cpu_seconds()
                    times[label][kind].append(server.upload("bench.tar.gz", payload))
                    CPU.setdefault((where, label, kind), []).append(
                        server.cpu_seconds() - started)
                    assert server.get("/remove/plugin/bench")[0] == 200
        peaks = {kind: server.peak_kib() for kind, server in servers.items()}
    finally:
        for server in servers.values():
            server.stop()
            shutil.rmtree(server.data, ignore_errors=True)
    return [(where, label, statistics.median(bases[label]),
             {kind: (statistics.median(times[label][kind]), peaks[kind]) for kind in kinds})
            for label, _ in archives]


# CPU seconds per upload, (file system, archive, server or "extraction") -> [seconds]: on a
# machine that other work keeps busy they move far less than the times do.
CPU = {}


def floor(folder, archives, repeat):
    """What sets the floor of an upload through the default server, per archive: the body's
    way in alone (the same bytes sent bare: the application refuses them unread, 413, once the
    server has them whole), that and the multipart parse (a part the store refuses by its name,
    400, written to a temporary file as any other part), and the CPU seconds of the SHA-256 and
    of the extraction in this process. Medians of `repeat`."""
    import hashlib
    data = tempfile.mkdtemp(prefix="store-bench-", dir=folder)
    server = Server(data)
    rows = []
    try:
        for label, payload in archives:
            got = {"in": [], "parse": [], "sha": [], "extract cpu": []}
            for _ in range(repeat):
                got["in"].append(server.upload("bench.tar.gz", payload, 413,
                                               "application/octet-stream"))
                got["parse"].append(server.upload("bench.bin", payload, 400))
                started = time.process_time()
                hashlib.sha256(payload).digest()
                got["sha"].append(time.process_time() - started)
                started = time.process_time()
                extraction_time(payload, folder)
                got["extract cpu"].append(time.process_time() - started)
            rows.append((label, {k: statistics.median(v) for k, v in got.items()}))
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


def listings(folder, kinds, before, base=None):
    rows = {}
    for count in (10, 10000):
        data = tempfile.mkdtemp(prefix="store-bench-", dir=folder)
        fill(data, count)
        try:
            for kind in kinds:  # one after the other on the same data folder
                server = Server(data, kind=kind, before=base if kind == "base" else before)
                try:
                    for label, headers in (("page", {"Accept": "text/html"}),
                                           ("JSON", {"Accept": "application/json"})):
                        throughput(server, "/plugins/plugin", headers, 0.3)  # warm the cache
                        rows[(label, count, kind)] = throughput(server, "/plugins/plugin",
                                                                headers)
                finally:
                    server.stop()
        finally:
            shutil.rmtree(data, ignore_errors=True)
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--disk", default=tempfile.gettempdir())
    parser.add_argument("--tmpfs", default="/dev/shm")
    parser.add_argument("--before", default=None,
                        help="the revision whose servers the new ones are measured against "
                             "(default: the commit before the hand-paced server went)")
    parser.add_argument("--quick", action="store_true",
                        help="the default server's uploads of the 64 MB archives on tmpfs only")
    parser.add_argument("--base", default=None,
                        help="a revision whose default server is measured beside this tree's")
    args = parser.parse_args()
    base = tree_before(args.base) if args.base else None
    try:
        report(args, base)
    finally:
        if base is not None:
            shutil.rmtree(os.path.dirname(base), ignore_errors=True)


def ratio(value, reference, target, at_most=True):
    met = value / reference <= target if at_most else value / reference >= target
    return "%.2fx %s" % (value / reference, "PASS" if met else "MISS")


def report(args, base):
    archives = [("64 MB, 10 files", make_archive(10, 64 * MIB)),
                ("64 MB, 10 incompressible files", make_archive(10, 64 * MIB, text=False))]
    if not args.quick:
        archives.append(("16 MB, 10,000 files", make_archive(10000, 16 * MIB)))
    upload_kinds = (["base"] if base else []) + ["default"] + \
        ([] if args.quick else ["workers-2"])
    rows = []
    for where, folder in (("disk", args.disk), ("tmpfs", args.tmpfs)):
        if os.path.isdir(folder) and not (args.quick and where == "disk"):
            rows += uploads(where, folder, archives, args.repeat, upload_kinds, base)
    head = "| file system | archive | tarfile data-filter extraction s |"
    if base:
        head += " upload s, --base's default | ratio |"
    print(head + " upload s, default (waitress behind nginx) | ratio (target <= 1.3) |"
          " upload s, --workers 2 | ratio | peak RSS KiB, default / --workers 2 |")
    print("|---|---|---:|" + ("---:|---:|" if base else "") + "---:|---:|---:|---:|---:|")
    nothing = (float("nan"), 0)
    for where, label, extraction, ups in rows:
        line = "| %s | %s | %.3f |" % (where, label, extraction)
        if base:
            line += " %.3f | %s |" % (ups["base"][0], ratio(ups["base"][0], extraction, 1.3))
        (up, peak), (up2, peak2) = ups["default"], ups.get("workers-2", nothing)
        print(line + " %.3f | %s | %.3f | %.2fx | %d / %d |" % (
            up, ratio(up, extraction, 1.3), up2, up2 / extraction, peak, peak2))
    print()
    print("CPU seconds per upload (the server's processes: nginx, waitress or gunicorn; the "
          "client's not counted) against the extraction's (medians):")
    print("| file system | archive | extraction CPU s | " + " | ".join(
        "%s CPU s | ratio" % kind for kind in upload_kinds) + " |")
    print("|---|---|---:|" + "---:|---:|" * len(upload_kinds))
    for where, label, _, _ in rows:
        extraction = statistics.median(CPU[(where, label, "extraction")])
        print("| %s | %s | %.3f | " % (where, label, extraction) + " | ".join(
            "%.3f | %.2fx" % (statistics.median(CPU[(where, label, kind)]),
                              statistics.median(CPU[(where, label, kind)]) / extraction)
            for kind in upload_kinds) + " |")
    if os.path.isdir(args.tmpfs):
        print()
        print("What sets the floor, default server on tmpfs: the body's way in alone (sent bare, "
              "refused unread), that and the multipart parse (a part refused by its name), "
              "and CPU seconds in this process of SHA-256 and of the extraction:")
        print("| archive | in s | in + parse s | SHA-256 CPU s | extraction CPU s |")
        print("|---|---:|---:|---:|---:|")
        for label, got in floor(args.tmpfs, archives[:2], args.repeat):
            print("| %s | %.3f | %.3f | %.3f | %.3f |" % (
                label, got["in"], got["parse"], got["sha"], got["extract cpu"]))
    if args.quick:
        return
    before = tree_before(args.before or last_tree_before_servers())
    try:
        kinds = ["before", "default", "workers-2", "no-proxy"] + (["base"] if base else [])
        lists = listings(args.disk, kinds, before, base)
    finally:
        shutil.rmtree(os.path.dirname(before), ignore_errors=True)
    print()
    print("| listing | plug-ins | before (Werkzeug threaded) req/s | default req/s | "
          "--workers 2 req/s | --no-proxy req/s | default / before (target >= 1) |" +
          (" --base's default req/s | its / before |" if base else ""))
    print("|---|---:|---:|---:|---:|---:|---:|" + ("---:|---:|" if base else ""))
    for label in ("page", "JSON"):
        for count in (10, 10000):
            got = [lists[(label, count, kind)] for kind in kinds]
            line = "| %s | %d | %.0f | %.0f | %.0f | %.0f | %s |" % (
                label, count, *got[:4], ratio(got[1], got[0], 1, at_most=False))
            if base:
                line += " %.0f | %s |" % (got[4], ratio(got[4], got[0], 1, at_most=False))
            print(line)
    print()
    print("| listing | 10 plug-ins req/s | 10,000 plug-ins req/s | ratio (target >= 0.5) |")
    print("|---|---:|---:|---:|")
    for label in ("page", "JSON"):
        few, many = lists[(label, 10, "default")], lists[(label, 10000, "default")]
        print("| %s | %.0f | %.0f | %.2f %s |" % (label, few, many, many / few,
                                                   "PASS" if many / few >= 0.5 else "MISS"))


if __name__ == "__main__":
    main()
