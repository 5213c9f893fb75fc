import importlib.util
import os
import shutil
import socket
import ssl
import subprocess
import sys
import time
import urllib.error
import urllib.request

import pytest
from webapp_support import OPERATOR, TOKEN, app_settings, browser_skip_reason, server_env


def make_client(tmp_path, monkeypatch, **settings):
    from view_plugin_manager import create_app

    monkeypatch.chdir(tmp_path)  # the app changes the working directory; put it back after
    data = tmp_path / "data"
    app = create_app(app_settings(VIEW_DATA=str(data), VIEW_TOKEN=TOKEN, **settings))
    app.testing = True
    c = app.test_client()
    c.environ_base["HTTP_AUTHORIZATION"] = OPERATOR["Authorization"]
    return c, data


@pytest.fixture
def client(tmp_path, monkeypatch):
    return make_client(tmp_path, monkeypatch)


@pytest.fixture
def operator_client(tmp_path, monkeypatch):
    """`client`, made when called with the test's settings (operator_client(VIEW_MAX_...=))."""
    return lambda **settings: make_client(tmp_path, monkeypatch, **settings)


def needs_for(args, host="127.0.0.1", edge=False):
    """Why a server started with `args` on `host` cannot run here (what to install), or None.
    nginx is needed for gunicorn, TLS and an address off loopback, and wherever the test is
    about the edge the command puts in front (`edge`)."""
    from view_plugin_manager import nginx
    from view_plugin_manager.access import is_loopback_host

    args = list(args)
    if "--workers" in args and importlib.util.find_spec("gunicorn") is None:
        return "needs gunicorn: pip install 'view-plugin-manager[workers]'"
    own_proxy = "--no-proxy" not in args and "--behind-proxy" not in args
    wanted = edge or "--workers" in args or "--tls-cert" in args or not is_loopback_host(host)
    if own_proxy and wanted and nginx.find() is None:
        return "needs nginx: apt-get install nginx-light"
    return None


@pytest.fixture
def start_server(tmp_path):
    """Starts `python -m view_plugin_manager` on a free port of `host` (loopback unless a
    `namespace` is given, a network namespace that holds `host`), set by flags or by
    environment, with the test operator token unless `token` is None; over HTTPS (unverified)
    with --tls-cert. Skips the test where what the server needs is not installed. Its
    attribute `procs` holds the servers started."""
    procs = []

    def start(data, use_env=False, args=(), env=(), token=TOKEN, host="127.0.0.1",
              namespace=None, edge=False):
        reason = needs_for(args, host, edge)
        if reason:
            pytest.skip(reason)
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        extra_env = dict(env)
        env = server_env()
        if token is not None:
            env["VIEW_TOKEN"] = token
        env.update(extra_env)
        args = [sys.executable, "-m", "view_plugin_manager"] + list(args)
        if use_env:
            env.update(VIEW_HOST=host, VIEW_PORT=str(port), VIEW_DATA=str(data))
        else:
            args += ["--host", host, "--port", str(port), "--data", str(data)]
        if namespace:
            args = ["ip", "netns", "exec", namespace] + args
        log = tmp_path / ("server-%d.log" % port)
        with open(log, "w") as out:
            procs.append(subprocess.Popen(args, cwd=str(tmp_path), env=env, stdout=out,
                                          stderr=subprocess.STDOUT))
        tls = "--tls-cert" in args
        base = "%s://%s:%d" % ("https" if tls else "http", host, port)
        deadline = time.monotonic() + 30
        while procs[-1].poll() is None and time.monotonic() < deadline:
            try:
                probe = urllib.request.Request(base + "/plugins/plugin", headers=OPERATOR)
                with urllib.request.urlopen(probe, timeout=2, context=(
                        ssl._create_unverified_context() if tls else None)) as answer:
                    answer.read()
                return base
            except urllib.error.HTTPError as e:
                e.close()
                return base  # it answers, if only to say who may see the page
            except OSError:
                time.sleep(0.2)
        pytest.fail("server on %s did not answer:\n%s" % (base, log.read_text()))

    start.procs = procs  # for tests that kill a server
    yield start
    for proc in procs:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    """Headless Chromium, shared by the tests of one module (it takes seconds to start)."""
    reason = browser_skip_reason()
    if reason:
        pytest.skip(reason)
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    profile = tmp_path_factory.mktemp("chromium-profile")
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ("--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                "--disable-background-networking", "--disable-component-update",
                "--disable-sync", "--window-size=1000,800", "--user-data-dir=%s" % profile):
        options.add_argument(arg)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.set_page_load_timeout(30)
    driver.set_script_timeout(30)
    try:
        yield driver
    finally:
        driver.quit()
        shutil.rmtree(str(profile), ignore_errors=True)


@pytest.fixture(scope="module")
def certificate(tmp_path_factory):
    """A self-signed certificate for 127.0.0.1: (certificate file, key file)."""
    folder = tmp_path_factory.mktemp("tls")
    cert, key = folder / "cert.pem", folder / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-subj", "/CN=127.0.0.1", "-keyout", str(key), "-out", str(cert)],
                   check=True, capture_output=True, timeout=60)
    return str(cert), str(key)


@pytest.fixture
def public_host():
    """An address off loopback, for a server that must treat its clients as remote: a network
    namespace holding the server's address, joined to this one by a veth pair whose end here
    holds two more (one for a crowd of attackers, one for the operator). Yields
    (namespace, server address, crowd address, operator address)."""
    if os.geteuid() != 0 or shutil.which("ip") is None:
        pytest.skip("needs root and iproute2 (ip netns) for an address off loopback")
    tag = "vpm%d" % (os.getpid() % 100000)
    net = "10.%d.%d" % (77 + os.getpid() % 100, os.getpid() // 100 % 250)
    server, crowd, operator = net + ".2", net + ".1", net + ".3"
    steps = [["ip", "netns", "add", tag],
             ["ip", "link", "add", tag + "h", "type", "veth", "peer", "name", tag + "n"],
             ["ip", "link", "set", tag + "n", "netns", tag],
             ["ip", "addr", "add", crowd + "/24", "dev", tag + "h"],
             ["ip", "addr", "add", operator + "/24", "dev", tag + "h"],
             ["ip", "link", "set", tag + "h", "up"],
             ["ip", "netns", "exec", tag, "ip", "addr", "add", server + "/24", "dev", tag + "n"],
             ["ip", "netns", "exec", tag, "ip", "link", "set", tag + "n", "up"],
             ["ip", "netns", "exec", tag, "ip", "link", "set", "lo", "up"]]
    try:
        for step in steps:
            done = subprocess.run(step, capture_output=True, text=True, timeout=30)
            if done.returncode:
                pytest.skip("needs a network namespace: %s: %s" % (" ".join(step),
                                                                   done.stderr.strip()))
        yield tag, server, crowd, operator
    finally:
        subprocess.run(["ip", "link", "del", tag + "h"], capture_output=True, timeout=30)
        subprocess.run(["ip", "netns", "del", tag], capture_output=True, timeout=30)
