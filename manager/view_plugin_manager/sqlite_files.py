"""Opening the data folder's SQLite files (the record, the sessions) with the settings they share."""
import os
import sqlite3
import threading
from urllib.parse import quote

_local = threading.local()


def open_sqlite(path, timeout, any_thread=False, create_mode=None, must_exist=False):
    """A new connection to the SQLite file at `path`: autocommit (each statement stands alone
    unless a BEGIN says otherwise), WAL (readers never wait for the writer), synchronous=NORMAL
    (WAL keeps a commit whole; only the last ones may be lost on power failure). `timeout`: how
    long a statement waits for another writer. `any_thread`: the caller hands the connection
    between threads itself. `create_mode`: make the file first with these permissions, never
    through a link, so that SQLite does not create it with the umask's. `must_exist`: a file
    that is not there is an error (sqlite3.OperationalError), never made empty."""
    if create_mode is not None:
        os.close(os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC | os.O_NOFOLLOW,
                         create_mode))
    target, uri = (("file:%s?mode=rw" % quote(os.path.abspath(path)), True) if must_exist
                   else (path, False))
    db = sqlite3.connect(target, timeout=timeout, isolation_level=None,
                         check_same_thread=not any_thread, uri=uri)
    try:
        db.execute("PRAGMA journal_mode=WAL")
        db.execute("PRAGMA synchronous=NORMAL")
    except BaseException:
        db.close()
        raise
    return db


def thread_connection(path, opener):
    """This thread's connection to `path`, made by `opener(path)` on first use. Connections
    are never shared across threads or carried across a fork."""
    key = (path, os.getpid())
    dbs = _local.__dict__.setdefault("dbs", {})
    db = dbs.get(key)
    if db is None:
        db = dbs[key] = opener(path)
    return db
