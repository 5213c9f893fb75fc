import collections
import io
import json
import os
import sys

import pytest
from support.paths import BUILD
from support.requires import NEEDS

if BUILD not in sys.path:
    sys.path.insert(0, BUILD)

# Set by scripts/test, which installs every optional component: a skip for want of one (reason
# "needs ...") is then a failure.
STRICT = os.environ.get("VIEW_TEST_STRICT") == "1"
# Where a run writes its counts and skip reasons, for the test command's summary.
REPORT = os.environ.get("VIEW_TEST_REPORT")

# Fixtures whose tests hold to wall-clock bounds: they start live servers.
TIMED_FIXTURES = {"start_server"}


def pytest_collection_modifyitems(items):
    # scripts/test runs the sessions that hold tests marked `timed` one after another, so that
    # no two of them share the machine (noxfile.py); a test that starts a live server is timed
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


def _skip_reason(report):
    longrepr = report.longrepr
    reason = longrepr[2] if isinstance(longrepr, tuple) else str(longrepr)
    return reason[len("Skipped: "):] if reason.startswith("Skipped: ") else reason


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if STRICT and report.skipped and not hasattr(report, "wasxfail") and \
            _skip_reason(report).startswith(NEEDS):
        report.outcome = "failed"
        report.longrepr = "VIEW_TEST_STRICT=1, and this test %s" % _skip_reason(report)


def pytest_terminal_summary(terminalreporter):
    if not REPORT:
        return
    stats = terminalreporter.stats
    reasons = collections.Counter(_skip_reason(r) for r in stats.get("skipped", ()))
    counts = {"passed": len(stats.get("passed", ())),
              "failed": len(stats.get("failed", ())) + len(stats.get("error", ())),
              "skipped": sum(reasons.values()),
              "skip_reasons": dict(reasons)}
    with open(REPORT, "w") as f:
        json.dump(counts, f)
