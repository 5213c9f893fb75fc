"""The application for a WSGI server: `python -m gunicorn app.wsgi:application`.

Each worker process builds its own application here, configured by the environment (VIEW_DATA
and the limits' VIEW_MAX_* variables); `python -m app --workers N` sets them from its flags.
"""
from . import create_app

application = create_app()
