"""Flask application that hosts the native plug-in views of View.file and View.scheduler.

The views work on the folders plugin/, temp/ and uploads/ under the process's working
directory, and View.file fixes its folder constants from that directory when it is first
imported. The application therefore owns the working directory: create_app() makes the data
folder, changes into it and only then imports the views. One application per process is the
intended use. Tests that build several applications in one process still get correct folders,
because create_app() re-points the module's folder constants at the new data folder whenever
they name another one (the views read them from the module namespace at each call).

The application is put together from one module per concern: settings (the configuration
mapping, the data folder, the state the routes share), access (who may do what), admission
(what an upload must satisfy), errors (how refusals and failures are answered), store_routes
(the routes of the plug-in store) and routes (the others). The command that starts the server
is __main__.py; a WSGI server's workers start from wsgi.py.
"""
import os
import sys

from flask import Flask

from . import (access, admission, blueprints, bodylimit, database, errors, fleet, routes, settings,
               store_routes)


def _import_views(build):
    # The source folder View/ in the repository holds no compiled modules; the built package
    # must come first on the path, or `import View.file` would find the empty source package.
    # Without a build folder, the installed package View is imported.
    if "View" not in sys.modules:
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


def create_app(config=None):
    """The plug-in manager, configured by `config`: a mapping of the settings named as the
    command's environment variables (VIEW_DATA, VIEW_TOKEN, VIEW_MAX_UPLOAD, ...; see
    settings.py). What it leaves out takes its default; the environment is not read here."""
    config = settings.checked(config)
    data = os.path.abspath(settings.data_dir(config))
    limits = admission.limits_from(config)
    settings.make_folders(data)
    os.chdir(data)
    vfile, vsched = _import_views(settings.build_dir(config))
    _pin_folders(vfile, data)

    app = Flask(__name__)
    # The shared mode's database, if the settings name one (database.StartError if unusable).
    app.extensions[settings.EXTENSION] = settings.Shared(
        data, limits, vfile, vsched, database.open_database(config), settings.node_name(config))
    app.config["VIEW_DATA"] = data
    app.config["VIEW_LIMITS"] = limits
    bodylimit.init_app(app, limits.max_upload)
    access.init_app(app, data, config)
    blueprints.register(app)
    errors.register(app)
    store_routes.register(app)
    fleet.register(app)
    routes.register(app)
    return app
