import io
import sys

import pytest
from support.paths import BUILD

if BUILD not in sys.path:
    sys.path.insert(0, BUILD)

# Fixtures whose tests hold to wall-clock bounds: they start live servers.
TIMED_FIXTURES = {"start_server"}


def pytest_collection_modifyitems(items):
    # scripts/test runs the tests marked `timed` one pass after another with no other timed
    # test beside them, and the rest beside those; a test that starts a live server is timed
    # whether or not its file says so.
    for item in items:
        if TIMED_FIXTURES.intersection(getattr(item, "fixturenames", ())):
            item.add_marker(pytest.mark.timed)


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
