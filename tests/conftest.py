import io
import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("VIEW_BUILD_DIR", os.path.join(ROOT, "build"))
if BUILD not in sys.path:
    sys.path.insert(0, BUILD)


@pytest.fixture(scope="session")
def delivered_filename():
    """delivered_filename(name): the file name that the Werkzeug in use hands to a view for a
    form part uploaded as `name`. Since 2.3 its form parser reads a backslash as an escape."""
    import flask

    echo = flask.Flask("echo")
    echo.add_url_rule("/", "echo", lambda: flask.request.files["f"].filename, methods=["POST"])
    client = echo.test_client()

    def delivered(name):
        if "\\" not in name:
            return name
        return client.post("/", data={"f": (io.BytesIO(b""), name)}).get_data(as_text=True)
    return delivered
