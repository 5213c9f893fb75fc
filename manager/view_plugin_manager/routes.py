"""The routes outside the store (store_routes.py has those): the home page, approval and the
scheduler, which hand the request to their view, the favicon, and what every page is given."""
from flask import redirect, request, url_for

from .access import reads_only
from .admission import KINDS
from .errors import error, unknown_kind
from .settings import shared


def page_context():
    args = request.view_args or {}
    return {"kind": args.get("t"), "kinds": KINDS, "data_dir": shared().data}


@reads_only
def home():
    return redirect(url_for("plugins", t="plugin"))


# Not @reads_only: approving is a change, though the view does nothing with it yet.
def approve(t, o):
    if t not in KINDS:
        return unknown_kind(t)
    result = shared().vfile.View.approve(t, o)
    if result is None:
        return error(501, "approving %s %r is not supported yet" % (KINDS[t][0], o))
    return result


@reads_only
def favicon():
    return "", 204  # browsers ask for it on every page; no icon is shipped


@reads_only
def scheduler():
    return shared().vsched.View().get()


def register(app):
    app.context_processor(page_context)
    app.add_url_rule("/", view_func=home, methods=["GET"])
    app.add_url_rule("/approve/<t>/<o>", view_func=approve, methods=["GET"])
    app.add_url_rule("/favicon.ico", view_func=favicon, methods=["GET"])
    app.add_url_rule("/scheduler", view_func=scheduler, methods=["GET"])
