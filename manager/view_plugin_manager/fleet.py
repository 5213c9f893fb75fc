"""The routes of the shared mode: GET /fleet (every node, and whether it holds what the record
says), and the answer to a request that needed the shared database while it was away: 503 with
the reason, never a 500. The node's controller (converge.py) starts here."""
import time

from flask import current_app, jsonify, render_template

from . import converge
from .access import reads_only
from .database import Unavailable
from .errors import error
from .settings import shared
from .store_routes import wants_json


def unavailable(e):
    current_app.logger.warning("%s", e)
    return error(503, str(e), **{"Retry-After": "5"})


@reads_only
def fleet():
    state = shared()
    if state.database is None:
        return error(404, "this manager runs alone: start it with --database to share a store")
    report = converge.fleet(state.database)
    if wants_json():
        return jsonify(report)
    return render_template("fleet.html", fleet=report, stale_seconds=converge.STALE_SECONDS)


PANEL_SECONDS = 2.0
_panels = {}


def fleet_report():
    """The fleet for the page's panel, at most PANEL_SECONDS old (a page of a large store is
    not held up by every node's whole report), or None while the shared database is away: the
    page goes on from this node's copy."""
    state = shared()
    made, report = _panels.get(id(state), (0.0, None))
    if time.monotonic() - made > PANEL_SECONDS:
        try:
            report = converge.fleet(state.database)
        except Unavailable:
            report = None
        _panels[id(state)] = (time.monotonic(), report)
    return report


def register(app):
    state = shared(app)
    app.register_error_handler(Unavailable, unavailable)
    app.add_url_rule("/fleet", view_func=fleet, methods=["GET"])
    if state.database is not None:
        app.context_processor(lambda: {"fleet_report": fleet_report,
                                       "stale_seconds": converge.STALE_SECONDS})
        state.controller = converge.Controller(state.store, state.database, state.node).start()
