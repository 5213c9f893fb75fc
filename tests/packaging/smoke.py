"""Smoke test of an installed View package, run by the interpreter of the venv under test.

    python smoke.py HOST_DIR WORK_DIR EXPECTED_PREFIX

Started in a neutral working directory (/), it checks that View comes from EXPECTED_PREFIX,
then imports HOST_DIR/host.py (the host example of the README) with WORK_DIR/data as its data
folder, drives every view through it with Flask's test client, calls the module-level functions
directly, and prints "smoke ok" at the end. Any failure is an exception (exit status 1).
"""
import contextlib
import io
import os
import runpy
import sys


def load_archives():
    """The suites' archive builder, run from its file: tests/ stays off the path, so that
    nothing in it can stand in for a module that the venv under test lacks."""
    tests = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    return runpy.run_path(os.path.join(tests, "support", "archives.py"))


archive = load_archives()["archive"]


def post(client, kind, name, data):
    return client.post("/upload", data={"type": kind, "formFile": (io.BytesIO(data), name)},
                       content_type="multipart/form-data")


def check(response, status, state=None):
    assert response.status_code == status, (response.status_code, response.get_data(as_text=True))
    if state is not None:
        assert response.get_json() == state, response.get_data(as_text=True)


def main(host_dir, work, prefix):
    # The package's Python files come from EXPECTED_PREFIX (an installed wheel's site-packages,
    # or the source folder of an editable install), its modules from wherever pip put them.
    import View  # the package alone (its __init__ is empty): the modules come later

    origin = View.__file__
    assert origin.startswith(prefix + os.sep), "View found at %s, not under %s" % (origin, prefix)
    data = os.path.join(work, "data")
    os.environ["PLUGIN_DATA"] = data
    sys.path.insert(0, host_dir)
    import host  # changes into the data folder and imports the modules

    from View import file
    assert os.getcwd() == data
    assert file.PLUGIN_FOLDER == os.path.join(data, "plugin")
    client = host.app.test_client()

    # Plug-ins: upload, list, refuse a hostile archive, remove.
    check(client.get("/plugins/plugin"), 200)
    good = archive({"demo/plugin.py": b"x = 1\n"})
    check(post(client, "plugin", "demo.tar.gz", good), 200, {"state": "ok"})
    assert os.path.isfile(os.path.join(data, "plugin", "demo", "plugin.py"))
    assert not os.path.exists(os.path.join(data, "plugin", "demo.tar.gz"))
    assert "demo" in client.get("/plugins/plugin").get_data(as_text=True)
    hostile = archive({"../escaped.py": b"x = 2\n"})
    check(post(client, "plugin", "hostile.tar.gz", hostile), 400)
    assert not os.path.exists(os.path.join(data, "escaped.py"))
    assert sorted(os.listdir(os.path.join(data, "plugin"))) == ["demo"]
    check(post(client, "api_module", "../up.py", b"x = 3\n"), 400)
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        check(client.get("/remove/plugin/demo"), 200, {"state": "ok"})
    assert out.getvalue().strip() == os.path.join(data, "plugin", "demo")
    assert os.listdir(os.path.join(data, "plugin")) == []
    check(client.get("/remove/plugin/demo"), 404)

    # API modules: upload, list (with the application's blueprints), approve.
    check(post(client, "api_module", "tool.py", b"x = 4\n"), 200, {"state": "ok"})
    assert os.path.isfile(os.path.join(data, "temp", "tool.py"))
    assert "tool.py" in client.get("/plugins/api_module").get_data(as_text=True)
    check(client.get("/plugins/other"), 404)
    check(client.get("/approve/api_module/tool.py"), 501)

    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        check(client.get("/scheduler"), 200, {"asdfsd": "dfdf"})
    assert out.getvalue() == data + "\n"

    # The module functions themselves.
    assert file.allowed_file("plugin", "a.tar.gz") is True
    assert file.allowed_file("api_module", "a.tar.gz") is False
    assert file.get_path("api_module", "m.py") == os.path.join(data, "temp", "m.py")
    with open(file.get_path("plugin", "again.tar.gz"), "wb") as f:
        f.write(good)
    assert file.unzip_plugin("plugin", "again.tar.gz") is True
    assert os.listdir(os.path.join(data, "plugin")) == ["demo"]
    assert file.View.approve("plugin", "demo", module=None) is None
    print("smoke ok")


if __name__ == "__main__":
    main(*sys.argv[1:])
