"""The shared database's setting, start and schema: what refuses to start, and why."""
import time

import pytest
from support.postgres import database_url, postgres_server  # noqa: F401 (fixtures)

from view_plugin_manager import database


@pytest.mark.parametrize("url", ["sqlite:///x.db", "mysql://u@h/db", "", "127.0.0.1:5432/x",
                                 "postgresql+psycopg://u@h/db"])
def test_a_url_that_is_not_postgresql_is_refused(url):
    with pytest.raises(database.StartError, match="postgresql://"):
        database.check_url(url)


def test_the_refusal_hides_a_password():
    with pytest.raises(database.StartError) as caught:
        database.check_url("mysql://user:hunter2@db/x")
    assert "hunter2" not in str(caught.value)


def test_an_unreachable_server_stops_the_start(postgres_server):  # noqa: F811
    url = postgres_server.url("postgres").replace(str(postgres_server.port), "1")
    with pytest.raises(database.StartError, match="cannot reach the database"):
        database.Database(url)


def test_the_schema_is_made_once_and_a_newer_one_is_refused(database_url):  # noqa: F811
    import psycopg

    db = database.Database(database_url)
    db.close()
    db = database.Database(database_url)  # a second start finds it made
    assert db.execute("SELECT version FROM schema_version") == [(len(database.MIGRATIONS),)]
    db.execute("UPDATE schema_version SET version = version + 1")
    db.close()
    with pytest.raises(database.StartError, match="newer than this manager"):
        database.Database(database_url)
    with psycopg.connect(database_url, autocommit=True) as conn:
        conn.execute("UPDATE schema_version SET version = version - 1")


def test_a_failing_step_leaves_the_version_before_it(database_url):  # noqa: F811
    import psycopg

    steps = ["CREATE TABLE one (x INTEGER)", "CREATE TABLE two (x INTEGER); SELECT 1/0"]
    with psycopg.connect(database_url, autocommit=True) as conn:
        with pytest.raises(psycopg.Error):
            database.migrate(conn, steps)
        assert database.schema_version(conn) == 1
        assert conn.execute("SELECT to_regclass('two')").fetchone() == (None,)
        assert database.migrate(conn, steps[:1] + ["CREATE TABLE two (x INTEGER)"]) == 2


def test_a_database_that_goes_away_is_unavailable(postgres_server, database_url):  # noqa: F811
    db = database.Database(database_url)
    try:
        postgres_server.stop("immediate")
        with pytest.raises(database.Unavailable, match="unavailable"):
            db.execute("SELECT 1")
        started = time.monotonic()
        with pytest.raises(database.Unavailable):  # told at once while it is away
            db.execute("SELECT 1")
        assert time.monotonic() - started < 1
        postgres_server.start()
        for _ in range(40):  # a probe a second finds it back
            try:
                assert db.execute("SELECT 1") == [(1,)]
                break
            except database.Unavailable:
                time.sleep(0.25)
        else:
            pytest.fail("the pool did not reconnect")
    finally:
        db.close()


@pytest.mark.parametrize("problem, message", [
    ("scheme", "takes a postgresql:// URL"),
    ("unreachable", "cannot reach the database"),
    ("newer", "newer than this manager"),
])
def test_the_command_refuses_to_start(postgres_server, database_url, tmp_path,  # noqa: F811
                                      problem, message):
    import subprocess
    import sys

    from webapp_support import server_env

    url = {"scheme": "mysql://db/x",
           "unreachable": postgres_server.url("nothing").replace(
               ":%d/" % postgres_server.port, ":1/")}.get(problem, database_url)
    if problem == "newer":
        database.Database(url).close()
        postgres_server.sql("UPDATE schema_version SET version = 99", database_url.rsplit("/")[-1])
    result = subprocess.run([sys.executable, "-m", "view_plugin_manager", "--port", "0",
                             "--data", str(tmp_path / "data"), "--database", url],
                            env=server_env(), capture_output=True, text=True, timeout=60)
    assert result.returncode != 0 and message in result.stderr, result.stderr
    assert "Traceback" not in result.stderr


@pytest.mark.parametrize("argv, environ, database, node", [
    (["--port", "5001"], {}, "", "%s:5001"),
    (["--port", "5001"], {"VIEW_DATABASE": "postgresql://db/x", "VIEW_NODE": "east"},
     "postgresql://db/x", "east"),
    (["--database", "postgresql://db/y", "--node", "west"], {"VIEW_DATABASE": "postgresql://db/x"},
     "postgresql://db/y", "west"),
])
def test_the_flags_and_their_variables_reach_the_application(argv, environ, database, node):
    import socket

    from view_plugin_manager.__main__ import app_config, parse_args

    config = app_config(parse_args(argv, environ), environ)
    assert config["VIEW_DATABASE"] == database
    assert config["VIEW_NODE"] == (node % socket.gethostname() if "%s" in node else node)
