"""Server-side sessions and the guessing throttle, with the clock moved by hand (Flask's test
client; the live attacks are in test_edge_live.py)."""
import stat
import time

import pytest
from webapp_support import TOKEN, app_settings, native

pytestmark = native


@pytest.fixture
def make_client_no_auth(tmp_path, monkeypatch):
    """make(**settings) -> (test client without credentials, data folder)."""
    monkeypatch.chdir(tmp_path)

    def make(**settings):
        from view_plugin_manager import create_app
        app = create_app(app_settings(VIEW_DATA=str(tmp_path / "data"), VIEW_TOKEN=TOKEN, **settings))
        app.testing = True
        return app.test_client(), tmp_path / "data"

    return make


@pytest.fixture
def clock(monkeypatch):
    """The sessions' and the throttle's time, moved forward by `clock.now += seconds`."""
    from view_plugin_manager import sessions, throttle

    class Clock:
        now = time.time()

    monkeypatch.setattr(sessions.time, "time", lambda: Clock.now)
    assert throttle.time is sessions.time  # one module: both read the patched clock
    return Clock


def signed_in(client):
    return client.get("/plugins/plugin").status_code == 200


@pytest.mark.parametrize("steps, alive", [
    ([30 * 60] * 4, True),         # used every half hour: two hours and still signed in
    ([61 * 60], False),            # idle for more than an hour
    ([50 * 60] * 14 + [50 * 60], False),  # used all along, but past twelve hours
])
def test_session_ends_when_idle_or_old(make_client_no_auth, clock, steps, alive):
    client, data = make_client_no_auth()
    assert client.post("/signin", data={"token": TOKEN}).status_code == 302
    assert stat.S_IMODE((data / ".sessions.db").stat().st_mode) == 0o600
    for step in steps[:-1]:
        clock.now += step
        assert signed_in(client)
    clock.now += steps[-1]
    assert signed_in(client) == alive


def test_cookie_holds_no_secret(make_client_no_auth):
    client, data = make_client_no_auth()
    r = client.post("/signin", data={"token": TOKEN})
    cookie = r.headers["Set-Cookie"]
    assert cookie.startswith("view_session=") and "Secure" not in cookie
    sid = cookie.split(";")[0].split("=", 1)[1]
    page = client.get("/plugins/plugin", headers={"Accept": "text/html"}).get_data(as_text=True)
    csrf = page.split('name="csrf-token" content="')[1].split('"')[0]
    assert csrf not in sid
    assert sid not in (data / ".sessions.db").read_bytes().decode("latin-1")  # only its hash


@pytest.mark.parametrize("settings, cookie", [
    ({"VIEW_TLS_CERT": "/some/cert.pem"}, "__Host-view_session="),
    ({"VIEW_BEHIND_PROXY": "1"}, "__Host-view_session="),
    ({}, "view_session="),
])
def test_cookie_name_over_tls(make_client_no_auth, settings, cookie):
    client, _ = make_client_no_auth(**settings)
    r = client.post("/signin", data={"token": TOKEN}, base_url="https://localhost")
    assert r.headers["Set-Cookie"].startswith(cookie)
    assert ("Secure" in r.headers["Set-Cookie"]) == bool(settings)


def wrong(client, address, forwarded=None):
    headers = {"Authorization": "Bearer wrong"}
    if forwarded:
        headers["X-Forwarded-For"] = forwarded
    return client.get("/plugins/plugin", headers=headers,
                      environ_base={"REMOTE_ADDR": address}).status_code


@pytest.mark.parametrize("proxied", [False, True])
def test_throttle_counts_per_client(make_client_no_auth, clock, proxied):
    client, _ = make_client_no_auth(VIEW_BEHIND_PROXY="1" if proxied else "")
    statuses = [wrong(client, "127.0.0.1", "198.51.100.7") for _ in range(8)]
    assert statuses == [401] * 6 + [429] * 2
    # Another client: behind the proxy, by its forwarded address; without one, a forwarded
    # address is anyone's claim and counts for nothing.
    assert wrong(client, "127.0.0.1", "198.51.100.8") == (401 if proxied else 429)
    assert wrong(client, "2001:db8::1") == 401
    clock.now += 1.5  # the first wait is over; the next failure doubles it
    assert wrong(client, "127.0.0.1", "198.51.100.7") == 401
    assert wrong(client, "127.0.0.1", "198.51.100.7") == 429
    r = client.post("/signin", data={"token": TOKEN}, environ_base={"REMOTE_ADDR": "127.0.0.1"},
                    headers={"X-Forwarded-For": "198.51.100.7"})
    assert r.status_code == 429 and r.headers["Retry-After"] == "2"


@pytest.mark.parametrize("address, key", [
    ("192.0.2.1", "192.0.2.1"),
    ("2001:db8:1:2:3:4:5:6", "2001:db8:1:2::/64"),  # one host holds a whole /64
    ("::ffff:192.0.2.1", "192.0.2.1"),
])
def test_client_key(address, key):
    from view_plugin_manager import throttle
    assert throttle.client_key(address) == key


def test_waits_double_up_to_a_bound():
    from view_plugin_manager import throttle
    waits = [throttle.wait_after(n) for n in range(1, 30)]
    assert waits[:5] == [0] * 5 and waits[5:9] == [1, 2, 4, 8]
    assert max(waits) == throttle.MAX_WAIT_SECONDS
