"""How applications are configured: by the mapping given to create_app() alone, and by the
command, which reads the environment and its flags and hands the same settings to gunicorn's
workers."""
import os
import re
import ssl
import subprocess
import sys
import urllib.request

import pytest
from support.paths import ROOT
from webapp_support import BUILD, TOKEN, app_settings, native, request, server_env

pytestmark = native


def test_an_application_reads_no_environment(tmp_path, monkeypatch):
    """What the process's environment says reaches no application built with a mapping."""
    from view_plugin_manager import create_app

    monkeypatch.chdir(tmp_path)
    for name, value in {"VIEW_TOKEN": TOKEN, "VIEW_DATA": str(tmp_path / "elsewhere"),
                        "VIEW_MAX_UPLOAD": "1K", "VIEW_BEHIND_PROXY": "1",
                        "VIEW_TLS_CERT": "/some/cert.pem"}.items():
        monkeypatch.setenv(name, value)
    app = create_app(app_settings(VIEW_DATA=str(tmp_path / "data")))
    assert app.config["VIEW_DATA"] == str(tmp_path / "data")
    assert not (tmp_path / "elsewhere").exists()
    assert app.config["MAX_CONTENT_LENGTH"] == 64 << 20
    assert app.config["SESSION_COOKIE_NAME"] == "view_session"
    r = app.test_client().get("/plugins/plugin", headers={"Accept": "application/json"})
    assert r.status_code == 200  # no credential configured: loopback needs no sign-in


@pytest.mark.parametrize("config, error, message", [
    ("/srv/plugins", TypeError, "takes a mapping of settings"),
    ({"VIEW_MAX_UPLAD": "1M"}, ValueError, "unknown setting VIEW_MAX_UPLAD"),
    ({"VIEW_HOST": "0.0.0.0"}, ValueError, "unknown setting VIEW_HOST"),
    ({"VIEW_MAX_UPLOAD": 0}, ValueError, "VIEW_MAX_UPLOAD"),
    ({"VIEW_TOKEN": " "}, Exception, "VIEW_TOKEN is set but empty"),
], ids=["text", "misspelt", "command-only", "zero-limit", "empty-token"])
def test_unusable_settings_are_refused(tmp_path, monkeypatch, config, error, message):
    from view_plugin_manager import create_app

    monkeypatch.chdir(tmp_path)
    if isinstance(config, dict):
        config = app_settings(**config, VIEW_DATA=str(tmp_path / "data"))
    with pytest.raises(error, match=message):
        create_app(config)


@pytest.mark.parametrize("settings, max_upload, cookie", [
    ({"VIEW_MAX_UPLOAD": 2048, "VIEW_BEHIND_PROXY": True}, 2048, "__Host-view_session"),
    ({"VIEW_MAX_UPLOAD": "", "VIEW_BEHIND_PROXY": False}, 64 << 20, "view_session"),
    ({"VIEW_MAX_UPLOAD": None, "VIEW_BEHIND_PROXY": "0"}, 64 << 20, "view_session"),
    ({"VIEW_MAX_UPLOAD": "2K", "VIEW_TLS_CERT": "/some/cert.pem"}, 2048,
     "__Host-view_session"),
])
def test_settings_as_text_or_plain_values(tmp_path, monkeypatch, settings, max_upload, cookie):
    from view_plugin_manager import create_app

    monkeypatch.chdir(tmp_path)
    app = create_app(app_settings(**settings, VIEW_DATA=str(tmp_path / "data"), VIEW_TOKEN=TOKEN))
    assert app.config["MAX_CONTENT_LENGTH"] == max_upload
    assert app.config["SESSION_COOKIE_NAME"] == cookie


def test_the_command_reads_the_environment_and_its_flags_win(tmp_path):
    from view_plugin_manager import __main__ as command
    from view_plugin_manager.settings import config_from_environ

    environ = {"VIEW_TOKEN": TOKEN, "VIEW_TOKEN_FILE": "/etc/token", "VIEW_MAX_UPLOAD": "1M",
               "VIEW_MAX_RATIO": "5", "VIEW_PORT": "8080", "VIEW_DATA": str(tmp_path / "d"),
               "PATH": "/bin"}
    assert config_from_environ(environ) == {k: v for k, v in environ.items()
                                            if k not in ("VIEW_PORT", "PATH")}
    args = command.parse_args(["--max-upload", "2M", "--token-file", "token"], environ)
    assert args.port == 8080
    config = command.app_config(args, environ)
    assert config["VIEW_MAX_UPLOAD"] == str(2 << 20) and config["VIEW_MAX_RATIO"] == "5"
    assert config["VIEW_TOKEN_FILE"] == os.path.abspath("token")
    assert config["VIEW_DATA"] == str(tmp_path / "d") and config["VIEW_BEHIND_PROXY"] == ""
    assert all(isinstance(v, str) for v in config.values())  # gunicorn's workers get them so


@pytest.mark.parametrize("workers", [[], ["--workers", "2"]], ids=["waitress", "gunicorn"])
def test_token_file_flag_reaches_every_worker(start_server, tmp_path, workers):
    token_file = tmp_path / "token"
    token_file.write_text(TOKEN + "\n")
    token_file.chmod(0o600)
    base = start_server(tmp_path / "data", token=None, env={"VIEW_TOKEN": "not-" + TOKEN},
                        args=workers + ["--token-file", str(token_file)])
    json = {"Accept": "application/json"}
    for _ in range(4):  # one connection each, which gunicorn hands to either worker
        assert request(base, "/plugins/plugin", headers=json)[0] == 200  # the file's token
        assert request(base, "/plugins/plugin", headers=dict(
            json, Authorization="Bearer not-" + TOKEN))[0] == 401


@pytest.mark.parametrize("workers", [[], ["--workers", "2"]], ids=["waitress", "gunicorn"])
def test_relative_paths_are_taken_from_where_the_command_starts(start_server, tmp_path,
                                                                workers):
    """The server changes into its data folder (and gunicorn's workers start there) before it
    reads the build folder, the token file and the certificate: each named relative to the
    folder the command was started in must still be found."""
    (tmp_path / "token").write_text(TOKEN)
    (tmp_path / "token").chmod(0o600)
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-subj", "/CN=127.0.0.1", "-keyout", "key.pem", "-out", "cert.pem"],
                   cwd=str(tmp_path), check=True, capture_output=True, timeout=60)
    base = start_server("data", token=None, args=workers + [
        "--tls-cert", "cert.pem", "--tls-key", "key.pem"], env={
            "VIEW_BUILD_DIR": os.path.relpath(BUILD, str(tmp_path)), "VIEW_TOKEN_FILE": "token"})
    context = ssl._create_unverified_context()
    for _ in range(4):  # one connection each, which gunicorn hands to either worker
        answer = urllib.request.urlopen(urllib.request.Request(
            base + "/scheduler", headers={"Authorization": "Bearer " + TOKEN}),
            timeout=30, context=context)
        with answer:
            assert answer.status == 200
    assert os.listdir(str(tmp_path / "data" / "plugin")) == []


def help_text(command):
    env = server_env(VIEW_RUN_SETUP="0")
    return subprocess.run(command, env=env, cwd=ROOT, capture_output=True, text=True,
                          timeout=60, check=True).stdout


def test_help_names_every_option_with_its_variable():
    # scripts/run hands its arguments to this command: its help is the one list of options.
    app_help = help_text([sys.executable, "-m", "view_plugin_manager", "--help"])
    options = app_help.split("\noptional arguments:\n")[-1].split("\noptions:\n")[-1]
    flags = re.findall(r"^  (--[\w-]+)(.*(?:\n {4,}.*)*)", options, re.M)
    assert len(flags) >= 12
    for flag, text in flags:
        assert re.search(r"VIEW_\w+", text), flag
