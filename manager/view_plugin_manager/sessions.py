"""Sessions kept on the server, in one SQLite file of the data folder that every worker shares.

The cookie holds only an opaque random id; what the session holds (the anti-forgery token, who
signed in) stays in the file, where only a hash of the id is kept, so the file does not hand out
live cookies. A session ends at sign-out (its row is deleted, so a saved copy of the cookie is
worth nothing), when the operator token changes (sessions of another token are deleted at
start), after IDLE_SECONDS without a request and after LIFETIME_SECONDS in any case: the cookie's
expiry does not slide.
"""
import hashlib
import json
import os
import secrets
import sqlite3
import threading
import time

from flask import request
from flask.sessions import SessionInterface, SessionMixin
from werkzeug.datastructures import CallbackDict

DB_FILE = ".sessions.db"
IDLE_SECONDS = 60 * 60
LIFETIME_SECONDS = 12 * 60 * 60
# A request refreshes its session's last use at most this often: not a write per request.
TOUCH_SECONDS = 60

_local = threading.local()

SCHEMA = """
CREATE TABLE IF NOT EXISTS sessions (
    id TEXT PRIMARY KEY,      -- sha256 of the cookie's value
    data TEXT NOT NULL,       -- JSON
    operator TEXT,            -- fingerprint of the token that signed it in, or NULL
    created REAL NOT NULL,
    seen REAL NOT NULL
);
CREATE TABLE IF NOT EXISTS failures (
    client TEXT PRIMARY KEY,
    count INTEGER NOT NULL,
    last REAL NOT NULL,
    blocked_until REAL NOT NULL
);
"""


def connect(data):
    """This thread's connection to the data folder's session file (made 0600 on first use).
    Connections are never shared across threads or carried across a fork."""
    path = os.path.join(data, DB_FILE)
    key = (path, os.getpid())
    dbs = _local.__dict__.setdefault("dbs", {})
    db = dbs.get(key)
    if db is None:
        os.close(os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC | os.O_NOFOLLOW, 0o600))
        # Autocommit mode: each statement stands alone unless a BEGIN says otherwise.
        db = sqlite3.connect(path, timeout=10, isolation_level=None)
        db.execute("PRAGMA journal_mode=WAL")
        db.execute("PRAGMA synchronous=NORMAL")
        db.executescript(SCHEMA)
        dbs[key] = db
    return db


def _hash(sid):
    return hashlib.sha256(sid.encode("utf-8", "replace")).hexdigest()


class ServerSession(CallbackDict, SessionMixin):
    def __init__(self, initial=None, sid=None, created=None, seen=None):
        def on_update(self):
            self.modified = True

        CallbackDict.__init__(self, initial, on_update)
        self.sid = sid
        self.created = created
        self.seen = seen
        self.modified = False
        self.renew = False  # a new id at the next save (sign-in)
        self.permanent = True

    def regenerate(self):
        """Gives the session a new id when it is saved, so an id known before sign-in is not
        the signed-in one."""
        self.renew = True
        self.modified = True


class ServerSessions(SessionInterface):
    def __init__(self, data, keep_anonymous):
        # Without an operator token every visitor is the operator (loopback only); with one,
        # nobody gets a row before signing in, so unauthenticated clients cannot fill the file.
        self.data = data
        self.keep_anonymous = keep_anonymous

    def revoke_other_tokens(self, fingerprint):
        connect(self.data).execute(
            "DELETE FROM sessions WHERE operator IS NOT NULL AND operator IS NOT ?", (fingerprint,))

    def open_session(self, app, request):
        sid = request.cookies.get(self.get_cookie_name(app))
        if sid and len(sid) < 100:
            row = connect(self.data).execute(
                "SELECT data, created, seen FROM sessions WHERE id = ?", (_hash(sid),)).fetchone()
            now = time.time()
            if row and now - row[2] < IDLE_SECONDS and now - row[1] < LIFETIME_SECONDS:
                return ServerSession(json.loads(row[0]), sid, row[1], row[2])
        return ServerSession()

    def save_session(self, app, session, response):
        name = self.get_cookie_name(app)
        db = connect(self.data)
        now = time.time()
        response.vary.add("Cookie")
        if not session or session.renew:
            if session.sid is not None:
                db.execute("DELETE FROM sessions WHERE id = ?", (_hash(session.sid),))
                session.sid = None
            if not session:
                if name in request.cookies:
                    self._clear_cookie(app, response, name)
                return
        if session.sid is None:
            if not self.keep_anonymous and session.get("operator") is None:
                return
            session.sid, session.created = secrets.token_urlsafe(32), now
            db.execute("DELETE FROM sessions WHERE seen < ? OR created < ?",
                       (now - IDLE_SECONDS, now - LIFETIME_SECONDS))
            db.execute("INSERT INTO sessions VALUES (?, ?, ?, ?, ?)",
                       (_hash(session.sid), json.dumps(dict(session)), session.get("operator"),
                        now, now))
            response.set_cookie(
                name, session.sid, expires=session.created + LIFETIME_SECONDS,
                path=self.get_cookie_path(app), secure=self.get_cookie_secure(app),
                httponly=True, samesite=self.get_cookie_samesite(app))
        elif session.modified:
            db.execute("UPDATE sessions SET data = ?, operator = ?, seen = ? WHERE id = ?",
                       (json.dumps(dict(session)), session.get("operator"), now,
                        _hash(session.sid)))
        elif now - session.seen > TOUCH_SECONDS:
            db.execute("UPDATE sessions SET seen = ? WHERE id = ?", (now, _hash(session.sid)))

    def _clear_cookie(self, app, response, name):
        response.delete_cookie(name, path=self.get_cookie_path(app),
                               secure=self.get_cookie_secure(app), httponly=True,
                               samesite=self.get_cookie_samesite(app))
