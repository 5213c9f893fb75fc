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
import time

from flask import request
from flask.sessions import SessionInterface, SessionMixin
from werkzeug.datastructures import CallbackDict

from .sqlite_files import open_sqlite, thread_connection

DB_FILE = ".sessions.db"
IDLE_SECONDS = 60 * 60
LIFETIME_SECONDS = 12 * 60 * 60
# A request refreshes its session's last use at most this often: not a write per request.
TOUCH_SECONDS = 60

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
    return thread_connection(os.path.join(data, DB_FILE), _open)


def _open(path):
    db = open_sqlite(path, timeout=10, create_mode=0o600)
    db.executescript(SCHEMA)
    return db


def _hash(sid):
    return hashlib.sha256(sid.encode("utf-8", "replace")).hexdigest()


def _is_unavailable(error):
    from .database import Unavailable
    return isinstance(error, Unavailable)


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
        self.unavailable = None  # why the session could not be read (shared database away)
        self.permanent = True

    def regenerate(self):
        """Gives the session a new id when it is saved, so an id known before sign-in is not
        the signed-in one."""
        self.renew = True
        self.modified = True


class ServerSessions(SessionInterface):
    def __init__(self, data, keep_anonymous, database=None):
        # Without an operator token every visitor is the operator (loopback only); with one,
        # nobody gets a row before signing in, so unauthenticated clients cannot fill the file.
        self.data = data
        self.keep_anonymous = keep_anonymous
        # Several nodes keep their sessions in the shared database (the same statements), so a
        # browser signed in on one is signed in on every other.
        self.statements = None if database is None else database.statements()

    def db(self):
        return connect(self.data) if self.statements is None else self.statements

    def revoke_other_tokens(self, fingerprint):
        if fingerprint is None:
            self.db().execute("DELETE FROM sessions WHERE operator IS NOT NULL")
        else:
            self.db().execute("DELETE FROM sessions WHERE operator IS NOT NULL AND "
                              "operator <> ?", (fingerprint,))

    def open_session(self, app, request):
        sid = request.cookies.get(self.get_cookie_name(app))
        if sid and len(sid) < 100:
            try:
                row = self.db().execute("SELECT data, created, seen FROM sessions WHERE id = ?",
                                        (_hash(sid),)).fetchone()
            except Exception as e:
                if not _is_unavailable(e):
                    raise
                # Who this is cannot be told now: the request goes on without a session, and
                # what needs one is answered 503 (access.check_access).
                session = ServerSession()
                session.unavailable = str(e)
                return session
            now = time.time()
            if row and now - row[2] < IDLE_SECONDS and now - row[1] < LIFETIME_SECONDS:
                return ServerSession(json.loads(row[0]), sid, row[1], row[2])
        return ServerSession()

    def save_session(self, app, session, response):
        try:
            self._save(app, session, response)
        except Exception as e:
            if not _is_unavailable(e):
                raise
            # A session that could not be kept must not look kept: the answer says so.
            response.status_code = 503
            response.set_data(json.dumps({"error": str(e)}))
            response.mimetype = "application/json"
            response.headers.pop("Location", None)
            response.headers.pop("Set-Cookie", None)

    def _save(self, app, session, response):
        name = self.get_cookie_name(app)
        db = self.db()
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
