"""What an operator reads: the history (every change and refusal, in JSON with ISO times), the
listings' counts and blueprints, and answers worded for the client that gets them: a page for
a browser, JSON for a script."""
import io
import re
from datetime import datetime, timedelta, timezone

import pytest
from support.archives import archive, plugin_archive
from webapp_support import native

pytestmark = native

# What a browser adds to the page's own requests (which ask for JSON).
PAGE_XHR = {"Sec-Fetch-Site": "same-origin", "Accept": "application/json",
            "User-Agent": "Mozilla/5.0 (X11; Linux x86_64) Chrome/131.0 Safari/537.36"}
BROWSER_ACCEPT = "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"
JSON = {"Accept": "application/json"}


def upload(c, kind, name, payload, headers=None, **fields):
    data = dict(fields, formFile=(io.BytesIO(payload), name))
    if kind is not None:
        data["type"] = kind
    return c.post("/upload", data=data, content_type="multipart/form-data", headers=headers)


def history(c, **args):
    r = c.get("/history", query_string=args)
    return r.status_code, r.get_json()


def test_history_notes_every_change_and_refusal(client):
    c, _ = client
    steps = [
        (upload(c, "api_module", "tool.py", b"x = 1\n"), 200),
        (upload(c, "api_module", "tool.pyc", b"x"), 400),
        (upload(c, "Plugin", "p.tar.gz", plugin_archive("p")), 400),
        (upload(c, "plugin", "weather.tar.gz", archive({"weather/a": b"1"})), 200),
        (upload(c, "plugin", "weather-2.tar.gz", archive({"weather/a": b"2"})), 409),
        (c.get("/remove/api_module/tool.py"), 200),
        (c.get("/remove/api_module/tool.py"), 404),
        (c.post("/rollback/api_module/tool.py"), 404),
    ]
    assert [r.status_code for r, _ in steps] == [status for _, status in steps]
    status, body = history(c)
    rows = [(h["action"], h["name"], h["archive"], h["result"].split(":")[0])
            for h in body["history"]]
    assert rows == [
        ("refusal", "tool.py", None, "rollback 404"),
        ("refusal", "tool.py", None, "removal 404"),
        ("remove module", "tool.py", None, "ok"),
        ("refusal", "weather", "weather-2.tar.gz", "upload 409"),  # named, though refused
        ("install", "weather", "weather.tar.gz", "ok"),
        ("refusal", None, "p.tar.gz", "upload 400"),
        ("refusal", None, "tool.pyc", "upload 400"),
        ("upload module", "tool.py", None, "ok"),
    ]
    now = datetime.now(timezone.utc)
    for h in body["history"]:
        at = datetime.fromisoformat(h["at"])
        assert at.utcoffset() == timedelta(0) and abs(at - now) < timedelta(minutes=1)
    listed = c.get("/plugins/plugin", headers=JSON).get_json()
    assert listed["history"] == body["history"]
    assert datetime.fromisoformat(listed["entries"][0]["installed_at"]).utcoffset() is not None
    # the page shows the same times to a person, in UTC
    page = c.get("/plugins/plugin").get_data(as_text=True)
    assert now.strftime("%Y-%m-%d") in page and " UTC" in page


@pytest.mark.parametrize("limit, status, count", [
    (None, 200, 3), ("0", 200, 0), ("2", 200, 2), ("500", 200, 3),
    ("abc", 400, None), ("", 400, None), ("1.5", 400, None), ("-1", 400, None),
    ("501", 400, None),
])
def test_history_limit(client, limit, status, count):
    c, _ = client
    for i in range(3):
        assert upload(c, "api_module", "m%d.py" % i, b"x = 1\n").status_code == 200
    got, body = history(c, **({} if limit is None else {"limit": limit}))
    assert got == status
    if status == 200:
        assert len(body["history"]) == count
    else:
        assert "from 0 to 500" in body["error"] and repr(limit) in body["error"]


def test_api_module_listing_and_page_agree_on_blueprints(client):
    c, _ = client
    listed = c.get("/plugins/api_module", headers=JSON).get_json()["blueprints"]
    page = c.get("/plugins/api_module").get_data(as_text=True)
    shown = re.findall(r'<li><span class="name">([^<]*)</span></li>',
                       page.split('id="blueprints"', 1)[1])
    assert listed == sorted(shown) == ["admin", "files"]


@pytest.mark.parametrize("q, tag, matching", [
    ("", "2 installed", 2),
    ("zzz", "2 installed, 0 matching", 0),
    ("ALP", "2 installed, 1 matching", 1),
])
def test_search_says_how_many_are_installed(client, q, tag, matching):
    c, _ = client
    for name in ("alpha", "beta"):
        assert upload(c, "plugin", name + ".tar.gz", plugin_archive(name)).status_code == 200
    page = c.get("/plugins/plugin", query_string={"q": q}).get_data(as_text=True)
    assert re.search(r'id="count">([^<]*)<', page).group(1) == tag
    listed = c.get("/plugins/plugin", query_string={"q": q}, headers=JSON).get_json()
    assert (listed["installed"], listed["total"], len(listed["entries"])) == (2, matching,
                                                                               matching)


@pytest.mark.parametrize("url, status, says", [
    ("/plugins/foo", 404, "unknown kind"),
    ("/approve/plugin/hello", 501, "not supported"),
    ("/nowhere", 404, "not found"),
])
@pytest.mark.parametrize("accept, page", [
    (BROWSER_ACCEPT, True), ("application/json", False), ("*/*", False), (None, False),
], ids=["browser", "json", "curl", "none"])
def test_errors_are_pages_for_browsers_and_json_for_scripts(client, url, status, says, accept,
                                                            page):
    r = client[0].get(url, headers={"Accept": accept} if accept else {})
    assert r.status_code == status
    if page:
        assert r.mimetype == "text/html" and 'id="error-message"' in r.get_data(as_text=True)
        assert says in r.get_data(as_text=True).lower()
    else:
        assert says in r.get_json()["error"].lower()


@pytest.mark.parametrize("headers, says, never", [
    (PAGE_XHR, "tick \u201cReplace a plug-in of the same folder installed from another "
               "archive\u201d", "form field"),
    (JSON, "form field 'replace'", "tick"),
], ids=["page", "script"])
def test_conflict_is_worded_for_its_client(client, headers, says, never):
    c, data = client
    assert upload(c, "plugin", "weather.tar.gz", archive({"weather/a": b"1"})).status_code == 200
    r = upload(c, "plugin", "weather-2.tar.gz", archive({"weather/a": b"2"}), headers)
    message = r.get_json()["error"]
    assert r.status_code == 409 and says in message and never not in message
    assert "weather.tar.gz" in message  # what is installed now
    assert (data / "plugin" / "weather" / "a").read_bytes() == b"1"
    # the box the message names is the one on the page
    label = re.search("\u201c(.*)\u201d", upload(c, "plugin", "weather-2.tar.gz", archive(
        {"weather/a": b"2"}), PAGE_XHR).get_json()["error"]).group(1)
    assert label in c.get("/plugins/plugin").get_data(as_text=True)
