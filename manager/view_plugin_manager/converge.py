"""A node's controller: keeps this node's copy equal to the shared record, and says so.

The desired state is the record in the shared database; the observed one is this node's
plugin/ and its local record. A round compares the two and, name by name, copies what differs
(shared.SharedStore.copy_from_record: the staged, verified install) or removes what the record
no longer holds, each under the name's shared lock, with the record read again under it. A
round runs at start (comparing each copy's files with what was put in place, so a copy changed
by hand comes back), on every notification of a change, and at least every FULL_SECONDS; each
round ends by writing this node's report (what it has in place, when it was last seen) to the
nodes table. A database that goes away stops nothing: the thread reconnects, with a growing
pause, and starts again with a full round. Worker processes of one node share its data folder:
their controllers take turns (a lock file), so one copy is never made twice at once.
"""
import fcntl
import json
import logging
import os
import threading
import time

from . import shared
from .admission import Refusal
from .database import Unavailable

log = logging.getLogger("app.converge")

FULL_SECONDS = 10  # the safety net; the issue allows 30, a report this often marks life too
STALE_SECONDS = 60
TURN_FILE = ".converge.lock"


class Controller(object):
    def __init__(self, store, database, node):
        self.store, self.database, self.node = store, database, node
        self.stopped = threading.Event()
        self.rounds = 0
        self.thread = None
        self.last_problems = []

    def start(self):
        self.thread = threading.Thread(target=self.run, name="converge-" + self.node,
                                       daemon=True)
        self.thread.start()
        return self

    def stop(self, timeout=30):
        self.stopped.set()
        try:  # wakes the listener rather than wait for its timeout
            self.database.execute("SELECT pg_notify(%s, '')", (shared.CHANNEL,))
        except Unavailable:
            pass
        if self.thread is not None:
            self.thread.join(timeout)

    def run(self):
        pause = 0.5
        while not self.stopped.is_set():
            listener = None
            try:
                listener = self.database.dedicated()
                listener.execute("LISTEN %s" % shared.CHANNEL)
                self.converge(verify=True)
                pause = 0.5
                while not self.stopped.is_set():
                    for _ in listener.notifies(timeout=FULL_SECONDS, stop_after=1):
                        pass
                    if self.stopped.is_set():
                        break
                    # Notifications that came meanwhile are covered by the round.
                    self.converge(verify=False)
            except Unavailable as e:
                log.warning("node %s: %s; trying again in %.1f s", self.node, e, pause)
            except self.database.psycopg.Error as e:
                log.warning("node %s: the shared database failed (%s); trying again in %.1f s",
                            self.node, e, pause)
            except Exception:
                log.exception("node %s: a convergence round failed", self.node)
            finally:
                if listener is not None:
                    try:
                        listener.close()
                    except Exception:
                        pass
            self.stopped.wait(pause)
            pause = min(pause * 2, 5)

    def converge(self, verify=False):
        """One round: every name compared and, where it differs, copied or removed. `verify`
        also compares each copy's files with what was put in place."""
        turn = os.open(os.path.join(self.store.data, TURN_FILE),
                       os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        try:
            fcntl.flock(turn, fcntl.LOCK_EX)
            problems = self._round(verify)
        finally:
            os.close(turn)
        self.rounds += 1
        self.last_problems = problems
        return problems

    def _round(self, verify):
        store = self.store
        with self.database.connection() as conn:
            wanted = shared.desired(conn)
            modules = shared.desired(conn, shared.MODULE)
        with store.lock(exclusive=False):
            local = store.record.installed()
        problems = []
        for kind, names in ((shared.PLUGIN, wanted), (shared.MODULE, modules)):
            for name in sorted(names):
                problem = shared.record_name_problem(kind, name)
                if problem is not None:
                    del names[name]
                    problems.append(problem)
                    log.error("node %s: %s", self.node, problem)
        for name, facts in sorted(wanted.items()):
            if store.copy_matches(name, facts, local, verify):
                continue
            self._copy_or_note(self._copy, name, "", problems)
        # Only what came through the shared record leaves with it: plug-ins this data folder
        # held before it joined a fleet have no archive there, and stay (the fleet shows them).
        for name in sorted(set(local).difference(wanted).intersection(store.fingerprints())):
            self._drop(name)
        mine = self.store.modules_in_place()
        for name, facts in sorted(modules.items()):
            if mine.get(name) == facts["sha256"]:
                continue
            if shared.file_digest(self.store.module_path(name))[0] == facts["sha256"]:
                self.store._remember_module(name)  # the same file, stored here before
                continue
            self._copy_or_note(self._copy_module, name, "the module ", problems)
        for name in sorted(set(mine) - set(modules)):
            self._drop_module(name)
        self.report(problems)
        return problems

    def _copy_or_note(self, copy, name, what, problems):
        """Copies `name` in; a copy that fails is noted among the round's problems, and the
        round goes on with the other names."""
        try:
            copy(name)
        except (Refusal, OSError) as e:
            problems.append("%s: %s" % (name, e))
            log.error("node %s could not copy %s%r: %s", self.node, what, name, e)

    def _copy_module(self, name):
        with self.database.transaction() as conn:
            shared.lock_name(conn, shared.MODULE, name, shared=True)
            facts = shared.entry(conn, "entries", shared.MODULE, name)
            if facts is not None and shared.file_digest(
                    self.store.module_path(name))[0] != facts["sha256"]:
                log.warning("node %s: copying the module %r from the shared record",
                            self.node, name)
                self.store.copy_module(conn, name, facts)

    def _drop_module(self, name):
        with self.database.transaction() as conn:
            shared.lock_name(conn, shared.MODULE, name, shared=True)
            if shared.entry(conn, "entries", shared.MODULE, name) is None:
                log.warning("node %s: removing the module %r, which the shared record no "
                            "longer holds", self.node, name)
                self.store.drop_module(name)

    def _copy(self, name):
        with self.database.transaction() as conn:
            shared.lock_name(conn, shared.PLUGIN, name, shared=True)
            facts = shared.entry(conn, "entries", shared.PLUGIN, name)
            if facts is None:
                return
            with self.store.lock(exclusive=False):
                local = self.store.record.installed([name])
            if self.store.copy_matches(name, facts, local, verify=True):
                return
            log.warning("node %s: copying %r (%s) from the shared record", self.node, name,
                        facts["archive"])
            self.store.copy_from_record(conn, name, facts)

    def _drop(self, name):
        with self.database.transaction() as conn:
            shared.lock_name(conn, shared.PLUGIN, name, shared=True)
            if shared.entry(conn, "entries", shared.PLUGIN, name) is not None:
                return
            if os.path.lexists(self.store.place(name)):
                log.warning("node %s: removing %r, which the shared record no longer holds",
                            self.node, name)
                try:
                    shared.Store.remove(self.store, name, "converge")
                except Refusal:
                    pass
            self.store._remember_locked(name, forget=True)

    def report(self, problems=()):
        with self.store.lock(exclusive=False):
            local = self.store.record.installed()
            in_place = {name: facts["sha256"] for name, facts in local.items()
                        if os.path.isdir(self.store.place(name))}
        modules = self.store.modules_in_place()
        self.database.execute(
            "INSERT INTO nodes (node, last_seen, in_place, modules, problems) "
            "VALUES (%s, %s, %s, %s, %s) ON CONFLICT (node) DO UPDATE SET "
            "last_seen = EXCLUDED.last_seen, in_place = EXCLUDED.in_place, "
            "modules = EXCLUDED.modules, problems = EXCLUDED.problems",
            (self.node, time.time(), json.dumps(in_place), json.dumps(modules),
             json.dumps(list(problems))))


def fleet(database, now=None):
    """What GET /fleet answers: the record, and every node with what it has in place."""
    now = time.time() if now is None else now
    with database.connection() as conn:
        record = {name: facts["sha256"] for name, facts in shared.desired(conn).items()}
        modules = {name: facts["sha256"]
                   for name, facts in shared.desired(conn, shared.MODULE).items()}
        rows = conn.execute("SELECT node, last_seen, in_place, modules, problems FROM nodes "
                            "ORDER BY node").fetchall()
    nodes = []
    for node, last_seen, in_place, node_modules, problems in rows:
        age = max(0.0, now - last_seen)
        nodes.append({"node": node, "last_seen": last_seen, "seconds_since_seen": round(age, 1),
                      "in_place": in_place, "modules": node_modules, "problems": problems,
                      "differs": in_place != record or node_modules != modules,
                      "stale": age > STALE_SECONDS})
    return {"record": record, "modules": modules, "nodes": nodes,
            "converged": all(not n["differs"] and not n["stale"] for n in nodes)}
