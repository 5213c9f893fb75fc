"""The shared database of several nodes: the one place that connects to PostgreSQL.

`--database URL` (VIEW_DATABASE) names it; only a postgresql:// (or postgres://) URL is taken.
The manager creates and upgrades its own schema: MIGRATIONS is the list of steps, each run in
one transaction under an advisory lock (so nodes starting together do not race), and the
version reached is kept in schema_version. A database whose schema is newer than this code, a
server that cannot be reached at start or a URL of another kind stop the start with a message
(StartError). Once running, a database that goes away raises Unavailable, which the routes
answer with 503 and the reason.
"""
import contextlib
import logging
import threading
import time
from urllib.parse import urlsplit

log = logging.getLogger("app.database")

SCHEMES = ("postgresql", "postgres")
CONNECT_TIMEOUT_SECONDS = 5
# How long a request waits for a connection of the pool before it is told the database is away.
POOL_WAIT_SECONDS = 5
PROBE_SECONDS = 1.0
MIGRATION_LOCK = 0x5649_4557  # any constant: every node takes the same one

# Each step brings the schema from version i to i + 1. Never edit a step that has shipped: add one.
MIGRATIONS = [
    """
    CREATE TABLE archives (id BIGSERIAL PRIMARY KEY, sha256 TEXT NOT NULL, size BIGINT NOT NULL,
        created_at DOUBLE PRECISION NOT NULL);
    CREATE TABLE archive_chunks (archive BIGINT NOT NULL REFERENCES archives ON DELETE CASCADE,
        seq INTEGER NOT NULL, data BYTEA NOT NULL, PRIMARY KEY (archive, seq));
    CREATE TABLE entries (kind TEXT NOT NULL, name TEXT NOT NULL, nfc TEXT NOT NULL,
        archive TEXT, sha256 TEXT NOT NULL, size BIGINT, members INTEGER,
        installed_at DOUBLE PRECISION, installed_by TEXT, archive_id BIGINT REFERENCES archives,
        PRIMARY KEY (kind, name));
    CREATE INDEX entries_nfc ON entries (kind, nfc);
    CREATE TABLE previous (kind TEXT NOT NULL, name TEXT NOT NULL, nfc TEXT NOT NULL,
        archive TEXT, sha256 TEXT NOT NULL, size BIGINT, members INTEGER,
        installed_at DOUBLE PRECISION, installed_by TEXT, archive_id BIGINT REFERENCES archives,
        PRIMARY KEY (kind, name));
    CREATE TABLE history (id BIGSERIAL PRIMARY KEY, at DOUBLE PRECISION NOT NULL, who TEXT,
        action TEXT NOT NULL, name TEXT, archive TEXT, result TEXT NOT NULL, node TEXT);
    CREATE TABLE nodes (node TEXT PRIMARY KEY, last_seen DOUBLE PRECISION NOT NULL,
        in_place JSONB NOT NULL DEFAULT '{}', problems JSONB NOT NULL DEFAULT '[]');
    CREATE TABLE sessions (id TEXT PRIMARY KEY, data TEXT NOT NULL, operator TEXT,
        created DOUBLE PRECISION NOT NULL, seen DOUBLE PRECISION NOT NULL);
    CREATE TABLE failures (client TEXT PRIMARY KEY, count INTEGER NOT NULL,
        last DOUBLE PRECISION NOT NULL, blocked_until DOUBLE PRECISION NOT NULL);
    CREATE TABLE secrets (name TEXT PRIMARY KEY, value TEXT NOT NULL);
    """,
    # the API modules each node has in place, beside its plug-ins
    "ALTER TABLE nodes ADD COLUMN modules JSONB NOT NULL DEFAULT '{}'",
]


class StartError(Exception):
    """The database setting cannot be used: the start stops with this message."""


class Unavailable(Exception):
    """The database is away (down, unreachable, restarting): the request is answered 503."""


def check_url(url):
    """`url` if it names a PostgreSQL database, else StartError saying what is taken."""
    parts = urlsplit(url or "")
    if parts.scheme not in SCHEMES:
        raise StartError("--database takes a postgresql:// URL (postgresql://USER@HOST:PORT/"
                         "DATABASE), not %r" % _without_password(url))
    return url


def _without_password(url):
    parts = urlsplit(url or "")
    if parts.password is None:
        return url
    netloc = parts.netloc.replace(":" + parts.password + "@", ":***@")
    return parts._replace(netloc=netloc).geturl()


def where(url):
    parts = urlsplit(url)
    return "%s:%s/%s" % (parts.hostname or "localhost", parts.port or 5432,
                         parts.path.lstrip("/"))


def _driver():
    try:
        import psycopg
        import psycopg_pool
    except ImportError as e:
        raise StartError("--database needs psycopg 3 and psycopg-pool (pip install "
                         "'view-plugin-manager[postgres]'): %s" % e) from e
    return psycopg, psycopg_pool


class Database(object):
    """A pool of connections to the shared database. `transaction()` and `connection()` turn
    every failure of the server or the network into Unavailable."""

    def __init__(self, url, size=10):
        psycopg, psycopg_pool = _driver()
        self.url, self.psycopg = check_url(url), psycopg
        self.place = where(url)
        try:
            probe = psycopg.connect(url, connect_timeout=CONNECT_TIMEOUT_SECONDS)
        except psycopg.Error as e:
            raise StartError("cannot reach the database %s: %s" % (self.place, _first_line(e))) from e
        with probe:
            migrate(probe)
        self.size, self.lock = size, threading.Lock()
        self.away, self.next_probe = None, 0.0
        self.pool = self._new_pool()

    def _new_pool(self):
        _, psycopg_pool = _driver()
        return psycopg_pool.ConnectionPool(
            self.url, min_size=1, max_size=self.size, timeout=POOL_WAIT_SECONDS, open=True,
            kwargs={"connect_timeout": CONNECT_TIMEOUT_SECONDS, "autocommit": True},
            check=psycopg_pool.ConnectionPool.check_connection, name="view-store")

    def close(self):
        self.pool.close()

    def _check_back(self):
        """While the database is away, requests are told so at once instead of each waiting
        for the pool; one probe a second tells when it is back, and then a new pool replaces
        the old, whose reconnection attempts back off for minutes."""
        with self.lock:
            if self.away is None:
                return
            now = time.monotonic()
            if now < self.next_probe:
                raise Unavailable(self.away)
            self.next_probe = now + PROBE_SECONDS
            try:
                self.psycopg.connect(self.url, connect_timeout=CONNECT_TIMEOUT_SECONDS).close()
            except self.psycopg.Error:
                raise Unavailable(self.away) from None
            old, self.pool, self.away = self.pool, self._new_pool(), None
        log.warning("the shared database %s is back", self.place)
        threading.Thread(target=old.close, daemon=True).start()

    @contextlib.contextmanager
    def connection(self):
        """A connection in autocommit mode; each statement stands alone."""
        self._check_back()
        with self.unavailable_on_failure():
            with self.pool.connection() as conn:
                yield conn

    @contextlib.contextmanager
    def transaction(self):
        """A connection inside one transaction, committed when the block ends well."""
        with self.connection() as conn:
            with self.unavailable_on_failure():
                with conn.transaction():
                    yield conn

    @contextlib.contextmanager
    def unavailable_on_failure(self):
        from psycopg_pool import PoolTimeout
        try:
            yield
        except (self.psycopg.OperationalError, self.psycopg.InterfaceError, PoolTimeout) as e:
            reason = "the shared database %s is unavailable: %s" % (self.place, _first_line(e))
            with self.lock:
                if self.away is None:
                    self.away, self.next_probe = reason, time.monotonic() + PROBE_SECONDS
            raise Unavailable(reason) from e

    def take(self):
        """A connection of the pool (autocommit) for a caller that keeps it across calls; back
        with give() or adopt()."""
        self._check_back()
        with self.unavailable_on_failure():
            return self.pool.getconn()

    def give(self, conn):
        self.pool.putconn(conn)

    @contextlib.contextmanager
    def adopt(self, conn):
        """The transaction that `conn` (from take()) opened with BEGIN, committed when the
        block ends well and rolled back otherwise; the connection goes back to the pool."""
        try:
            with self.unavailable_on_failure():
                yield conn
                conn.execute("COMMIT")
        except BaseException:
            try:
                conn.execute("ROLLBACK")
            except self.psycopg.Error:
                pass
            raise
        finally:
            self.give(conn)

    def execute(self, sql, params=()):
        """Runs one statement on its own; the rows, or None for a statement without any."""
        with self.connection() as conn:
            with self.unavailable_on_failure():
                cur = conn.execute(sql, params)
                return cur.fetchall() if cur.description else None

    def statements(self):
        return Statements(self)

    def dedicated(self):
        """A connection of its own, outside the pool (LISTEN needs one that stays)."""
        with self.unavailable_on_failure():
            return self.psycopg.connect(self.url, autocommit=True,
                                        connect_timeout=CONNECT_TIMEOUT_SECONDS)


class Statements(object):
    """Runs the statements written for SQLite (`?` placeholders) that PostgreSQL reads alike:
    on the pool one by one (autocommit), or on `conn`, inside its transaction."""

    def __init__(self, database, conn=None):
        self.database, self.conn = database, conn

    def execute(self, sql, params=()):
        sql = sql.replace("?", "%s")
        if self.conn is None:
            return _Rows(self.database.execute(sql, params))
        with self.database.unavailable_on_failure():
            cur = self.conn.execute(sql, params)
            return _Rows(cur.fetchall() if cur.description else None)

    @contextlib.contextmanager
    def locked(self, key):
        """Statements inside one transaction that holds the advisory lock of `key`, so that
        what reads and writes one key runs one at a time on every node."""
        with self.database.transaction() as conn:
            conn.execute("SELECT pg_advisory_xact_lock(hashtextextended(%s, 0))", (key,))
            yield Statements(self.database, conn)


class _Rows(object):
    def __init__(self, rows):
        self.rows = rows or []

    def fetchone(self):
        return self.rows[0] if self.rows else None

    def fetchall(self):
        return self.rows


def _first_line(error):
    text = str(error).strip()
    return text.splitlines()[0] if text else type(error).__name__


def schema_version(conn):
    conn.execute("CREATE TABLE IF NOT EXISTS schema_version (id INTEGER PRIMARY KEY "
                 "CHECK (id = 0), version INTEGER NOT NULL)")
    conn.execute("INSERT INTO schema_version VALUES (0, 0) ON CONFLICT (id) DO NOTHING")
    return conn.execute("SELECT version FROM schema_version").fetchone()[0]


def migrate(conn, migrations=None):
    """Brings the schema up to this code's version, one transaction per step; StartError when
    the database already holds a newer one."""
    migrations = MIGRATIONS if migrations is None else migrations
    while True:
        with conn.transaction():
            conn.execute("SELECT pg_advisory_xact_lock(%s)", (MIGRATION_LOCK,))
            version = schema_version(conn)
            if version > len(migrations):
                raise StartError(
                    "the shared database's schema is version %d, newer than this manager's %d: "
                    "upgrade the manager on this node" % (version, len(migrations)))
            if version == len(migrations):
                return version
            conn.execute(migrations[version])
            conn.execute("UPDATE schema_version SET version = %s", (version + 1,))
            log.warning("shared database: schema upgraded to version %d", version + 1)


def open_database(config):
    """The shared database the settings name, or None for the embedded mode."""
    url = config.get("VIEW_DATABASE")
    if not url:
        return None
    check_url(url)
    return Database(url)
