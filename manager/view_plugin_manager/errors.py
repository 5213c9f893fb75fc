"""How the application answers what it refuses or fails at: a JSON object {"error": reason},
or, to a browser asking for a page, a page that says the same.

Mistakes are answered 4xx with their reason; anything else is 500, and its traceback goes to the
server log only.
"""
import sqlite3

from flask import current_app, jsonify, render_template, request
from werkzeug.exceptions import HTTPException, RequestEntityTooLarge
from werkzeug.http import HTTP_STATUS_CODES

from . import admission, bodylimit
from .settings import shared
from .store import is_full_disk


def wants_page():
    """True for a browser opening a page: a GET that prefers HTML to JSON. Scripts and the
    page's own requests (which ask for JSON) get JSON."""
    best = request.accept_mimetypes.best_match(["application/json", "text/html"])
    return request.method in ("GET", "HEAD") and best == "text/html"


def error(status, message, **headers):
    if wants_page():
        response = current_app.make_response(
            render_template("error.html", message=message,
                            reason=HTTP_STATUS_CODES.get(status, "Error")))
    else:
        response = jsonify({"error": message})
    response.status_code = status
    response.headers.update(headers)
    return response


def not_served(allowed):
    return error(405, "method %s is not served here; use %s" % (request.method, allowed))


def unknown_kind(t):
    return error(404, "unknown kind %r: use 'plugin' or 'api_module'" % t)


def http_error(e):
    return error(e.code or 500, e.description or e.name)


def too_large(e):
    # Werkzeug says the same for a body past its length and a form of too many fields.
    limit = request.max_content_length or shared().limits.max_upload
    return error(413, "refused: a body larger than %s, or a form of more than %d fields, "
                      "is more than this request may send" % (admission.size_text(limit),
                                                             bodylimit.FORM_PARTS))


def bad_value(e):
    return error(400, str(e))


def bad_archive(e):
    return error(400, "not a usable plug-in archive: %s: %s" % (type(e).__name__, e))


def os_error(e):
    if admission.is_name_too_long(e):
        return error(400, "a name is longer than the file system allows")
    if is_full_disk(e):
        current_app.logger.warning("%s %s: the disk is full: %s", request.method, request.path,
                                   e)
        return error(507, "the disk is full (%s); nothing was changed" % e.strerror)
    return failure(e)


def database_error(e):
    """SQLite's own full disk (the record, the sessions) is no OSError: answered as one."""
    if is_full_disk(e):
        current_app.logger.warning("%s %s: the disk is full: %s", request.method, request.path,
                                   e)
        return error(507, "the disk is full (%s); nothing was changed" % e)
    return failure(e)


def failure(e):
    current_app.logger.exception("%s %s failed", request.method, request.path)
    return error(500, "internal error; see the server log")


def register(app):
    app.register_error_handler(HTTPException, http_error)
    app.register_error_handler(RequestEntityTooLarge, too_large)
    app.register_error_handler(ValueError, bad_value)
    for archive_error in admission.ARCHIVE_ERRORS:
        app.register_error_handler(archive_error, bad_archive)
    app.register_error_handler(OSError, os_error)
    app.register_error_handler(sqlite3.Error, database_error)
    app.register_error_handler(Exception, failure)
