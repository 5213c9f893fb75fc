"""The record of what the plug-in store holds, and the history of its changes.

One SQLite file in the data folder (standard library, WAL, so readers never wait for a writer).
Tables:
- installed: one row per plug-in folder the application put in place (name, archive name,
  SHA-256 of the archive, its size, member count, when, by whom);
- previous: the generation a replace or a rollback moved aside, one per name at most;
- pending: a change between "staged" and "recorded" (see store.py): what it installs and the
  inode of the folder it puts in place, so that a start after a kill can tell whether the
  rename happened and finish or undo the change;
- history: the last changes and refusals, for the operator.
Changes to installed/previous happen only under the store lock, in one SQLite transaction
with the rename they describe already done (or, for pending, not yet done), so the record and
the folders agree whenever the lock is free. A pending row outlives its change only when its
process was killed or its record write failed; the next change or start settles it.
"""
import contextlib
import logging
import os
import secrets
import sqlite3
import threading
import time
import unicodedata

from .admission import Refusal
from .sqlite_files import open_sqlite

RECORD_FILE = "record.sqlite3"
HISTORY_KEPT = 500
FACTS = ("name", "archive", "sha256", "size", "members", "installed_at", "installed_by")

SCHEMA = """
CREATE TABLE IF NOT EXISTS installed (name TEXT PRIMARY KEY, nfc TEXT NOT NULL, archive TEXT,
    sha256 TEXT, size INTEGER, members INTEGER, installed_at REAL, installed_by TEXT);
CREATE INDEX IF NOT EXISTS installed_nfc ON installed (nfc);
CREATE TABLE IF NOT EXISTS previous (name TEXT PRIMARY KEY, nfc TEXT NOT NULL, archive TEXT,
    sha256 TEXT, size INTEGER, members INTEGER, installed_at REAL, installed_by TEXT);
CREATE TABLE IF NOT EXISTS pending (tx TEXT PRIMARY KEY, action TEXT NOT NULL,
    name TEXT NOT NULL, inode INTEGER, archive TEXT, sha256 TEXT, size INTEGER,
    members INTEGER, installed_at REAL, installed_by TEXT);
CREATE TABLE IF NOT EXISTS history (id INTEGER PRIMARY KEY AUTOINCREMENT, at REAL NOT NULL,
    who TEXT, action TEXT NOT NULL, name TEXT, archive TEXT, result TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS generation (id INTEGER PRIMARY KEY CHECK (id = 0), n INTEGER);
INSERT OR IGNORE INTO generation VALUES (0, 0);
"""
# The files SQLite keeps beside the record in WAL mode: they belong to one record file only.
COMPANIONS = ("-wal", "-shm")
# Where the store notes each record file it put back, as "device inode device inode" (the
# file that was deleted, its copy): the only files at the path a running process takes up.
RESTORED = ".restored"
log = logging.getLogger("app.store")


class RecordReplaced(Refusal):
    """The record file at its path is no longer the one this process writes to, and not a
    copy this store made of it: changes are refused until a start takes up the file there."""

    def __init__(self, message):
        Refusal.__init__(self, 503, message)


class RecordGone(RecordReplaced):
    """No record file at the path (deleted while the server runs) where one was to be opened."""

    def __init__(self, path):
        RecordReplaced.__init__(self, "the record file %s was deleted while the server runs, "
                                      "and this process has none open; no change is made until "
                                      "a change of another worker puts it back or the server "
                                      "is restarted" % path)


def nfc(name):
    return unicodedata.normalize("NFC", name)


def _text(name):
    """A name as the record keeps it: text, or, for a name off the disk whose bytes are not
    UTF-8 (surrogate escapes, which SQLite text cannot hold), those bytes as a blob."""
    try:
        name.encode("utf-8")
        return name
    except UnicodeEncodeError:
        return os.fsencode(name)


def _name(value):
    return os.fsdecode(value) if isinstance(value, bytes) else value


def _shown(value):
    return value if not isinstance(value, bytes) else value.decode("utf-8", "backslashreplace")


def _facts(row):
    facts = {k: row[k] for k in FACTS}
    facts["name"] = _name(facts["name"])
    return facts


def _identity(path):
    try:
        info = os.stat(path)
    except FileNotFoundError:
        return None
    return info.st_dev, info.st_ino


class Record(object):
    """The record of one data folder. One connection per thread and process.

    Each use checks that the file at the record's path is still the one the connection has
    open: a record file deleted while the server runs would otherwise take every later change
    with it. A change (guard(), under the store lock) puts a copy of the open file back where
    it was deleted; a file put there by anyone else stops changes (RecordReplaced) rather
    than have two records. Each process keeps one more connection, its anchor, on the newest
    record file it knows: what a thread that starts while the file is gone reads, and what
    the file is put back from."""

    def __init__(self, data):
        self.path = os.path.join(data, RECORD_FILE)
        self.local = threading.local()
        self.anchor = (None, None, None)  # process id, connection, identity
        if _identity(self.path) is None:
            self._set_aside_companions()
            self._create()
        self.connect().db.executescript(SCHEMA)  # a record of an older version gains tables

    def _create(self):
        """Makes the record file whole, tables included, before it appears at its path: a
        process that opens it meanwhile never finds a record without its tables. Another
        process may make it first; then that one is kept."""
        tmp = "%s.creating-%d-%s" % (self.path, os.getpid(), secrets.token_hex(3))
        db = open_sqlite(tmp, timeout=60)
        try:
            db.executescript(SCHEMA)
            db.execute("PRAGMA journal_mode=DELETE")  # all of it in the one file
            db.close()
            try:
                os.link(tmp, self.path)
            except FileExistsError:
                pass
        finally:
            db.close()
            for path in (tmp,) + tuple(tmp + c for c in COMPANIONS + ("-journal",)):
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(path)

    def _open(self):
        """A connection to the file at the path, its identity and its WAL's. It never makes
        the file (only _create does): an open that made one where the record was just deleted
        would start an empty record that other workers then write into (RecordGone instead)."""
        for _ in range(10):
            before = _identity(self.path)
            if before is None:
                raise RecordGone(self.path)
            try:
                db = open_sqlite(self.path, timeout=60, any_thread=True, must_exist=True)
            except sqlite3.OperationalError:
                if _identity(self.path) is not None:
                    raise
                raise RecordGone(self.path) from None  # deleted while it was opened
            db.row_factory = sqlite3.Row
            identity = _identity(self.path)
            if identity == before:
                db.execute("SELECT count(*) FROM sqlite_master").fetchone()  # the WAL opened
                return db, identity, _identity(self.path + "-wal")
            db.close()  # replaced while it was opened: which one is open is unknown
        raise RecordReplaced("the record file %s keeps being replaced" % self.path)

    def _use(self, db, identity, wal):
        self.local.db, self.local.pid, self.local.identity = db, os.getpid(), identity
        self.local.wal, self.local.foreign = wal, None
        pid, anchor, known = self.anchor
        if pid != os.getpid() or known != identity:
            # the anchor follows the newest file (a thread that borrows the old one keeps it
            # alive for as long as it reads)
            self.anchor = (os.getpid(), self._open()[0], identity)
        return db

    def connect(self):
        db = getattr(self.local, "db", None)
        if db is None or self.local.pid != os.getpid():
            pid, anchor, _ = self.anchor
            try:
                db = self._use(*self._open())
            except RecordGone:
                if pid != os.getpid():
                    raise
                return _Transaction(anchor)  # gone: read what this process last knew
        elif _identity(self.path) not in (self.local.identity, self.local.foreign):
            db = self._take_up() or db
        return _Transaction(db)

    def gone(self):
        """Whether no file is at the record's path (deleted while the server runs)."""
        return _identity(self.path) is None

    def _copies(self):
        """deleted file's identity -> its copy's, as the store noted them."""
        copies = {}
        try:
            with open(self.path + RESTORED) as f:
                for line in f:
                    numbers = tuple(int(n) for n in line.split())
                    copies[numbers[:2]] = numbers[2:]
        except (FileNotFoundError, ValueError):
            pass
        return copies

    def _take_up(self):
        """The connection to the file now at the path, when that file is a copy this store
        made of the one this thread has open; else None (and that file is not asked again).
        Any other file is never opened: SQLite would read the WAL of the open one into it."""
        now = _identity(self.path)
        if now is None:
            return None
        copies = self._copies()
        identity = self.local.identity
        for _ in range(len(copies)):
            identity = copies.get(identity)
            if identity == now:
                old = self.local.db
                db = self._use(*self._open())
                old.close()  # (SQLite leaves the WAL of a moved file alone)
                return db
        self.local.foreign = now
        return None

    def guard(self):
        """Before a change, under the store lock: the change goes into the file at the
        record's path. One deleted while the server ran is put back, whole, from the newest
        file this process has open (a consistent copy of it and its WAL); one replaced by
        another file refuses the change."""
        self.connect()
        now = _identity(self.path)
        if now is not None and now == getattr(self.local, "identity", None):
            return
        if now is not None:
            if _identity(self.path + "-wal") == getattr(self.local, "wal", None):
                # Ours, not the new file's: a start would read it into that file.
                self._set_aside_companions()
            raise RecordReplaced("the record file %s was replaced while the server runs; no "
                                 "change is made until the server is restarted (it then "
                                 "takes up the file that is there now)" % self.path)
        pid, source, identity = self.anchor
        if pid != os.getpid() or identity in self._copies():
            raise RecordReplaced("the record file %s was deleted while the server runs, and "
                                 "this process does not have its newest version open; no "
                                 "change is made until the server is restarted" % self.path)
        tmp = "%s.restoring-%d" % (self.path, os.getpid())
        copy = sqlite3.connect(tmp, isolation_level=None)
        try:
            source.backup(copy)
            copy.execute("PRAGMA journal_mode=DELETE")  # all of it in the one file
            copy.close()
            with open(tmp, "rb+") as f:
                os.fsync(f.fileno())
            # noted before the copy is at the path, so no process finds it there unannounced
            with open(self.path + RESTORED, "a") as f:
                f.write("%d %d %d %d\n" % (identity + _identity(tmp)))
                f.flush()
                os.fsync(f.fileno())
            self._set_aside_companions()
            os.rename(tmp, self.path)
        except BaseException:
            copy.close()
            for path in (tmp,) + tuple(tmp + c for c in COMPANIONS + ("-journal",)):
                try:
                    os.unlink(path)
                except FileNotFoundError:
                    pass
            raise
        log.warning("the record file %s was deleted while the server ran; put back from "
                    "the open one, with all it held", self.path)
        old = getattr(self.local, "db", None)
        self._use(*self._open())
        if old is not None and old is not source:
            old.close()

    def _set_aside_companions(self):
        """WAL files left without their record file (or beside one that is gone) are no
        part of any record SQLite may open at the path: renamed aside, never read into it."""
        for suffix in COMPANIONS:
            path = self.path + suffix
            if os.path.lexists(path):
                os.rename(path, "%s.orphaned-%d-%s" % (path, time.time(), secrets.token_hex(3)))

    # --- reading ---------------------------------------------------------------------------

    def generation(self):
        """A number that changes with every recorded change (listings cache on it)."""
        return self.connect().db.execute("SELECT n FROM generation").fetchone()[0]

    def installed(self, names=None):
        """name -> facts (a dict) of the installed plug-ins, of `names` only if given."""
        db = self.connect().db
        if names is None:
            rows = db.execute("SELECT * FROM installed").fetchall()
        else:
            rows = []
            names = [_text(n) for n in names]
            for i in range(0, len(names), 500):
                chunk = names[i:i + 500]
                rows += db.execute("SELECT * FROM installed WHERE name IN (%s)"
                                   % ",".join("?" * len(chunk)), chunk).fetchall()
        return {_name(row["name"]): _facts(row) for row in rows}

    def previous(self, names=None):
        db = self.connect().db
        rows = db.execute("SELECT * FROM previous").fetchall()
        wanted = None if names is None else {_text(n) for n in names}
        return {_name(row["name"]): _facts(row) for row in rows
                if wanted is None or row["name"] in wanted}

    def same_after_nfc(self, name):
        """Installed names that equal `name` after NFC but are written differently."""
        rows = self.connect().db.execute("SELECT name FROM installed WHERE nfc = ?",
                                         (_text(nfc(name)),)).fetchall()
        return [_name(row[0]) for row in rows if _name(row[0]) != name]

    def pending(self):
        rows = [dict(row) for row in self.connect().db.execute("SELECT * FROM pending")]
        for row in rows:
            row["name"] = _name(row["name"])
        return rows

    def history(self, limit=20):
        rows = self.connect().db.execute(
            "SELECT at, who, action, name, archive, result FROM history ORDER BY id DESC "
            "LIMIT ?", (limit,)).fetchall()
        rows = [dict(row) for row in rows]
        for row in rows:
            row["name"], row["archive"] = _shown(row["name"]), _shown(row["archive"])
        return rows

    # --- changing --------------------------------------------------------------------------

    def note(self, who, action, name, archive, result):
        with self.connect() as db:
            self._note(db, who, action, name, archive, result)

    def _note(self, db, who, action, name, archive, result):
        db.execute("INSERT INTO history (at, who, action, name, archive, result) "
                   "VALUES (?, ?, ?, ?, ?, ?)", (time.time(), who, action,
                                                 None if name is None else _text(name),
                                                 archive and _text(archive), _text(result)))
        db.execute("DELETE FROM history WHERE id <= (SELECT MAX(id) FROM history) - ?",
                   (HISTORY_KEPT,))

    def begin(self, tx, action, name, inode, facts=None):
        facts = facts or {}
        with self.connect() as db:
            db.execute("INSERT INTO pending VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                       (tx, action, _text(name), inode) + tuple(
                           facts.get(k) for k in FACTS[1:]))

    def drop_pending(self, tx):
        with self.connect() as db:
            db.execute("DELETE FROM pending WHERE tx = ?", (tx,))

    def finish(self, pending, result):
        """Records the change `pending` describes as done (its rename has happened)."""
        name, action = _text(pending["name"]), pending["action"]
        key = _text(nfc(pending["name"]))
        with self.connect() as db:
            if action in ("install", "replace"):
                db.execute("DELETE FROM previous WHERE name = ?", (name,))
                if action == "replace":
                    db.execute("INSERT INTO previous SELECT * FROM installed WHERE name = ?",
                               (name,))
                    if not db.execute("SELECT 1 FROM previous WHERE name = ?",
                                      (name,)).fetchone():
                        # a folder that was there without a record: kept, facts unknown
                        db.execute("INSERT INTO previous (name, nfc) VALUES (?, ?)",
                                   (name, key))
                db.execute("INSERT OR REPLACE INTO installed VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                           (name, key) + tuple(pending[k] for k in FACTS[1:]))
            elif action == "rollback":
                db.execute("CREATE TEMP TABLE IF NOT EXISTS swap AS SELECT * FROM installed "
                           "WHERE 0")
                db.execute("DELETE FROM temp.swap")
                db.execute("INSERT INTO temp.swap SELECT * FROM installed WHERE name = ?",
                           (name,))
                db.execute("DELETE FROM installed WHERE name = ?", (name,))
                db.execute("INSERT INTO installed SELECT * FROM previous WHERE name = ?",
                           (name,))
                db.execute("DELETE FROM previous WHERE name = ?", (name,))
                db.execute("INSERT INTO previous SELECT * FROM temp.swap")
            elif action == "remove":
                db.execute("DELETE FROM installed WHERE name = ?", (name,))
                db.execute("DELETE FROM previous WHERE name = ?", (name,))
            db.execute("DELETE FROM pending WHERE tx = ?", (pending["tx"],))
            db.execute("UPDATE generation SET n = n + 1")
            self._note(db, pending["installed_by"], action, pending["name"], pending["archive"],
                       result)

    def rows_of(self, name):
        """The rows of `name` in installed and previous, as they are (for take_back)."""
        db = self.connect().db
        return {table: [tuple(row) for row in db.execute(
            "SELECT * FROM %s WHERE name = ?" % table, (_text(name),))]
            for table in ("installed", "previous")}

    def take_back(self, pending, rows):
        """Undoes finish(pending) in one transaction: the rows of its name as `rows` (from
        rows_of() before it) and its pending row again, so that the folders may be put back
        as after a record write that failed (a kill meanwhile is settled by the inode)."""
        name = _text(pending["name"])
        with self.connect() as db:
            for table, saved in rows.items():
                db.execute("DELETE FROM %s WHERE name = ?" % table, (name,))
                for row in saved:
                    db.execute("INSERT INTO %s VALUES (%s)" % (table, ", ".join("?" * len(row))),
                               row)
            db.execute("INSERT INTO pending (tx, action, name, inode, %s) VALUES (?, ?, ?, ?, %s)"
                       % (", ".join(FACTS[1:]), ", ".join("?" * len(FACTS[1:]))),
                       (pending["tx"], pending["action"], name, pending["inode"]) + tuple(
                           pending[k] for k in FACTS[1:]))
            db.execute("UPDATE generation SET n = n + 1")
            self._note(db, pending["installed_by"], pending["action"], pending["name"],
                       pending["archive"], "taken back: the shared record did not take it")

    def forget(self, name, previous_only=False):
        """Drops rows whose folder is gone (found so at a start)."""
        with self.connect() as db:
            if not previous_only:
                db.execute("DELETE FROM installed WHERE name = ?", (_text(name),))
            db.execute("DELETE FROM previous WHERE name = ?", (_text(name),))
            db.execute("UPDATE generation SET n = n + 1")


class _Transaction(object):
    """`with record.connect() as db:` runs the block in one immediate transaction."""

    def __init__(self, db):
        self.db = db

    def __enter__(self):
        self.db.execute("BEGIN IMMEDIATE")
        return self.db

    def __exit__(self, kind, value, tb):
        if kind is None:
            try:
                self.db.execute("COMMIT")
                return False
            except sqlite3.Error:
                if self.db.in_transaction:  # a failed COMMIT may leave it open
                    self.db.execute("ROLLBACK")
                raise
        self.db.execute("ROLLBACK")
        return False
