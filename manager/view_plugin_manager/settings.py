"""What an application is configured with, where its data lives, and what its routes share.

create_app() takes its settings as one mapping whose keys are the environment variables that the
command documents (VIEW_DATA, VIEW_TOKEN, VIEW_MAX_UPLOAD, ...), with their values as text (as the
environment gives them) or as plain values (a number for a limit, a bool for VIEW_BEHIND_PROXY). A
setting left out, None or empty takes its default. Only the command that starts the server reads
the environment, through config_from_environ(); an application built by a test or by another
host is configured by its mapping alone, whatever the process's environment holds.
"""
import os
from collections.abc import Mapping

from flask import current_app

from .admission import LIMITS

# The package lives in manager/ of the repository. Run from a checkout, the application keeps its
# data and finds the build beside the sources. Installed (view_plugin_manager in site-packages),
# ROOT is above site-packages and holds no CMakeLists.txt: nothing is written or looked for there.
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
IN_CHECKOUT = os.path.isfile(os.path.join(ROOT, "CMakeLists.txt"))
FOLDERS = ("plugin", "temp", "uploads")

# The settings an application reads. The command's own (VIEW_HOST, VIEW_PORT, VIEW_WORKERS,
# VIEW_TLS_KEY, VIEW_NO_PROXY) say how it listens, and no application needs them; the command
# sets VIEW_OWN_PROXY for an application behind the nginx it starts.
APP_SETTINGS = ("VIEW_DATA", "VIEW_BUILD_DIR", "VIEW_TOKEN", "VIEW_TOKEN_FILE",
                "VIEW_BEHIND_PROXY", "VIEW_OWN_PROXY", "VIEW_TLS_CERT", "VIEW_DATABASE",
                "VIEW_NODE") + tuple(
                    variable for variable, _, _, _ in LIMITS.values())
EXTENSION = "view_plugin_manager"


def config_from_environ(environ):
    """The application's settings that `environ` (the process's environment) sets."""
    return {name: environ[name] for name in APP_SETTINGS if name in environ}


# Settings that name a file or folder. The application changes into its data folder before it
# reads some of them, and gunicorn's workers start there: a relative one is taken from where
# the settings were given.
PATH_SETTINGS = ("VIEW_DATA", "VIEW_BUILD_DIR", "VIEW_TOKEN_FILE", "VIEW_TLS_CERT")


def checked(config):
    """`config` as create_app() reads it, its paths made absolute. A misspelt setting is refused
    rather than ignored, since ignoring it would quietly serve with the default (a limit, or no
    credential)."""
    if config is None:
        return {}
    if not isinstance(config, Mapping):
        raise TypeError("create_app() takes a mapping of settings (VIEW_DATA, VIEW_TOKEN, ...), "
                        "not %s" % type(config).__name__)
    unknown = sorted(str(name) for name in config if name not in APP_SETTINGS)
    if unknown:
        raise ValueError("unknown setting %s; the settings are %s"
                         % (", ".join(unknown), ", ".join(APP_SETTINGS)))
    return absolute_paths(config)


def absolute_paths(config):
    """A copy of `config` whose path settings are absolute (from the current folder)."""
    config = dict(config)
    for name in PATH_SETTINGS:
        if config.get(name):
            config[name] = os.path.abspath(config[name])
    return config


def is_set(value):
    """A yes/no setting: text is yes unless empty or "0" (as the environment has it)."""
    if isinstance(value, str):
        return value not in ("", "0")
    return bool(value)


def data_dir(config):
    """The data folder the settings name (VIEW_DATA), else data/ in the repository or, installed,
    in the current folder."""
    base = ROOT if IN_CHECKOUT else os.getcwd()
    return config.get("VIEW_DATA") or os.path.join(base, "data")


def build_dir(config):
    """The build folder that holds the compiled View package (VIEW_BUILD_DIR, else build/ in the
    repository), or None: installed, the package View is found on the path."""
    return config.get("VIEW_BUILD_DIR") or (os.path.join(ROOT, "build") if IN_CHECKOUT else None)


def node_name(config):
    """This node's name among several (VIEW_NODE), else the machine's name."""
    import socket
    return config.get("VIEW_NODE") or socket.gethostname()


def make_folders(data):
    # Made up front: the views fail on a missing folder, and their own create-on-demand can
    # race between two requests (FileExistsError).
    for folder in FOLDERS:
        os.makedirs(os.path.join(data, folder), exist_ok=True)


class Shared(object):
    """What the routes of one application share: its data folder, its limits, the store, and
    the two view modules. Kept on the application (app.extensions), so that several
    applications in one process keep theirs apart."""

    __slots__ = ("data", "limits", "store", "vfile", "vsched", "database", "node", "controller")

    def __init__(self, data, limits, vfile, vsched, database=None, node=None):
        self.data, self.limits, self.vfile, self.vsched = data, limits, vfile, vsched
        self.store = None  # set by store_routes.register
        # The shared mode's database (database.Database) and this node's name; None embedded.
        self.database, self.node, self.controller = database, node, None


def shared(app=None):
    return (current_app if app is None else app).extensions[EXTENSION]
