"""Who may use the application and which requests may change the store (Flask's test client,
a few subprocesses for start-up and the session secret)."""
import base64
import io
import os
import re
import stat
import subprocess
import sys

import pytest
from support.paths import BUILD, MANAGER
from webapp_support import TOKEN, app_settings, native, server_env

pytestmark = native

FOREIGN = "http://127.0.0.1:9"  # another port on the same host: same site, other origin
BROWSER_AGENT = "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 Safari/605.1"


@pytest.fixture
def make_client(tmp_path, monkeypatch):
    """make_client(token) -> (test client without credentials, data folder)."""
    monkeypatch.chdir(tmp_path)

    def make(token):
        from view_plugin_manager import create_app

        data = tmp_path / "data"
        app = create_app(app_settings(VIEW_DATA=str(data), VIEW_TOKEN=token))
        app.testing = True
        (data / "temp" / "victim.py").write_text("x = 1\n")
        return app.test_client(), data

    return make


def page_token(client, url="/plugins/plugin", headers=None):
    page = client.get(url, headers={"Accept": "text/html", **(headers or {})}).get_data(True)
    return re.search(r'name="csrf-token" content="([^"]+)"', page).group(1)


def sign_in(client, token=TOKEN):
    return client.post("/signin", data={"token": token, "next": "/"})


def basic(password):
    return "Basic " + base64.b64encode(b"operator:" + password.encode()).decode()


def upload(client, headers, csrf_field=None):
    data = {"type": "api_module", "formFile": (io.BytesIO(b"x = 2\n"), "new.py")}
    if csrf_field is not None:
        data["csrf_token"] = csrf_field
    return client.post("/upload", data=data, headers=headers, content_type="multipart/form-data")


# (credential, how the request authenticates, extra headers, expected status of a removal)
@pytest.mark.parametrize("token, auth, headers, status", [
    (TOKEN, None, {}, 401),
    (TOKEN, "Bearer wrong-token", {}, 401),
    (TOKEN, "Bearer " + TOKEN, {}, 200),
    (TOKEN, basic(TOKEN), {}, 200),
    (TOKEN, basic("wrong"), {}, 401),
    # A browser that cached Basic credentials sends them cross-site; its fetch headers give it away.
    (TOKEN, basic(TOKEN), {"Sec-Fetch-Site": "same-site"}, 403),
    (TOKEN, "Bearer " + TOKEN, {"Origin": FOREIGN}, 403),
    (TOKEN, "session", {}, 403),  # signed in, but no anti-forgery token
    (TOKEN, "session+csrf", {}, 200),
    (TOKEN, "session+csrf", {"Origin": FOREIGN}, 403),
    (TOKEN, "session+csrf", {"Origin": "null"}, 403),
    (TOKEN, "session+csrf", {"Sec-Fetch-Site": "cross-site"}, 403),
    (TOKEN, "session+csrf", {"Origin": "http://localhost", "Sec-Fetch-Site": "same-origin"},
     200),
    # Without a credential, a program on this machine (curl, a script) needs no token, but a
    # change by GET needs a header of its own: a bare GET may be a link fetched for someone...
    (None, None, {}, 403),
    (None, None, {"User-Agent": "curl/8.5.0", "Accept": "*/*"}, 403),
    (None, None, {"X-Requested-With": "curl"}, 200),
    (None, None, {"User-Agent": "curl/8.5.0", "Accept": "*/*", "X-Requested-With": "x"}, 200),
    # ...but a browser always does, whatever a page on another site makes it send.
    (None, None, {"Sec-Fetch-Site": "same-origin"}, 403),
    (None, None, {"Sec-Fetch-Site": "same-site"}, 403),
    (None, None, {"Origin": "http://localhost"}, 403),
    (None, None, {"User-Agent": BROWSER_AGENT}, 403),  # one without fetch metadata
    (None, None, {"Host": "attacker.example:5000"}, 403),
    (None, "session+csrf", {}, 200),
    (None, "session+wrong-csrf", {}, 403),
    # DNS rebinding: a hostile name resolving to 127.0.0.1 reaches us with its own Host.
    (None, "session+csrf", {"Host": "attacker.example:5000"}, 403),
    (None, "session+csrf", {"Host": "127.0.0.1:5000"}, 200),
    (None, "session+csrf", {"Host": "[::1]:5000"}, 200),
])
def test_who_may_remove(make_client, token, auth, headers, status):
    client, data = make_client(token)
    headers = dict(headers)
    # A browser opens the page on the address it then uses: its cookies are kept per host name
    # (as Werkzeug's test client keeps them since 2.3).
    same_host = {"Host": headers["Host"]} if "Host" in headers and status == 200 else {}
    if auth and auth.startswith("session"):
        if token is not None:
            sign_in(client)
        csrf = page_token(client, headers=same_host)
        if auth == "session+csrf":
            headers["X-CSRF-Token"] = csrf
        elif auth == "session+wrong-csrf":
            headers["X-CSRF-Token"] = csrf[:-1] + ("A" if csrf[-1] != "A" else "B")
    elif auth:
        headers["Authorization"] = auth
    r = client.get("/remove/api_module/victim.py", headers=headers)
    assert r.status_code == status, r.get_json()
    assert (data / "temp" / "victim.py").exists() == (status != 200)


@pytest.mark.parametrize("token", [TOKEN, None])
def test_upload_takes_the_token_as_form_field(make_client, token):
    client, data = make_client(token)
    if token is not None:
        sign_in(client)
    csrf = page_token(client)
    assert upload(client, {}, csrf_field="forged").status_code == 403
    assert not (data / "temp" / "new.py").exists()
    assert upload(client, {}, csrf_field=csrf).status_code == 200
    assert (data / "temp" / "new.py").exists()


def test_non_loopback_client_refused_without_credential(make_client):
    client, data = make_client(None)
    r = client.get("/plugins/plugin", environ_base={"REMOTE_ADDR": "192.0.2.7"})
    assert r.status_code == 403 and "loopback" in r.get_json()["error"]


@pytest.mark.parametrize("given, status, signed_in", [
    (TOKEN, 302, True),
    ("not-the-token", 401, False),
    ("", 401, False),
])
def test_sign_in_and_out(make_client, given, status, signed_in):
    client, _ = make_client(TOKEN)
    r = sign_in(client, given)
    assert r.status_code == status
    assert client.get("/plugins/plugin").status_code == (200 if signed_in else 401)
    if signed_in:
        cookie = r.headers["Set-Cookie"]
        assert "HttpOnly" in cookie and "SameSite=Lax" in cookie
        r = client.post("/signout", data={"csrf_token": page_token(client)})
        assert r.status_code == 302
        page = client.get(r.headers["Location"]).get_data(as_text=True)
        assert 'id="signin-notice"' in page and "signed out" in page
        assert client.get("/plugins/plugin").status_code == 401


def test_sign_in_page_says_only_its_own_words(make_client):
    client, _ = make_client(TOKEN)
    page = client.get("/signin?signed_out=<b>pay+here</b>").get_data(as_text=True)
    assert "You are signed out." in page and "pay here" not in page and "<b>" not in page
    assert "signin-notice" not in client.get("/signin").get_data(as_text=True)


@pytest.mark.parametrize("target, location", [
    ("/plugins/api_module", "/plugins/api_module"),
    ("//attacker.example/", "/"),
    ("/\\attacker.example/", "/"),
    ("https://attacker.example/", "/"),
])
def test_sign_in_goes_back_only_to_this_server(make_client, target, location):
    client, _ = make_client(TOKEN)
    r = client.post("/signin", data={"token": TOKEN, "next": target})
    assert r.headers["Location"] == location


def test_new_token_signs_everyone_out(make_client):
    client, _ = make_client(TOKEN)
    session = sign_in(client).headers["Set-Cookie"].split(";", 1)[0]
    assert client.get("/plugins/plugin").status_code == 200
    other, _ = make_client(TOKEN + "-rotated")  # same data folder, so the same secret
    assert other.get("/plugins/plugin", headers={"Cookie": session}).status_code == 401


@pytest.mark.parametrize("url", ["/plugins/plugin", "/remove/plugin/x", "/nowhere",
                                 "/static/upload.js", "/signin", "/"])
def test_security_headers_on_every_answer(make_client, url):
    client, _ = make_client(TOKEN)
    r = client.get(url)
    r.close()  # a static file is streamed from an open file
    assert r.headers["X-Content-Type-Options"] == "nosniff"
    assert "frame-ancestors 'none'" in r.headers["Content-Security-Policy"]
    assert "script-src 'self'" in r.headers["Content-Security-Policy"]
    assert r.headers["Referrer-Policy"]


def test_session_secret_is_private_shared_and_kept(tmp_path):
    """Four processes start on a fresh data folder at once: one secret, mode 0600, kept."""
    code = ("import sys; sys.path[:0] = [%r, %r]; from view_plugin_manager import access; "
            "print(access.load_secret(sys.argv[1]))" % (BUILD, MANAGER))
    procs = [subprocess.Popen([sys.executable, "-c", code, str(tmp_path)],
                              stdout=subprocess.PIPE) for _ in range(4)]
    secrets = {p.communicate(timeout=60)[0].strip() for p in procs}
    assert len(secrets) == 1 and len(secrets.pop()) >= 32
    path = tmp_path / ".session-secret"
    assert stat.S_IMODE(path.stat().st_mode) == 0o600
    assert sorted(os.listdir(tmp_path)) == [".session-secret"]  # no temporary files left

    from view_plugin_manager import access
    assert access.load_secret(str(tmp_path)) == path.read_text().strip()
    path.chmod(0o644)
    with pytest.raises(access.CredentialError, match="only this user"):
        access.load_secret(str(tmp_path))


@pytest.mark.parametrize("host, has_credential, refused", [
    ("127.0.0.1", False, False),
    ("::1", False, False),
    ("localhost", False, False),
    ("0.0.0.0", False, True),
    ("::", False, True),
    ("192.0.2.1", False, True),
    ("0.0.0.0", True, False),
])
def test_listen_rule(host, has_credential, refused):
    from view_plugin_manager import access
    assert (access.listen_problem(host, has_credential) is not None) == refused


@pytest.mark.parametrize("env, message", [
    ({}, "refusing to listen on '0.0.0.0' without an operator credential"),
    ({"VIEW_TOKEN": "  "}, "VIEW_TOKEN is set but empty"),
    ({"VIEW_TOKEN_FILE": "/nonexistent/token"}, "cannot read the token file"),
    ({"VIEW_TOKEN": "four"}, "fewer than 16 characters"),
    ({"VIEW_TOKEN": TOKEN, "VIEW_BEHIND_PROXY": "1"}, "listen on 127.0.0.1"),
])
def test_start_refused(tmp_path, env, message):
    env = server_env(**env)
    r = subprocess.run([sys.executable, "-m", "view_plugin_manager", "--host", "0.0.0.0", "--port", "9",
                        "--data", str(tmp_path / "data")], env=env, cwd=str(tmp_path),
                       capture_output=True, text=True, timeout=60)
    assert r.returncode != 0 and message in r.stderr
    assert not (tmp_path / "data").exists()  # refused before touching anything


# A browser's request made without the page: signed in (where there is a token), no
# anti-forgery token, fetch metadata that says same-origin.
BROWSER = {"Sec-Fetch-Site": "same-origin", "User-Agent": BROWSER_AGENT}
# What changes the store, or stands for a change (approval, which does nothing yet); every other
# route only reads. Sign-in takes the operator token itself, which a forging page lacks.
CHANGING = {"upload", "remove", "rollback", "approve", "signout"}
TAKES_THE_TOKEN_ITSELF = {("signin", "POST")}
URL_VALUES = {"t": "api_module", "o": "victim.py", "filename": "manager.css"}


def forged(client, token, method, url, headers=BROWSER):
    if token is not None:
        sign_in(client)
    return client.open(url, method=method, headers=headers)


@pytest.mark.parametrize("token", [TOKEN, None], ids=["token", "loopback-no-token"])
def test_every_route_reads_only_or_needs_the_token(make_client, token):
    from support.snapshots import store_state

    client, data = make_client(token)
    app = client.application
    before = store_state(data)
    seen = set()
    for rule in app.url_map.iter_rules():
        url = app.url_map.bind("localhost").build(
            rule.endpoint, {k: URL_VALUES[k] for k in rule.arguments})
        for method in sorted(rule.methods):
            r = forged(client, token, method, url)
            r.close()
            refused = r.status_code == 403 and (method == "HEAD" or  # HEAD has no body
                                                "anti-forgery" in r.get_json()["error"])
            changing = (rule.endpoint, method) not in TAKES_THE_TOKEN_ITSELF and (
                rule.endpoint in CHANGING or method not in ("GET", "HEAD", "OPTIONS"))
            assert refused == changing, (rule.endpoint, method, r.status_code)
            seen.add(rule.endpoint)
    assert CHANGING <= seen and {"plugins", "history", "static", "files.files_home"} <= seen
    assert store_state(data) == before


@pytest.mark.parametrize("token", [TOKEN, None], ids=["token", "loopback-no-token"])
@pytest.mark.parametrize("declared, status", [(False, 403), (True, 200)],
                         ids=["undeclared", "reads-only"])
def test_a_new_route_needs_the_token_unless_declared(make_client, token, declared, status):
    from view_plugin_manager.access import reads_only

    client, data = make_client(token)
    planted = data / "planted"

    def plant():
        planted.write_text("planted")
        return "planted"

    client.application.add_url_rule("/plant", view_func=reads_only(plant) if declared
                                     else plant, methods=["GET"])
    assert forged(client, token, "GET", "/plant").status_code == status
    assert planted.exists() == declared
    if not declared:  # with the page's token it goes through
        csrf = page_token(client)
        r = client.get("/plant", headers=dict(BROWSER, **{"X-CSRF-Token": csrf}))
        assert r.status_code == 200 and planted.exists()


@pytest.mark.parametrize("token, sender, wrong_token, says, never", [
    (TOKEN, BROWSER, False, "reload the page", "Authorization"),
    (TOKEN, {"User-Agent": "curl/8.5.0"}, False, "Authorization: Bearer", "reload"),
    (None, BROWSER, False, "reload the page", "Authorization"),
    (None, {"User-Agent": "curl/8.5.0"}, True, "needs none", "reload"),
    (None, {"User-Agent": "curl/8.5.0"}, False, "X-Requested-With", "reload"),
    (None, dict(BROWSER, **{"X-Requested-With": "x"}), False, "reload the page", "Requested"),
], ids=["token-browser", "token-script", "loopback-browser", "loopback-script-wrong-token",
        "loopback-script-bare-get", "loopback-browser-with-header"])
def test_forgery_refusal_speaks_to_its_client(make_client, token, sender, wrong_token, says,
                                              never):
    client, data = make_client(token)
    headers = dict(sender)
    if wrong_token:
        page_token(client)  # the session has a token; the request brings another
        headers["X-CSRF-Token"] = "not-the-token"
    r = forged(client, token, "GET", "/remove/api_module/victim.py", headers)
    message = r.get_json()["error"]
    assert r.status_code == 403 and says in message and never not in message
    assert (data / "temp" / "victim.py").exists()
