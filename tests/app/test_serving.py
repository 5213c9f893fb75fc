"""How the command chooses its servers, the nginx configuration it writes, and what it says
when a server it needs is missing."""
import os
import socket
import subprocess
import sys

import pytest
from support.paths import ROOT
from webapp_support import TOKEN, server_env

from view_plugin_manager import nginx, serving

NGINX = "/usr/sbin/nginx"


@pytest.mark.parametrize("host, workers, tls, no_proxy, behind, has_nginx, expected", [
    # nginx goes in front wherever it is installed
    ("127.0.0.1", 0, False, False, False, True, ("waitress", True)),
    ("0.0.0.0", 2, True, False, False, True, ("gunicorn", True)),
    # without it, loopback is served by waitress alone, with a warning
    ("127.0.0.1", 0, False, False, False, False, ("waitress", False)),
    # and everything that needs it is refused, naming the way out
    ("0.0.0.0", 0, False, False, False, False, "--no-proxy"),
    ("127.0.0.1", 2, False, False, False, False, "nginx-light"),
    ("127.0.0.1", 0, True, False, False, False, "nginx-light"),
    # --no-proxy: waitress alone, anywhere; never gunicorn or TLS without a proxy
    ("0.0.0.0", 0, False, True, False, True, ("waitress", False)),
    ("127.0.0.1", 2, False, True, False, True, "buffering proxy"),
    ("127.0.0.1", 0, True, True, False, True, "TLS is served by nginx"),
    # the operator's own proxy in front: none of ours
    ("127.0.0.1", 2, False, False, True, True, ("gunicorn", False)),
])
def test_servers_are_chosen_from_the_settings(host, workers, tls, no_proxy, behind, has_nginx,
                                              expected, monkeypatch):
    monkeypatch.setattr(serving, "has_gunicorn", lambda: True)
    plan, problem = serving.choose(host, workers, tls, no_proxy, behind,
                                   NGINX if has_nginx else None)
    if isinstance(expected, str):
        assert plan is None and expected in problem
    else:
        assert problem is None and (plan.server, plan.proxy) == expected
        assert (plan.warning is not None) == (not has_nginx and not no_proxy and not behind)


def test_workers_without_gunicorn_name_the_extra(monkeypatch):
    monkeypatch.setattr(serving, "has_gunicorn", lambda: False)
    plan, problem = serving.choose("127.0.0.1", 2, False, False, False, NGINX)
    assert plan is None and "pip install 'view-plugin-manager[workers]'" in problem


def test_command_stops_before_serving_without_gunicorn(tmp_path):
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    # gunicorn hidden from this interpreter, installed or not
    code = ("import sys; sys.modules['gunicorn'] = None; "
            "from view_plugin_manager.__main__ import main; main()")
    done = subprocess.run([sys.executable, "-c", code, "--workers", "2", "--port", str(port),
                           "--data", str(tmp_path / "data")],
                          env=server_env(VIEW_TOKEN=TOKEN), capture_output=True, text=True,
                          timeout=60)
    assert done.returncode != 0
    assert "pip install 'view-plugin-manager[workers]'" in done.stderr
    assert "http://" not in done.stdout + done.stderr
    assert not (tmp_path / "data").exists()  # nothing made, nothing served


def needs_nginx():
    if nginx.find() is None:
        pytest.skip("needs nginx: apt-get install nginx-light")
    return nginx.find()


@pytest.mark.parametrize("tls, buffering, listen", [
    (False, False, [("127.0.0.1", 8080)]),
    (True, True, [("0.0.0.0", 8443), ("::", 8443)]),
])
def test_nginx_accepts_the_configuration(tmp_path, certificate, tls, buffering, listen):
    binary = needs_nginx()
    text = nginx.site(listen, ["unix:%s/manager.sock" % tmp_path, "127.0.0.1:5001"], 3 << 20,
                      certificate if tls else None, buffering)
    assert "@" not in text.replace("location @", "").replace("= @", "")  # every value filled
    assert ("proxy_request_buffering %s;" % ("on" if buffering else "off")) in text
    assert "client_max_body_size 3136k;" in text  # the upload and its form's framing
    worker = "nobody nogroup" if os.geteuid() == 0 else None
    ok, said = nginx.check(binary, str(tmp_path), nginx.write(str(tmp_path), text, worker))
    assert ok, said


def test_shipped_configuration_is_the_generated_one():
    with open(os.path.join(ROOT, "deploy", "nginx", "view-plugin-manager.conf")) as f:
        shipped = f.read()
    assert shipped == nginx.example(), \
        "regenerate it: python -m view_plugin_manager.nginx > deploy/nginx/view-plugin-manager.conf"
    assert shipped.count("    server 127.0.0.1:500") == 3


@pytest.mark.parametrize("value, text", [(4096, "4k"), (3 << 20, "3m"), (1000, "1000")])
def test_sizes_are_written_as_nginx_reads_them(value, text):
    assert nginx.size(value) == text


def test_folders_of_killed_commands_are_swept(tmp_path, monkeypatch):
    monkeypatch.setattr(serving.tempfile, "gettempdir", lambda: str(tmp_path))
    dead = subprocess.Popen(["true"])
    dead.wait()
    for name, pid in (("dead", dead.pid), ("alive", os.getpid())):
        folder = tmp_path / (serving.RUN_PREFIX + name)
        folder.mkdir()
        (folder / "command.pid").write_text(str(pid))
    (tmp_path / (serving.RUN_PREFIX + "starting")).mkdir()  # no pid yet: a command starting
    serving._sweep_run_dirs()
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        serving.RUN_PREFIX + "alive", serving.RUN_PREFIX + "starting"]
