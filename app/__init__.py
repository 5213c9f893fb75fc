"""Flask application that hosts the native plug-in views of View.file and View.scheduler.

The views work on the folders plugin/, temp/ and uploads/ under the process's working
directory, and View.file fixes its folder constants from that directory when it is first
imported. The application therefore owns the working directory: create_app() makes the data
folder, changes into it and only then imports the views. One application per process is the
intended use. Tests that build several applications in one process still get correct folders,
because create_app() re-points the module's folder constants at the new data folder whenever
they name another one (the views read them from the module namespace at each call).
"""
import logging
import os
import re
import sys

from flask import Flask, jsonify, redirect, request, url_for
from werkzeug.exceptions import HTTPException, RequestEntityTooLarge

from . import access, admission, blueprints, bodylimit, store_routes
from .store_lock import store_lock

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Run from a checkout, the application keeps its data and finds the build beside the sources.
# Installed (the package view_plugin_manager in site-packages), ROOT is site-packages: nothing
# may be written or looked for there.
IN_CHECKOUT = os.path.isfile(os.path.join(ROOT, "CMakeLists.txt"))
FOLDERS = ("plugin", "temp", "uploads")
# kind -> (what a person calls it, suffix the view accepts, folder it is stored in)
KINDS = {
    "plugin": ("plug-in", ".tar.gz", "plugin"),
    "api_module": ("API module", ".py", "temp"),
}
log = logging.getLogger(__name__)


def default_data_dir():
    base = ROOT if IN_CHECKOUT else os.getcwd()
    return os.environ.get("VIEW_DATA") or os.path.join(base, "data")


def _import_views():
    # The source folder View/ in the repository holds no compiled modules; the built package
    # must come first on the path, or `import View.file` would find the empty source package.
    # Without a build folder, the installed package View is imported.
    if "View" not in sys.modules:
        build = os.environ.get("VIEW_BUILD_DIR") or (
            os.path.join(ROOT, "build") if IN_CHECKOUT else None)
        if build and os.path.isdir(build):
            build = os.path.abspath(build)
            if build in sys.path:
                sys.path.remove(build)
            sys.path.insert(0, build)
    import View.file
    import View.scheduler
    return View.file, View.scheduler


def _pin_folders(vfile, data):
    for name, folder in (("UNZIP_FOLDER", "uploads"), ("PLUGIN_FOLDER", "plugin"),
                         ("TEMP_FOLDER", "temp")):
        want = os.path.join(data, folder)
        if getattr(vfile, name, None) != want:
            setattr(vfile, name, want)


def _make_folders(data):
    # Made up front: the views fail on a missing folder, and their own create-on-demand can
    # race between two requests (FileExistsError).
    for folder in FOLDERS:
        os.makedirs(os.path.join(data, folder), exist_ok=True)


def upload_name_problem(name):
    """Why an uploaded file name is refused, or None. Only a plain file name is stored."""
    if "\x00" in name:
        return "the file name holds a NUL character"
    if name.startswith(("/", "\\")) or os.path.isabs(name) or re.match(r"^[A-Za-z]:", name):
        return "the file name is an absolute path"
    parts = re.split(r"[\\/]", name)
    if ".." in parts:
        return "the file name points into a parent folder"
    if len(parts) > 1:
        return "the file name holds folders; upload a plain file name"
    if name in (".", ""):
        return "the file name is empty"
    return None


def entry_name_problem(name):
    """Why a name given for removal is refused, or None. Only an entry of the listing can be
    removed: a plain name, never a path into one (a backslash is an ordinary character)."""
    if "\x00" in name:
        return "the name holds a NUL character"
    if "/" in name:
        return "the name holds a '/'; only a whole entry of the listing can be removed"
    if name in ("", ".", ".."):
        return "the name is not an entry"
    return None


def _error(status, message):
    response = jsonify({"error": message})
    response.status_code = status
    return response


def _not_served(allowed):
    return _error(405, "method %s is not served here; use %s" % (request.method, allowed))


def _unknown_kind(t):
    return _error(404, "unknown kind %r: use 'plugin' or 'api_module'" % t)


def create_app(data_dir=None):
    data = os.path.abspath(data_dir or default_data_dir())
    limits = admission.limits_from(os.environ)
    _make_folders(data)
    os.chdir(data)
    vfile, vsched = _import_views()
    _pin_folders(vfile, data)

    app = Flask(__name__)
    app.config["VIEW_DATA"] = data
    app.config["VIEW_LIMITS"] = limits
    app.config["MAX_CONTENT_LENGTH"] = limits.max_upload
    # Werkzeug's own caps where it has them (3.1 reads the config, 2.2 the request class);
    # app.bodylimit holds the same on every version.
    app.config.update(MAX_FORM_MEMORY_SIZE=bodylimit.FORM_MEMORY,
                      MAX_FORM_PARTS=bodylimit.FORM_PARTS)
    app.request_class = bodylimit.Request
    app.wsgi_app = bodylimit.BodyLimit(app.wsgi_app, {"/upload": limits.max_upload})
    access.init_app(app, data)
    blueprints.register(app)
    _register_error_handlers(app, limits)
    store = store_routes.register(app, data, limits, vfile, _error, KINDS)

    @app.context_processor
    def page_context():
        args = request.view_args or {}
        return {"kind": args.get("t"), "kinds": KINDS, "data_dir": data}

    @app.get("/")
    def home():
        return redirect(url_for("plugins", t="plugin"))

    @app.get("/plugins/<t>")
    def plugins(t):
        if t not in KINDS:
            return _unknown_kind(t)
        _make_folders(data)  # someone may have deleted one by hand
        result = store["listing"](t)
        return _unknown_kind(t) if result is None else result

    @app.post("/upload")
    def upload():
        kind = request.form.get("type")
        part = request.files.get("formFile")
        if kind not in KINDS:
            return _error(400, "choose the kind of upload: 'plugin' (a .tar.gz archive) "
                               "or 'api_module' (a .py file)")
        label, suffix, folder = KINDS[kind]
        if part is None or not part.filename:
            return _error(400, "choose a file to upload")
        name = part.filename
        _make_folders(data)  # the name's length is measured against its folder
        problem = upload_name_problem(name) or admission.name_too_long(
            name, os.path.join(data, folder))
        if problem:
            return _error(400, "%r refused: %s" % (name, problem))
        # The view answers "ok" even when it ignores the file, so the rule is checked here.
        if not vfile.allowed_file(kind, name):
            return _error(400, "%r is not a %s %s" % (name, suffix, label))
        if kind == "plugin":
            return store["upload_plugin"](part, name)
        return store["upload_module"](part, name)

    @app.get("/remove/<t>/<name:o>")
    def remove(t, o):
        if t not in KINDS:
            return _unknown_kind(t)
        problem = entry_name_problem(o)
        if problem:
            return _error(400, "%r refused: %s" % (o, problem))
        if t == "plugin":
            return store["remove_plugin"](o)
        try:
            with store_lock(data, exclusive=True):
                result = vfile.View.remove(t, o)
        except FileNotFoundError:
            return _error(404, "no %s named %r" % (KINDS[t][0], o))
        return _not_served("GET") if result is None else result

    @app.post("/rollback/<t>/<name:o>")
    def rollback(t, o):
        if t != "plugin":
            return _error(404, "only plug-ins keep a previous version to roll back to")
        problem = entry_name_problem(o)
        if problem:
            return _error(400, "%r refused: %s" % (o, problem))
        return store["rollback_plugin"](o)

    @app.get("/approve/<t>/<o>")
    def approve(t, o):
        if t not in KINDS:
            return _unknown_kind(t)
        result = vfile.View.approve(t, o)
        if result is None:
            return _error(501, "approving %s %r is not supported yet" % (KINDS[t][0], o))
        return result

    @app.get("/favicon.ico")
    def favicon():
        return "", 204  # browsers ask for it on every page; no icon is shipped

    @app.get("/scheduler")
    def scheduler():
        return vsched.View().get()

    return app


def _register_error_handlers(app, limits):
    """Mistakes are answered 4xx with their reason; anything else is 500, and its traceback
    goes to the server log only."""

    @app.errorhandler(HTTPException)
    def http_error(e):
        return _error(e.code or 500, e.description or e.name)

    @app.errorhandler(RequestEntityTooLarge)
    def too_large(e):
        if isinstance(e, bodylimit.BodyTooLarge):
            return _error(413, "refused: " + e.description)
        return _error(413, "the upload is larger than %s, the limit"
                      % admission.size_text(limits.max_upload))

    @app.errorhandler(ValueError)
    def bad_value(e):
        return _error(400, str(e))

    def bad_archive(e):
        return _error(400, "not a usable plug-in archive: %s: %s" % (type(e).__name__, e))

    for error in admission.ARCHIVE_ERRORS:
        app.register_error_handler(error, bad_archive)

    @app.errorhandler(OSError)
    def os_error(e):
        if admission.is_name_too_long(e):
            return _error(400, "a name is longer than the file system allows")
        if store_routes.is_full_disk(e):
            app.logger.warning("%s %s: the disk is full: %s", request.method, request.path, e)
            return _error(507, "the disk is full (%s); nothing was changed" % e.strerror)
        return failure(e)

    @app.errorhandler(Exception)
    def failure(e):
        app.logger.exception("%s %s failed", request.method, request.path)
        return _error(500, "internal error; see the server log")
