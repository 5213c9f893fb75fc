"""The application for a WSGI server: `python -m gunicorn view_plugin_manager.wsgi:application`.

Each worker process builds its own application here, configured by the environment (VIEW_DATA,
VIEW_TOKEN, the limits' VIEW_MAX_* variables, ...); `python -m view_plugin_manager --workers N` sets them from its
flags.
"""
import os

from . import create_app
from .settings import config_from_environ

application = create_app(config_from_environ(os.environ))
