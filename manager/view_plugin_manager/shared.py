"""The store of a node of several, on one PostgreSQL database: what only PostgreSQL has.

The record in the database (table entries, with previous and history) is the truth: which
plug-ins are installed, from which archive, with its SHA-256, and the archive's bytes
themselves (archive_chunks, written and read one chunk at a time, never whole in memory).
Each node's plugin/ and its local record are its copy of it, kept by the same staged, verified
install as the embedded store (store.Store).

A change made on a node (upload, replace, rollback, removal) passes the embedded store's checks
and becomes one transaction: the new desired state, the archive's bytes, a history row and a
notification. It holds an advisory lock on the name from its start to its commit, so changes of
one name never interleave whatever node makes them, and it puts the node's own copy in place
before it commits: a failure there (a full disk) undoes the whole change, and a commit that
fails after it leaves a copy ahead of the record, which the node's controller (converge.py)
brings back. The other nodes take the same lock, shared, to converge a name, so they never
install a version that a change is about to replace.
"""
import contextlib
import functools
import hashlib
import json
import logging
import os
import tempfile
import time

from .admission import Refusal
from .record import Record, nfc
from .store import CHUNK, Conflict, Intake, Store, staging_root

log = logging.getLogger("app.shared")

CHANNEL = "view_store"
PLUGIN = "plugin"
MODULE = "api_module"
COPIES_FILE = ".copies.json"
FACT_COLUMNS = ("archive", "sha256", "size", "members", "installed_at", "installed_by",
                "archive_id")


# --- locks and notifications -----------------------------------------------------------------

def lock_name(conn, kind, name, shared=False):
    """Holds the name's advisory lock until the transaction ends: exclusive for a change,
    shared for a node that only copies what the record says."""
    conn.execute("SELECT pg_advisory_xact_lock%s(hashtextextended(%%s, 0))"
                 % ("_shared" if shared else ""), (kind + "/" + name,))


def notify(conn, kind, name):
    """Tells every node's controller that the name changed; sent when the transaction commits."""
    conn.execute("SELECT pg_notify(%s, %s)", (CHANNEL, json.dumps([kind, name])))


def note(conn, node, who, action, name, archive, result):
    conn.execute("INSERT INTO history (at, who, action, name, archive, result, node) "
                 "VALUES (%s, %s, %s, %s, %s, %s, %s)",
                 (time.time(), who, action, name, archive, result, node))


# --- archives --------------------------------------------------------------------------------

def store_archive(conn, path, sha256, size):
    """Copies the archive file at `path` into the database, CHUNK bytes at a time; its id."""
    archive_id = conn.execute(
        "INSERT INTO archives (sha256, size, created_at) VALUES (%s, %s, %s) RETURNING id",
        (sha256, size, time.time())).fetchone()[0]
    with open(path, "rb") as f, conn.cursor() as cur:
        with cur.copy("COPY archive_chunks (archive, seq, data) FROM STDIN (FORMAT BINARY)"
                      ) as copy:
            copy.set_types(["int8", "int4", "bytea"])
            seq = 0
            while True:
                chunk = f.read(CHUNK)
                if not chunk:
                    break
                copy.write_row((archive_id, seq, chunk))
                seq += 1
    return archive_id


def archive_chunks(conn, archive_id):
    """The archive's bytes, chunk by chunk, through a server-side cursor (inside the caller's
    transaction), so only one chunk at a time is held."""
    with conn.cursor(name="archive_%d" % archive_id) as cur:
        cur.itersize = 1
        cur.execute("SELECT data FROM archive_chunks WHERE archive = %s ORDER BY seq",
                    (archive_id,))
        for (data,) in cur:
            yield data


def drop_archives(conn, ids):
    """Deletes the archives of `ids` that no row refers to any more."""
    for archive_id in {i for i in ids if i is not None}:
        conn.execute("DELETE FROM archives WHERE id = %s AND NOT EXISTS (SELECT 1 FROM "
                     "entries WHERE archive_id = %s) AND NOT EXISTS (SELECT 1 FROM previous "
                     "WHERE archive_id = %s)", (archive_id, archive_id, archive_id))


# --- the record ------------------------------------------------------------------------------

def _facts(row):
    return dict(zip(("name",) + FACT_COLUMNS, row))


def entry(conn, table, kind, name, for_update=False):
    row = conn.execute("SELECT name, %s FROM %s WHERE kind = %%s AND name = %%s%s"
                       % (", ".join(FACT_COLUMNS), table, " FOR UPDATE" if for_update else ""),
                       (kind, name)).fetchone()
    return None if row is None else _facts(row)


def desired(conn, kind=PLUGIN):
    """name -> facts of every entry of `kind` the record holds."""
    rows = conn.execute("SELECT name, %s FROM entries WHERE kind = %%s"
                        % ", ".join(FACT_COLUMNS), (kind,)).fetchall()
    return {row[0]: _facts(row) for row in rows}


def _put(conn, table, kind, facts):
    conn.execute("INSERT INTO %s (kind, name, nfc, %s) VALUES (%%s, %%s, %%s, %s) "
                 "ON CONFLICT (kind, name) DO UPDATE SET %s"
                 % (table, ", ".join(FACT_COLUMNS), ", ".join(["%s"] * len(FACT_COLUMNS)),
                    ", ".join("%s = EXCLUDED.%s" % (c, c) for c in FACT_COLUMNS)),
                 (kind, facts["name"], nfc(facts["name"])) + tuple(
                     facts.get(c) for c in FACT_COLUMNS))


def _delete(conn, table, kind, name):
    conn.execute("DELETE FROM %s WHERE kind = %%s AND name = %%s" % table, (kind, name))


# --- a node's copy ---------------------------------------------------------------------------

def tree_fingerprint(path):
    """(entries, bytes of regular files, digest of the relative names) of the tree at `path`:
    what a hand that deleted, added or cut a file changes."""
    count, total, names = 0, 0, hashlib.sha256()
    for folder, dirs, files in os.walk(path):
        dirs.sort()
        for name in sorted(dirs + files):
            full = os.path.join(folder, name)
            info = os.lstat(full)
            count += 1
            total += info.st_size if not os.path.isdir(full) else 0
            names.update(os.fsencode(os.path.relpath(full, path)) + b"\0")
    return [count, total, names.hexdigest()]


def file_digest(path):
    """(SHA-256, size) of the file at `path`, or (None, None) if there is none."""
    sha, size = hashlib.sha256(), 0
    try:
        with open(path, "rb") as f:
            for chunk in iter(lambda: f.read(CHUNK), b""):
                sha.update(chunk)
                size += len(chunk)
    except (FileNotFoundError, IsADirectoryError):
        return None, None
    return sha.hexdigest(), size


class SharedIntake(Intake):
    """An Intake that also streams the archive as sent into the shared database while it
    arrives, in a transaction of its own connection that the change then carries on (take());
    a refused upload, a kill or a database that goes away rolls it back, so no archive is
    kept that no record names."""

    def __init__(self, data, limits, total_length, database):
        Intake.__init__(self, data, limits, total_length)
        self.database, self.conn, self.copy = database, None, None
        self.seq, self.db_error, self.sent = 0, None, False
        try:
            self.conn = database.take()
            with database.unavailable_on_failure():
                self.conn.execute("BEGIN")
                self.archive_id = self.conn.execute(
                    "INSERT INTO archives (sha256, size, created_at) VALUES ('', 0, %s) "
                    "RETURNING id", (time.time(),)).fetchone()[0]
                self.cursor = self.conn.cursor()
                self.copying = self.cursor.copy("COPY archive_chunks (archive, seq, data) FROM "
                                                "STDIN (FORMAT BINARY)")
                self.copy = self.copying.__enter__()
                self.copy.set_types(["int8", "int4", "bytea"])
        except BaseException:
            self.close()
            raise

    def _hand_on(self):
        # The batch the unpacker gets, as it is (about CHUNK bytes): one row each, no copy.
        data = Intake._hand_on(self)
        if data and self.db_error is None and self.copy is not None:
            try:
                with self.database.unavailable_on_failure():
                    self.copy.write_row((self.archive_id, self.seq, data))
            except Exception as e:  # raised by finish(), once the request has been read
                self.db_error = e
            self.seq += 1
        return data

    def finish(self):
        result = Intake.finish(self)  # hands on the last batch first
        if not self.sent:
            self.sent = True
            if self.db_error is not None:
                raise self.db_error
            with self.database.unavailable_on_failure():
                self.copy = None
                self.copying.__exit__(None, None, None)
                self.conn.execute("UPDATE archives SET sha256 = %s, size = %s WHERE id = %s",
                                  (result[0], result[1], self.archive_id))
        return result

    def take(self):
        """The connection, its transaction open with the archive in it, for the change."""
        conn, self.conn = self.conn, None
        return conn

    def close(self):
        conn, self.conn = self.conn, None
        if conn is not None:
            try:
                if self.copy is not None:
                    self.copy = None
                    refusal = Refusal(400, "the upload was not kept")
                    self.copying.__exit__(Refusal, refusal, None)
            except Exception:
                pass
            try:
                conn.execute("ROLLBACK")
            except Exception:
                conn.close()  # the pool replaces a closed connection
            self.database.give(conn)
        Intake.close(self)


class SharedRecord(Record):
    """The node's local record; the history comes from the shared database while it answers."""

    def __init__(self, data, database):
        Record.__init__(self, data)
        self.database = database

    def history(self, limit=20):
        from .database import Unavailable
        try:
            rows = self.database.execute(
                "SELECT at, who, action, name, archive, result, node FROM history "
                "ORDER BY id DESC LIMIT %s", (limit,))
        except Unavailable:
            return Record.history(self, limit)
        return [dict(zip(("at", "who", "action", "name", "archive", "result", "node"), row))
                for row in rows]


class SharedStore(Store):
    def __init__(self, data, limits, database, node):
        Store.__init__(self, data, limits)
        self.intake_class = functools.partial(SharedIntake, database=database)
        self.record = SharedRecord(data, database)
        self.database, self.node = database, node
        self.copies_path = os.path.join(data, COPIES_FILE)

    # --- the fingerprints of this node's copies (under the store lock) ----------------------

    def copies(self):
        try:
            with open(self.copies_path) as f:
                return json.load(f)
        except (FileNotFoundError, ValueError):
            return {}

    def fingerprints(self):
        """name -> fingerprint of the plug-ins this node put in place from the shared record."""
        return self.copies().get(PLUGIN, {})

    def fingerprint(self, name):
        """The fingerprint of the plug-in `name` as this node put it in place, or None."""
        return self.fingerprints().get(name)

    def remember(self, name, forget=False):
        copies = self.copies()
        plugins = copies.setdefault(PLUGIN, {})
        if forget:
            plugins.pop(name, None)
        else:
            plugins[name] = tree_fingerprint(self.place(name))
        tmp = self.copies_path + ".%d" % os.getpid()
        with open(tmp, "w") as f:
            json.dump(copies, f)
        os.replace(tmp, self.copies_path)

    # --- changes made on this node ----------------------------------------------------------

    def install(self, intake, archive_name, who, replace):
        sha, size, top, members = intake.finish()
        facts = {"name": top, "archive": archive_name, "sha256": sha, "size": size,
                 "members": len(members), "installed_at": time.time(), "installed_by": who}
        with self.database.adopt(intake.take()) as conn:
            lock_name(conn, PLUGIN, top)
            same = conn.execute("SELECT name FROM entries WHERE kind = %s AND nfc = %s AND "
                                "name <> %s", (PLUGIN, nfc(top), top)).fetchone()
            if same:
                raise Refusal(400, "the plug-in folder %r equals the installed %r after "
                                   "Unicode normalisation (NFC); rename the folder"
                              % (top, same[0]))
            current = entry(conn, "entries", PLUGIN, top, for_update=True)
            if current is not None and not replace and current["archive"] != archive_name:
                raise Conflict(409, "the plug-in %r is installed from %r; ask to replace it "
                                    "(form field 'replace', the checkbox on the page)"
                               % (top, current["archive"]))
            action = "install" if current is None else "replace"
            facts["archive_id"] = intake.archive_id
            old = entry(conn, "previous", PLUGIN, top)
            if current is not None:
                _put(conn, "previous", PLUGIN, current)
            _put(conn, "entries", PLUGIN, facts)
            drop_archives(conn, [old and old["archive_id"]])
            note(conn, self.node, who, action, top, archive_name, "ok")
            notify(conn, PLUGIN, top)
            # This node's copy, last: what fails here undoes the change everywhere.
            Store.install(self, intake, archive_name, who, replace or current is not None)
            self._remember_locked(top)
        return top, action

    def remove(self, name, who):
        with self.database.transaction() as conn:
            lock_name(conn, PLUGIN, name)
            current = entry(conn, "entries", PLUGIN, name, for_update=True)
            if current is None and not os.path.lexists(self.place(name)):
                raise Refusal(404, "no plug-in named %r" % name)
            if current is not None:
                old = entry(conn, "previous", PLUGIN, name)
                _delete(conn, "entries", PLUGIN, name)
                _delete(conn, "previous", PLUGIN, name)
                drop_archives(conn, [current["archive_id"], old and old["archive_id"]])
                note(conn, self.node, who, "remove", name, current["archive"], "ok")
                notify(conn, PLUGIN, name)
            if os.path.lexists(self.place(name)):
                Store.remove(self, name, who)
            self._remember_locked(name, forget=True)

    def rollback(self, name, who):
        with self.database.transaction() as conn:
            lock_name(conn, PLUGIN, name)
            current = entry(conn, "entries", PLUGIN, name, for_update=True)
            if current is None:
                raise Refusal(404, "no plug-in named %r" % name)
            kept = entry(conn, "previous", PLUGIN, name)
            if kept is None:
                raise Refusal(409, "the plug-in %r has no previous version to put back"
                              % name)
            kept["installed_by"] = who
            _put(conn, "entries", PLUGIN, kept)
            _put(conn, "previous", PLUGIN, current)
            note(conn, self.node, who, "rollback", name, kept["archive"], "ok")
            notify(conn, PLUGIN, name)
            self.copy_from_record(conn, name, kept)
        return kept["archive"]

    # --- copying the record -----------------------------------------------------------------

    def copy_from_record(self, conn, name, facts):
        """Puts the archive the record names in place on this node, through the staged,
        verified install: nothing is renamed before its SHA-256 equals the record's."""
        intake = Intake(self.data, self.limits, facts["size"])
        try:
            with conn.transaction():  # the server-side cursor lives in a transaction
                for chunk in archive_chunks(conn, facts["archive_id"]):
                    intake.write(chunk)
            sha, size, top, members = intake.finish()
            if sha != facts["sha256"] or top != name:
                raise Refusal(500, "the archive of %r in the shared record is damaged: its "
                                   "SHA-256 is %s, the record says %s" % (name, sha,
                                                                           facts["sha256"]))
            Store.install(self, intake, facts["archive"], facts["installed_by"], True)
        finally:
            intake.close()
        self._remember_locked(name)

    def _remember_locked(self, name, forget=False):
        with self.lock():
            self.remember(name, forget)

    def copy_matches(self, name, facts, local, verify):
        """Whether this node's copy of `name` is the record's `facts`."""
        mine = local.get(name)
        if mine is None or mine["sha256"] != facts["sha256"] \
                or not os.path.isdir(self.place(name)):
            return False
        if verify:
            known = self.fingerprint(name)
            return known is not None and known == tree_fingerprint(self.place(name))
        return True

    # --- API modules: one file each in temp/ -------------------------------------------------

    def module_path(self, name):
        return os.path.join(self.data, "temp", name)

    @contextlib.contextmanager
    def module_change(self, name, who, action):
        """Around the view that stores ("upload") or deletes ("remove") the module `name` on
        this node: the same change in the shared record, one transaction, committed once the
        view has done its part here."""
        with self.database.transaction() as conn:
            lock_name(conn, MODULE, name)
            current = entry(conn, "entries", MODULE, name, for_update=True)
            yield
            path = self.module_path(name)
            sha, size = file_digest(path)
            if action == "upload":
                if sha is None or (current is not None and current["sha256"] == sha):
                    return
                facts = {"name": name, "archive": name, "sha256": sha, "size": size,
                         "members": 1, "installed_at": time.time(), "installed_by": who,
                         "archive_id": store_archive(conn, path, sha, size)}
                _put(conn, "entries", MODULE, facts)
            else:
                if current is None or sha is not None:
                    return
                _delete(conn, "entries", MODULE, name)
            drop_archives(conn, [current and current["archive_id"]])
            note(conn, self.node, who, action, name, name, "ok")
            notify(conn, MODULE, name)
            self._remember_module(name, forget=action != "upload")

    def _remember_module(self, name, forget=False):
        with self.lock():
            copies = self.copies()
            modules = copies.setdefault(MODULE, {})
            if forget:
                modules.pop(name, None)
            else:
                modules[name] = True
            tmp = self.copies_path + ".%d" % os.getpid()
            with open(tmp, "w") as f:
                json.dump(copies, f)
            os.replace(tmp, self.copies_path)

    def copy_module(self, conn, name, facts):
        """Writes the module the record names to temp/, whole or not at all, once its SHA-256
        equals the record's."""
        fd, tmp = tempfile.mkstemp(prefix="module-", dir=staging_root(self.data))
        try:
            sha = hashlib.sha256()
            with os.fdopen(fd, "wb") as f, conn.transaction():
                for chunk in archive_chunks(conn, facts["archive_id"]):
                    sha.update(chunk)
                    f.write(chunk)
            if sha.hexdigest() != facts["sha256"]:
                raise Refusal(500, "the module %r in the shared record is damaged: its SHA-256 "
                                   "is %s, the record says %s" % (name, sha.hexdigest(),
                                                                  facts["sha256"]))
            with self.lock():
                os.replace(tmp, self.module_path(name))
        finally:
            if os.path.lexists(tmp):
                os.unlink(tmp)
        self._remember_module(name)

    def drop_module(self, name):
        with self.lock():
            try:
                os.unlink(self.module_path(name))
            except FileNotFoundError:
                pass
        self._remember_module(name, forget=True)

    def modules_in_place(self):
        """name -> SHA-256 of the module files that came through the shared record."""
        found = {}
        for name in self.copies().get(MODULE, {}):
            sha, _ = file_digest(self.module_path(name))
            if sha is not None:
                found[name] = sha
        return found
