"""The routes that change or show the plug-in store: upload, removal, rollback, the listing
(HTML, or JSON to `Accept: application/json`) and the history.

Plug-in archives are installed by the application (store.py), not by View.file's upload view:
the view's statements save the archive inside plugin/ under its own name and unpack it over
what is there, and those statements are part of what the module's callers observe. API modules
still go through the view, with the uploaded file's save() made atomic.
"""
import contextlib
import functools
import math
import os
import re
import sqlite3
import tempfile
import time
from datetime import datetime, timezone
from urllib.parse import quote, unquote_to_bytes

from flask import Request, current_app, g, jsonify, render_template, request
from werkzeug.datastructures import MultiDict
from werkzeug.routing import PathConverter

from . import admission
from .access import from_browser, reads_only
from .admission import KINDS, Refusal
from .errors import error, not_served, unknown_kind
from .record import HISTORY_KEPT
from .settings import make_folders, shared
from .store import (AtomicUpload, Conflict, Intake, Store, Unrecorded, full_disk_reason,
                    is_full_disk, staging_root)
from .store_lock import store_lock

PAGE_SIZE = 50
HISTORY_SHOWN = 20
YES = ("1", "on", "true", "yes")
# The page's box for replace=1; a refusal shown on the page names it.
REPLACE_LABEL = "Replace a plug-in of the same folder installed from another archive"


class AnyNameConverter(PathConverter):
    """Like `path`, but matches names with line breaks too: every listed name is reachable."""
    regex = "[^/][\\s\\S]*?"


def who():
    return "operator" if g.get("signed_in") else "loopback"


def shown(name):
    """A name as the page shows it: bytes that are not UTF-8, control and bidirectional
    characters escaped, so it reads as it is and cannot reorder the text around it."""
    if admission.name_problem(name) is None:
        return name
    return admission.UNSHOWABLE.sub(lambda m: _escape(m.group()), name)


def _escape(c):
    if "\udc80" <= c <= "\udcff":
        return "\\x%02x" % (ord(c) - 0xdc00)
    return "\\u%04x" % ord(c) if ord(c) > 0xff else "\\x%02x" % ord(c)


# What percent-encoding leaves as it is: a name of these only is its own URL part.
URL_PLAIN = re.compile(r"[A-Za-z0-9_.~-]*")


def url_part(name):
    """The name's bytes on disk, percent-encoded: the removal URL of any entry."""
    if URL_PLAIN.fullmatch(name):  # most names: the listing makes 50 a page
        return name
    return quote(os.fsencode(name), safe="")


def raw_name(prefix):
    """The entry named after `prefix` in the request's raw path, byte for byte (the decoded
    path loses bytes that are not UTF-8)."""
    raw = request.environ.get("RAW_URI") or request.environ.get("REQUEST_URI")
    if raw is None:
        return None
    path = raw.split("?", 1)[0]
    if "://" in path:
        path = "/" + path.split("://", 1)[1].partition("/")[2]
    start = len(request.script_root) + len(prefix)
    if not path[len(request.script_root):].startswith(prefix):
        return None
    return os.fsdecode(unquote_to_bytes(path[start:]))


def make_request_class(data, limits, base=Request, intake=Intake):
    class StoreRequest(base):
        """Receives a plug-in archive straight into the store's staging folder, verifying it
        on the way (store.Intake); other files go to the staging folder too, never /tmp."""

        def _get_file_stream(self, total_content_length, content_type, filename=None,
                             content_length=None):
            if filename and filename.endswith(".tar.gz") and self.path.endswith("/upload"):
                stream = intake(data, limits, total_content_length)
            else:
                stream = tempfile.TemporaryFile("wb+", dir=staging_root(data))
            # A body refused part-way leaves its parts out of request.files, where close()
            # would find them; they are closed with the request all the same.
            self.__dict__.setdefault("_part_streams", []).append(stream)
            return stream

        def close(self):
            try:
                base.close(self)
            finally:
                for stream in self.__dict__.pop("_part_streams", ()):
                    try:
                        stream.close()
                    except OSError:  # a full disk fails the flush of what is thrown away
                        pass

    return StoreRequest


def wants_json():
    best = request.accept_mimetypes.best_match(["text/html", "application/json"])
    return best == "application/json" and request.accept_mimetypes[best] > \
        request.accept_mimetypes["text/html"]


@reads_only
def plugins(t):
    if t not in KINDS:
        return unknown_kind(t)
    make_folders(shared().data)  # someone may have deleted one by hand
    result = listing(t)
    return unknown_kind(t) if result is None else result


def refusal(action, name, archive, status, message):
    """Answers a change refused before it reached the store, and notes it in the history."""
    note(name, archive, "%s %d: %s" % (action, status, message))
    return error(status, message)


def upload():
    kind = request.form.get("type")
    part = request.files.get("formFile")
    name = part.filename if part is not None else None
    if kind not in KINDS:
        return refusal("upload", None, name or None, 400,
                       "choose the kind of upload: 'plugin' (a .tar.gz archive) "
                       "or 'api_module' (a .py file)")
    label, suffix, folder = KINDS[kind]
    if not name:
        return refusal("upload", None, None, 400, "choose a file to upload")
    state = shared()
    make_folders(state.data)  # the name's length is measured against its folder
    problem = admission.upload_name_problem(name) or admission.name_too_long(
        name, os.path.join(state.data, folder))
    if problem:
        return refusal("upload", None, name, 400, "%r refused: %s" % (name, problem))
    # The view answers "ok" even when it ignores the file, so the rule is checked here.
    if not state.vfile.allowed_file(kind, name):
        return refusal("upload", None, name, 400, "%r is not a %s %s" % (name, suffix, label))
    if kind == "plugin":
        return upload_plugin(part, name)
    return upload_module(part, name)


def remove(t, o):
    if t not in KINDS:
        note(o, None, "removal 404: unknown kind %r" % t)
        return unknown_kind(t)
    problem = admission.entry_name_problem(o)
    if problem:
        return refusal("removal", o, None, 400, "%r refused: %s" % (o, problem))
    if t == "plugin":
        return remove_plugin(o)
    state = shared()
    try:
        with sharing(state, o, "remove") as recorded, store_lock(state.data, exclusive=True):
            try:
                result = state.vfile.View.remove(t, o)
            except FileNotFoundError:
                if not recorded:
                    raise
                # gone from this node's folder only: the shared record's removal stands
                result = jsonify({"state": "ok"})
            if result is not None:
                noted("remove module", o, None, "ok")
    except FileNotFoundError:
        return refusal("removal", o, None, 404, "no %s named %r" % (KINDS[t][0], o))
    return not_served("GET") if result is None else result


def rollback(t, o):
    if t != "plugin":
        return refusal("rollback", o, None, 404,
                       "only plug-ins keep a previous version to roll back to")
    problem = admission.entry_name_problem(o)
    if problem:
        return refusal("rollback", o, None, 400, "%r refused: %s" % (o, problem))
    return rollback_plugin(o)


@reads_only
def history():
    given = request.args.get("limit")
    limit = HISTORY_SHOWN
    if given is not None:
        try:
            limit = int(given)
        except ValueError:
            limit = -1
        if not 0 <= limit <= HISTORY_KEPT:
            return error(400, "limit must be a whole number from 0 to %d (the history keeps "
                              "that many), not %r" % (HISTORY_KEPT, given))
    return jsonify({"history": history_json(limit)})


@functools.lru_cache(maxsize=4096)
def iso_time(value):
    """A time of the record (seconds since the epoch) as JSON gives it: ISO 8601, in UTC.
    Remembered: a listing gives the same times again on every request, two for each entry."""
    if value is None:
        return None
    return datetime.fromtimestamp(value, timezone.utc).isoformat(timespec="seconds")


def history_json(limit):
    rows = shared().store.record.history(limit) if limit else []
    return [dict(row, at=iso_time(row["at"])) for row in rows]


def note(*args):
    noted("refusal", *args)


def noted(action, name, archive, result):
    try:
        shared().store.record.note(who(), action, name, archive, result)
    except sqlite3.Error as e:  # a full disk, say: what happened still stands
        current_app.logger.warning("could not note a %s in the history: %s", action, e)


def refused(action, name, archive, e):
    # An upload's refusal knows the plug-in's name once its archive has been read.
    name = name or getattr(e, "plugin", None)
    note(name, archive, "%s %d: %s" % (action, e.status, e))
    if isinstance(e, Conflict) and action == "upload" and name and from_browser():
        return error(e.status, conflict_for_a_person(name, archive))
    return error(e.status, "%r refused: %s" % (archive or name, e))


def conflict_for_a_person(name, archive):
    facts = shared().store.record.installed([name]).get(name)
    where = ("from %s" % shown(facts["archive"]) if facts and facts.get("archive") else
             "by other means (it has no record here)")
    # The page puts "Upload of <archive> failed: " before it.
    return ("the plug-in %s is already installed %s. To replace it with %s, tick \u201c%s\u201d "
            "and upload it again." % (shown(name), where, shown(archive), REPLACE_LABEL))


def full_disk(action, name, archive, e):
    current_app.logger.warning("%s of %r failed, disk full: %s", action, archive or name, e)
    note(name, archive, "%s 507: the disk is full" % action)
    return error(507, "%r: the disk is full (%s); nothing was changed"
                 % (archive or name, full_disk_reason(e)))


def upload_plugin(part, name):
    intake = part.stream
    if not isinstance(intake, Intake):
        return error(400, "%r refused: %s" % (name, admission.GZIP_TAR))
    replace = request.form.get("replace", "").lower() in YES
    store = shared().store

    def install():
        try:
            store.install(intake, name, who(), replace)
        except Refusal as e:
            e.plugin = intake.result[0] if intake.result else None
            raise

    return change("upload", None, name, install, intake.close)


def change(action, name, archive, thunk, cleanup=None):
    """Runs one change of the store: "ok", or its refusal (kept in the history). What
    `cleanup` frees goes before the refusal is noted: on a full disk, it makes the room."""
    try:
        try:
            thunk()
        finally:
            if cleanup is not None:
                cleanup()
    except Unrecorded as e:  # not refused: done, and recorded later
        note(name, archive, "%s %d: %s" % (action, e.status, e))
        return error(e.status, str(e))
    except Refusal as e:
        return refused(action, name, archive, e)
    except (OSError, sqlite3.Error) as e:  # the record's full disk is no OSError
        if is_full_disk(e):
            return full_disk(action, name, archive, e)
        raise
    return jsonify({"state": "ok"})


def sharing(state, name, action):
    """The shared record's side of a change of the API module `name` (a node of several), or
    nothing (alone)."""
    change = getattr(state.store, "module_change", None)
    return contextlib.nullcontext() if change is None else change(name, who(), action)


def upload_module(part, name):
    state = shared()
    with sharing(state, name, "upload"), state.store.lock():
        request.files = MultiDict({"formFile": AtomicUpload(part, state.data)})
        try:
            result = state.vfile.View.upload()
        except OSError as e:
            if is_full_disk(e):
                return full_disk("upload", None, name, e)
            raise
        stored = result is not None and os.path.isfile(os.path.join(state.data, "temp", name))
        if stored:
            noted("upload module", name, None, "ok")
    if result is None:
        return not_served("POST")
    if not stored:
        return error(500, "%r was accepted but not stored" % name)
    return result


def listing(t):
    state = shared()
    store, record = state.store, state.store.record
    if t != "plugin":
        with store.lock(exclusive=False):
            result = state.vfile.View.index(t)
        if result is None or not wants_json():
            return result
        temp = os.path.join(state.data, "temp")
        names = sorted(os.listdir(temp))
        # Top-level only, as the page lists them: a nested blueprint's name holds a dot.
        return jsonify({"kind": t, "entries": [
            {"name": shown(n), "size": _size(os.path.join(temp, n))}
            for n in names], "blueprints": sorted(b for b in current_app.blueprints
                                                  if "." not in b)})
    q = request.args.get("q", "")
    try:
        page = max(1, int(request.args.get("page", "1")))
    except ValueError:
        page = 1
    with store.lock(exclusive=False):
        names = store.names()
        installed = len(names)
        if q:
            key = q.casefold()
            names = [n for n in names if key in n.casefold()]
        pages = max(1, math.ceil(len(names) / PAGE_SIZE))
        page = min(page, pages)
        chosen = names[(page - 1) * PAGE_SIZE:page * PAGE_SIZE]
        facts, previous = record.installed(chosen), record.previous(chosen)
    entries = [entry(n, facts.get(n), previous.get(n)) for n in chosen]
    if wants_json():
        return jsonify({"kind": t, "entries": [entry_json(e) for e in entries],
                        "total": len(names), "installed": installed, "page": page,
                        "pages": pages, "page_size": PAGE_SIZE, "q": q,
                        "history": history_json(HISTORY_SHOWN)})
    return render_template("upload.html", plugin_list=chosen, entries=entries,
                           total=len(names), installed=installed, page=page, pages=pages, q=q,
                           history=record.history(HISTORY_SHOWN), replace_label=REPLACE_LABEL)


ADMISSION_FACTS = ("archive", "sha256", "size", "members", "installed_at", "installed_by")


def entry(name, facts, previous):
    item = {"name": shown(name), "path": url_part(name), "recorded": facts is not None}
    for key in ADMISSION_FACTS:
        item[key] = facts.get(key) if facts else None
    item["previous"] = ({k: previous.get(k) for k in ADMISSION_FACTS}
                        if previous else None)
    return item


def entry_json(item):
    item = dict(item, installed_at=iso_time(item["installed_at"]))
    if item["previous"]:
        item["previous"] = dict(item["previous"],
                                installed_at=iso_time(item["previous"]["installed_at"]))
    return item


def remove_plugin(o):
    name = raw_name("/remove/plugin/")
    name = o if name is None else name
    problem = admission.name_too_long(name, os.path.join(shared().data, "plugin"))
    if problem:
        return error(400, "%r refused: %s" % (shown(name), problem))
    store = shared().store
    return change("removal", name, None, lambda: store.remove(name, who()))


def rollback_plugin(o):
    name = raw_name("/rollback/plugin/")
    name = o if name is None else name
    store = shared().store
    return change("rollback", name, None, lambda: store.rollback(name, who()))


def filesize(value):
    return "?" if value is None else admission.size_text(value)


def when(value):
    return "?" if value is None else time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(value))


def _size(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return None


def register(app):
    """Opens the application's store (sweeping what an interrupted change left) and adds its
    routes; the application's shared state (settings.shared) is in place."""
    state = shared(app)
    if state.database is None:
        state.store = Store(state.data, state.limits)
    else:
        from .shared import SharedStore
        state.store = SharedStore(state.data, state.limits, state.database, state.node)
    state.store.sweep()
    app.config["VIEW_STORE"] = state.store
    app.request_class = make_request_class(state.data, state.limits, app.request_class,
                                           getattr(state.store, "intake_class", Intake))
    app.url_map.converters["name"] = AnyNameConverter
    app.add_template_filter(filesize, "filesize")
    app.add_template_filter(when, "when")
    app.add_url_rule("/plugins/<t>", view_func=plugins, methods=["GET"])
    app.add_url_rule("/upload", view_func=upload, methods=["POST"])
    app.add_url_rule("/remove/<t>/<name:o>", view_func=remove, methods=["GET"])
    app.add_url_rule("/rollback/<t>/<name:o>", view_func=rollback, methods=["POST"])
    app.add_url_rule("/history", view_func=history, methods=["GET"])
