import io
import sys

import pytest
from support.paths import BUILD

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
