"""Benchmark of the shared mode (several nodes on one PostgreSQL database), side by side with
the embedded store in one run (not a test). A throw-away PostgreSQL cluster is made for it, as
the tests make theirs (tests/support/postgres.py).

- convergence: from a change's answer on one node until both other nodes have it in place,
  p50 and p99 over 50 replaces of a 1 MB plug-in, against the same upload's time on an embedded
  server (target: p99 at most that plus 0.5 s);
- an upload on a shared node against the same upload on an embedded one, for 64 MB of 10 files
  and 16 MB of 10,000 files (target: at most 1.3x), and the shared node's peak memory;
- a node joining empty with N plug-ins recorded: its copies per second against the same
  uploads made one after another on an embedded server (target: at least half the rate);
- requests per second of the page and of the JSON listing with 10 and with 10,000 plug-ins on a
  shared node (target: 10,000 at least half the throughput of 10).

The cluster runs as the tests run theirs, with fsync off (a throw-away cluster: what a crash
of the machine would lose does not matter to it); --durable runs it with fsync and
synchronous_commit on, as a real deployment does, so each upload's commit waits for its WAL
(the archive's bytes) to reach the disk. --only runs some of the parts.

    .venv/bin/python bench/shared.py [--changes 50] [--join 1000] [--repeat 3] [--durable]
                                     [--only convergence,uploads,joining,listings]
"""
import argparse
import json
import os
import shutil
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))
import store as local_bench  # noqa: E402  (bench/store.py: its server and archives)
from support.postgres import Server as Cluster  # noqa: E402
from support.postgres import server_bindir  # noqa: E402

MIB = local_bench.MIB


class Node(local_bench.Server):
    def __init__(self, data, url, name):
        local_bench.Server.__init__(self, data, {"VIEW_DATABASE": url, "VIEW_NODE": name})
        self.data = data

    def version(self, name):
        try:
            with open(os.path.join(self.data, "plugin", name, "version"), "rb") as f:
                return f.read()
        except OSError:
            return None

    def fleet(self):
        status, body = self.get("/fleet", {"Accept": "application/json"})
        return json.loads(body) if status == 200 else None


def versioned(name, v, size):
    import io
    import tarfile
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w:gz", compresslevel=1) as tar:
        for member, data in ((name + "/data", os.urandom(size)),
                             (name + "/version", b"%d" % v)):
            info = tarfile.TarInfo(member)
            info.size = len(data)
            tar.addfile(info, io.BytesIO(data))
    return buf.getvalue()


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100.0 * (len(values) - 1))))]


def convergence(root, url, changes):
    nodes = [Node(tempfile.mkdtemp(dir=root), url, "n%d" % i) for i in range(3)]
    embedded = local_bench.Server(tempfile.mkdtemp(dir=root))
    lags, local = [], []
    try:
        for v in range(1, changes + 1):
            payload = versioned("conv", v, MIB)
            local.append(embedded.upload("conv.tar.gz", payload))
            nodes[0].upload("conv.tar.gz", payload)
            answered, want = time.perf_counter(), b"%d" % v
            while any(n.version("conv") != want for n in nodes[1:]):
                if time.perf_counter() - answered > 60:
                    raise SystemExit("a node did not converge in 60 s")
                time.sleep(0.002)
            lags.append(time.perf_counter() - answered)
    finally:
        for server in nodes + [embedded]:
            server.stop()
    return lags, statistics.median(local)


def copy_floor(url, payload):
    """Seconds PostgreSQL itself takes to store the archive's bytes as the store does (1 MiB
    rows by binary COPY, one transaction): what no shared upload can be faster than."""
    import psycopg
    with psycopg.connect(url, autocommit=True) as conn:
        started = time.perf_counter()
        with conn.transaction():
            archive = conn.execute("INSERT INTO archives (sha256, size, created_at) "
                                   "VALUES ('', 0, 0) RETURNING id").fetchone()[0]
            with conn.cursor().copy("COPY archive_chunks (archive, seq, data) FROM STDIN "
                                    "(FORMAT BINARY)") as copy:
                copy.set_types(["int8", "int4", "bytea"])
                for seq, at in enumerate(range(0, len(payload), MIB)):
                    copy.write_row((archive, seq, payload[at:at + MIB]))
        took = time.perf_counter() - started
        conn.execute("DELETE FROM archives WHERE id = %s", (archive,))
    return took


def uploads(root, url, repeat):
    archives = [("64 MB, 10 files", local_bench.make_archive(10, 64 * MIB)),
                ("16 MB, 10,000 files", local_bench.make_archive(10000, 16 * MIB))]
    node = Node(tempfile.mkdtemp(dir=root), url, "upload")
    embedded = local_bench.Server(tempfile.mkdtemp(dir=root))
    rows = []
    try:
        for label, payload in archives:
            shared_times, local_times, floors = [], [], []
            for _ in range(repeat):  # alternated, so all see the same machine
                floors.append(copy_floor(url, payload))
                local_times.append(embedded.upload("bench.tar.gz", payload))
                assert embedded.get("/remove/plugin/bench")[0] == 200
                shared_times.append(node.upload("bench.tar.gz", payload))
                assert node.get("/remove/plugin/bench")[0] == 200
            up, base = statistics.median(shared_times), statistics.median(local_times)
            rows.append((label, up, base, up / base, node.peak_kib(), embedded.peak_kib(),
                         statistics.median(floors)))
    finally:
        node.stop()
        embedded.stop()
    return rows


def joining(root, url, count):
    payloads = [("j%04d" % i, versioned("j%04d" % i, 1, 4096)) for i in range(count)]
    first = Node(tempfile.mkdtemp(dir=root), url, "first")
    embedded = local_bench.Server(tempfile.mkdtemp(dir=root))
    try:
        started = time.perf_counter()
        for name, payload in payloads:
            embedded.upload(name + ".tar.gz", payload)
        local_rate = count / (time.perf_counter() - started)
        for name, payload in payloads:
            first.upload(name + ".tar.gz", payload)
        started = time.perf_counter()
        joiner = Node(tempfile.mkdtemp(dir=root), url, "joiner")
        try:
            plugin = os.path.join(joiner.data, "plugin")
            while len(os.listdir(plugin)) < count:
                if time.perf_counter() - started > 1200:
                    raise SystemExit("the joining node did not converge in 20 minutes")
                time.sleep(0.05)
            join_rate = count / (time.perf_counter() - started)
        finally:
            joiner.stop()
    finally:
        first.stop()
        embedded.stop()
    return join_rate, local_rate


def listings(root, cluster):
    rows = {}
    for count in (10, 10000):
        name = "listing_%d" % count
        cluster.sql("CREATE DATABASE %s" % name)
        data = tempfile.mkdtemp(dir=root)
        local_bench.fill(data, count)
        node = Node(data, cluster.url(name), "list")
        try:
            for label, headers in (("page", {"Accept": "text/html"}),
                                   ("JSON", {"Accept": "application/json"})):
                local_bench.throughput(node, "/plugins/plugin", headers, 0.3)
                rows[(label, count)] = local_bench.throughput(node, "/plugins/plugin", headers)
        finally:
            node.stop()
    return rows


class DurableCluster(Cluster):
    """The throw-away cluster with fsync and synchronous_commit on (PostgreSQL's defaults)."""

    def start(self):
        options = ("-c listen_addresses=127.0.0.1 -c port=%d -c unix_socket_directories=%s "
                   "-c fsync=on -c synchronous_commit=on -c max_connections=200"
                   % (self.port, self.root))
        self.run("pg_ctl", "-D", self.data, "-l", self.log, "-o", options, "-w", "start")


PARTS = ("convergence", "uploads", "joining", "listings")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--changes", type=int, default=50)
    parser.add_argument("--join", type=int, default=1000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--durable", action="store_true",
                        help="fsync and synchronous_commit on (default: fsync off, as the tests)")
    parser.add_argument("--only", default=",".join(PARTS),
                        help="the parts to run, of " + ",".join(PARTS))
    args = parser.parse_args()
    parts = set(args.only.split(","))
    if not parts <= set(PARTS):
        parser.error("--only takes some of " + ",".join(PARTS))
    bindir = server_bindir()
    if bindir is None:
        raise SystemExit("needs PostgreSQL server: apt-get install postgresql")
    root = tempfile.mkdtemp(prefix="shared-bench-")
    cluster = (DurableCluster if args.durable else Cluster)(bindir, root)
    cluster.start()
    print("PostgreSQL %s, fsync %s, synchronous_commit %s" % (
        cluster.sql("SHOW server_version")[0][0], cluster.sql("SHOW fsync")[0][0],
        cluster.sql("SHOW synchronous_commit")[0][0]))
    try:
        for name in ("convergence", "uploads", "joining"):
            cluster.sql("CREATE DATABASE %s" % name)
        if "convergence" in parts:
            lags, local = convergence(root, cluster.url("convergence"), args.changes)
            p50, p99 = percentile(lags, 50), percentile(lags, 99)
            print("convergence over %d changes of a 1 MB plug-in: p50 %.3f s, p99 %.3f s; the "
                  "embedded upload %.3f s; p99 - upload = %.3f s (target <= 0.5 s)"
                  % (len(lags), p50, p99, local, p99 - local))
        if "uploads" in parts:
            for label, up, base, ratio, peak, base_peak, floor in uploads(
                    root, cluster.url("uploads"), args.repeat):
                print("upload %-20s shared %.2f s, embedded %.2f s: %.2fx (target <= 1.3x); "
                      "PostgreSQL's own COPY of the archive %.2f s (embedded + COPY: %.2fx); "
                      "peak memory shared %d KiB, embedded %d KiB"
                      % (label, up, base, ratio, floor, (base + floor) / base, peak, base_peak))
        if "joining" in parts:
            join_rate, local_rate = joining(root, cluster.url("joining"), args.join)
            print("joining empty with %d plug-ins: %.1f copies/s, local uploads %.1f/s: %.2fx "
                  "(target >= 0.5x)" % (args.join, join_rate, local_rate,
                                        join_rate / local_rate))
        if "listings" in parts:
            rows = listings(root, cluster)
            for label in ("page", "JSON"):
                few, many = rows[(label, 10)], rows[(label, 10000)]
                print("%-4s listing: 10 plug-ins %.0f/s, 10,000 plug-ins %.0f/s: %.2fx (target "
                      ">= 0.5x)" % (label, few, many, many / few))
    finally:
        cluster.stop("immediate")
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
