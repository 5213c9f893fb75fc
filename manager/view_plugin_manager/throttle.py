"""Guessing the operator token is slowed per client.

Every credential a client presents (a bearer or Basic header, the sign-in form) is judged inside
one write transaction of the session file, which every worker shares: a client whose last
failures earned it a wait is answered 429 with Retry-After at once, its credential unread, and
a failure past the first FREE_FAILURES doubles the wait, up to MAX_WAIT_SECONDS. Since the
judgement and its record are one transaction, guesses sent all at once are counted one by one.
Nothing sleeps: a waiting client costs a worker no more than any answer. A right credential
clears the client's record. IPv6 clients are counted by their /64, which one host usually has
whole.
"""
import ipaddress
import math
import time

from . import sessions

FREE_FAILURES = 5
MAX_WAIT_SECONDS = 15 * 60
FORGET_SECONDS = 24 * 60 * 60


def client_key(address):
    try:
        ip = ipaddress.ip_address(address)
    except ValueError:
        return address
    if ip.version == 6:
        if ip.ipv4_mapped is not None:
            return str(ip.ipv4_mapped)
        return str(ipaddress.ip_network("%s/64" % ip, strict=False))
    return str(ip)


def wait_after(failures):
    """Seconds a client must wait after its `failures`-th failure in a row."""
    if failures <= FREE_FAILURES:
        return 0
    return min(MAX_WAIT_SECONDS, 2 ** min(failures - FREE_FAILURES - 1, 20))


def judge(data, address, is_right, database=None, fall_back=False):
    """(True, 0) when `is_right()` accepts the credential; (False, 0) when it refuses it;
    (False, seconds) when the client must wait that long first (is_right is not called).
    With a shared `database` the counts are kept there for every node; while it is away
    database.Unavailable is raised, or, with `fall_back`, this node's own counts judge."""
    client = client_key(address)
    if database is not None:
        from .database import Unavailable
        try:
            with database.statements().locked("failures/" + client) as db:
                return _judge(db, client, is_right)
        except Unavailable:
            if not fall_back:
                raise
    db = sessions.connect(data)
    db.execute("BEGIN IMMEDIATE")
    try:
        return _judge(db, client, is_right)
    finally:
        db.execute("COMMIT")


def _judge(db, client, is_right):
    now = time.time()
    row = db.execute("SELECT count, blocked_until FROM failures WHERE client = ?",
                     (client,)).fetchone()
    if row and row[1] > now:
        return False, max(1, math.ceil(row[1] - now))
    if is_right():
        if row:
            db.execute("DELETE FROM failures WHERE client = ?", (client,))
        return True, 0
    count = (row[0] if row else 0) + 1
    db.execute("INSERT INTO failures VALUES (?, ?, ?, ?) ON CONFLICT (client) DO UPDATE SET "
               "count = excluded.count, last = excluded.last, "
               "blocked_until = excluded.blocked_until",
               (client, count, now, now + wait_after(count)))
    db.execute("DELETE FROM failures WHERE last < ?", (now - FORGET_SECONDS,))
    return False, 0
