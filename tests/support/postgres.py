"""A throw-away PostgreSQL server for the tests of the shared mode.

`postgres_server` (session scope) makes a cluster with initdb in a temporary folder, run by the
`postgres` user when the tests run as root (the server refuses to run as root), on a free
loopback port with its socket in that folder; never the machine's own cluster. It is stopped by
its data folder at the end, also when the session fails. `database_url` gives each test a
database of its own. Without the server's programs the tests skip, saying what to install.
"""
import glob
import os
import pwd
import shutil
import socket
import subprocess
import tempfile
import time
import uuid

import pytest

SKIP_REASON = "needs PostgreSQL server: apt-get install postgresql"


def server_bindir():
    """The folder of initdb and pg_ctl, or None."""
    found = shutil.which("pg_config")
    if found:
        try:
            bindir = subprocess.run([found, "--bindir"], capture_output=True, text=True,
                                    timeout=30).stdout.strip()
        except (OSError, subprocess.SubprocessError):
            bindir = ""
        if os.path.isfile(os.path.join(bindir, "initdb")):
            return bindir
    candidates = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"),
                        key=lambda p: int(p.split("/")[4]) if p.split("/")[4].isdigit() else 0)
    return os.path.dirname(candidates[-1]) if candidates else None


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server(object):
    """One throw-away cluster: started, stopped and started again by its data folder."""

    def __init__(self, bindir, root):
        self.bindir, self.root = bindir, root
        self.data = os.path.join(root, "cluster")
        self.log = os.path.join(root, "server.log")
        self.port = free_port()
        self.user = None
        if os.geteuid() == 0:
            self.user = "postgres"
            info = pwd.getpwnam(self.user)
            os.chown(root, info.pw_uid, info.pw_gid)
        self.run("initdb", "-D", self.data, "--auth=trust", "--username=postgres",
                 "--encoding=UTF8", "--no-sync")

    def run(self, program, *args, check=True, timeout=120):
        command = [os.path.join(self.bindir, program)] + list(args)
        if self.user is not None:
            command = ["runuser", "-u", self.user, "--"] + command
        result = subprocess.run(command, capture_output=True, text=True, timeout=timeout,
                                cwd=self.root)
        if check and result.returncode != 0:
            raise RuntimeError("%s failed: %s%s" % (program, result.stdout, result.stderr))
        return result

    def start(self):
        options = ("-c listen_addresses=127.0.0.1 -c port=%d -c unix_socket_directories=%s "
                   "-c fsync=off -c max_connections=200" % (self.port, self.root))
        self.run("pg_ctl", "-D", self.data, "-l", self.log, "-o", options, "-w", "start")

    def stop(self, mode="fast"):
        self.run("pg_ctl", "-D", self.data, "-m", mode, "-w", "stop", check=False)

    def running(self):
        return self.run("pg_ctl", "-D", self.data, "status", check=False).returncode == 0

    def url(self, database="postgres"):
        return "postgresql://postgres@127.0.0.1:%d/%s" % (self.port, database)

    def sql(self, statement, database="postgres"):
        """Runs one statement as the superuser (autocommit)."""
        import psycopg

        with psycopg.connect(self.url(database), autocommit=True, connect_timeout=10) as conn:
            cur = conn.execute(statement)
            return cur.fetchall() if cur.description else None


@pytest.fixture(scope="session")
def postgres_server():
    bindir = server_bindir()
    if bindir is None:
        pytest.skip(SKIP_REASON)
    try:
        import psycopg  # noqa: F401
        import psycopg_pool  # noqa: F401
    except ImportError:
        pytest.skip("needs psycopg 3 and psycopg-pool: pip install 'view-plugin-manager[postgres]'")
    root = tempfile.mkdtemp(prefix="view-pg-")
    server = None
    try:
        server = Server(bindir, root)
        server.start()
        yield server
    finally:
        if server is not None:
            server.stop("immediate")
        shutil.rmtree(root, ignore_errors=True)


@pytest.fixture
def database_url(postgres_server):
    """The URL of a new, empty database for this test alone; the server is started again if
    the test left it stopped."""
    if not postgres_server.running():
        postgres_server.start()
    name = "t_" + uuid.uuid4().hex[:16]
    postgres_server.sql("CREATE DATABASE %s" % name)
    yield postgres_server.url(name)
    if not postgres_server.running():
        postgres_server.start()
    deadline = time.monotonic() + 30
    while True:
        try:
            postgres_server.sql("DROP DATABASE IF EXISTS %s WITH (FORCE)" % name)
            break
        except Exception:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.5)
