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
the folders agree whenever the lock is free.
"""
import os
import sqlite3
import threading
import time
import unicodedata

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


class Record(object):
    """The record of one data folder. One connection per thread and process."""

    def __init__(self, data):
        self.path = os.path.join(data, RECORD_FILE)
        self.local = threading.local()
        self.connect().db.executescript(SCHEMA)

    def connect(self):
        db = getattr(self.local, "db", None)
        if db is None or self.local.pid != os.getpid():
            db = sqlite3.connect(self.path, timeout=60, isolation_level=None,
                                 check_same_thread=False)
            db.execute("PRAGMA journal_mode=WAL")
            db.execute("PRAGMA synchronous=NORMAL")
            db.row_factory = sqlite3.Row
            self.local.db, self.local.pid = db, os.getpid()
        return _Transaction(db)

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
        self.db.execute("COMMIT" if kind is None else "ROLLBACK")
        return False
