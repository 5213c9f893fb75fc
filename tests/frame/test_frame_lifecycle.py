"""Import lifecycle of both modules, each scenario in a fresh interpreter."""
import glob
import os
import re
import subprocess
import sys

import pytest

from frame_support import needs_build, run_snippet
from support.paths import PURELIB, built

pytestmark = needs_build

FILE_TB = "View\\\\file.py"
SCHED_TB = "View\\\\scheduler.py"
MODULES = ["file", "scheduler"]


@pytest.mark.parametrize("name", MODULES)
@pytest.mark.parametrize("again", ["del_sys_modules", "reload"])
def test_second_import_returns_first_module_without_rerunning_body(name, again):
    run = run_snippet('''
        import importlib, os, sys
        m = importlib.import_module("View.%(name)s")
        first_view, first_test = m.View, m.__test__
        m.MARKER = 42
        m.os = "replaced"
        if "%(again)s" == "reload":
            again = importlib.reload(m)
        else:
            del sys.modules["View.%(name)s"]
            again = importlib.import_module("View.%(name)s")
        out(same=again is m, registered=sys.modules["View.%(name)s"] is m,
            marker=m.MARKER, os=m.os, view_kept=m.View is first_view,
            test_kept=m.__test__ is first_test)
    ''' % {"name": name, "again": again})
    assert run.result == {"same": True, "registered": True, "marker": 42, "os": "replaced",
                          "view_kept": True, "test_kept": True}


# Imports View.<name> in the main interpreter, then in a new sub-interpreter of the given kind
# ("legacy": shares the GIL and the old extension rules; "isolated": its own GIL, 3.12+), and
# reports the error text seen there. 3.13 renamed the module and returns the error instead of
# raising it; 3.12 made isolated the default; 3.14 made isolated ones public in
# concurrent.interpreters (legacy ones are still made only through the private module).
SUB_INTERPRETER = '''
import sys
import View.%(name)s
code = "import sys; sys.path[:] = %%r; import View.%(name)s" %% (sys.path,)
if sys.version_info >= (3, 14) and "%(kind)s" == "isolated":
    from concurrent import interpreters
    sub = interpreters.create()
    try:
        sub.exec(code)
    except interpreters.ExecutionFailed as exc:
        out(text=exc.excinfo.formatted)
    else:
        out(text=None)
    sub.close()
elif sys.version_info >= (3, 13):
    import _interpreters as interpreters
    sub = interpreters.create("%(kind)s")
    failure = interpreters.run_string(sub, code)
    out(text=failure and failure.formatted)
else:
    import _xxsubinterpreters as interpreters
    if sys.version_info >= (3, 12):
        sub = interpreters.create(isolated="%(kind)s" == "isolated")
    else:
        sub = interpreters.create()
    try:
        interpreters.run_string(sub, code)
    except interpreters.RunFailedError as exc:
        out(text=str(exc))
    else:
        out(text=None)
'''
SUB_INTERPRETER_KINDS = ["legacy"] + (["isolated"] if sys.version_info >= (3, 12) else [])


@pytest.mark.parametrize("name", MODULES)
@pytest.mark.parametrize("kind", SUB_INTERPRETER_KINDS)
def test_sub_interpreter_import_fails(name, kind):
    run = run_snippet(SUB_INTERPRETER % {"name": name, "kind": kind})
    if kind == "legacy":
        # The module state is process-wide: the frame's own refusal.
        expected = ("Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.")
    else:
        # The module declares it cannot live in several interpreters: the interpreter refuses.
        expected = "module View.%s does not support loading in subinterpreters" % name
    text = run.result["text"]
    assert text is not None and re.search(r"ImportError'?>?: " + re.escape(expected), text)


@pytest.mark.parametrize("name", MODULES)
def test_exec_step_accepts_only_the_first_module_object(name):
    run = run_snippet('''
        import ctypes, types
        import View.%(name)s as m
        api = ctypes.pythonapi
        api.PyModule_GetDef.restype = ctypes.c_void_p
        api.PyModule_GetDef.argtypes = [ctypes.py_object]
        api.PyModule_ExecDef.restype = ctypes.c_int
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        definition = api.PyModule_GetDef(m)
        m.View = "kept"
        same = api.PyModule_ExecDef(m, definition)
        try:
            api.PyModule_ExecDef(types.ModuleType("View.%(name)s"), definition)
        except Exception as exc:
            out(same=same, kind=type(exc).__name__, text=str(exc), view=m.View)
    ''' % {"name": name})
    assert run.result == {
        "same": 0, "kind": "RuntimeError", "view": "kept",
        "text": "Module '%s' has already been imported. Re-initialisation is not supported."
                % name}


FAKE_FLASK = '''
import sys
jsonify = request = render_template = current_app = abort = object()
seen = []
def __getattr__(name):
    if name == "redirect":
        body = sys.modules["View.file"].__dict__
        names = ["jsonify", "request", "render_template", "redirect", "current_app"]
        seen.extend(n for n in names if n in body)
    raise AttributeError(name)
'''


def test_missing_flask_name_fails_at_line_6_and_leaves_module_importable(tmp_path):
    (tmp_path / "flask.py").write_text(FAKE_FLASK)
    run = run_snippet('''
        import importlib, sys
        try:
            import View.file
        except ImportError as exc:
            first = dict(text=str(exc), tb=entries(exc), seen=sys.modules["flask"].seen,
                         left="View.file" in sys.modules)
        with open(sys.modules["flask"].__file__, "a") as f:
            f.write("\\nredirect = object()\\n")
        del sys.modules["flask"]
        importlib.invalidate_caches()
        m = importlib.import_module("View.file")
        import flask
        out(first=first, rerun=m.redirect is flask.redirect and m.jsonify is flask.jsonify)
    ''', path=[str(tmp_path)])
    first = run.result["first"]
    assert first["text"] == "cannot import name redirect"
    assert [e for e in first["tb"] if e[1] == FILE_TB] == [["init View.file", FILE_TB, 6]]
    # the three names fetched before `redirect` are already bound, the one after is not
    assert first["seen"] == ["jsonify", "request", "render_template"]
    assert first["left"] is False
    assert run.result["rerun"] is True


@pytest.mark.parametrize("name, builtin", [
    ("file", "print"), ("file", "staticmethod"), ("scheduler", "print")])
def test_missing_cached_builtin_fails_at_line_1(name, builtin):
    run = run_snippet('''
        import builtins, importlib
        import flask, os, shutil, tarfile, View
        kept = getattr(builtins, "%(builtin)s")
        delattr(builtins, "%(builtin)s")
        try:
            importlib.import_module("View.%(name)s")
        except Exception as exc:
            setattr(builtins, "%(builtin)s", kept)
            out(kind=type(exc).__name__, text=str(exc), tb=entries(exc))
    ''' % {"name": name, "builtin": builtin})
    tb_file = FILE_TB if name == "file" else SCHED_TB
    assert run.result["kind"] == "NameError"
    assert run.result["text"] == "name '%s' is not defined" % builtin
    assert [e for e in run.result["tb"] if e[1] == tb_file] == [
        ["init View.%s" % name, tb_file, 1]]


def test_deleted_working_directory_fails_at_line_8(tmp_path):
    gone = tmp_path / "gone"
    run = run_snippet('''
        import os, flask, shutil, tarfile, View
        os.mkdir(%(gone)r)
        os.chdir(%(gone)r)
        os.rmdir(%(gone)r)
        try:
            import View.file
        except Exception as exc:
            out(is_oserror=isinstance(exc, OSError), tb=entries(exc))
    ''' % {"gone": str(gone)})
    assert run.result["is_oserror"] is True
    assert [e for e in run.result["tb"] if e[1] == FILE_TB] == [["init View.file", FILE_TB, 8]]


def test_working_directory_of_import_fixes_folders_and_namespace_order(tmp_path):
    run = run_snippet('''
        import os, flask, shutil, tarfile, builtins
        import View.file as m, View.scheduler as s
        def names(mod):
            return [k for k in vars(mod) if not k.startswith("__") or k == "__test__"]
        out(cwd=os.getcwd(), created=sorted(os.listdir(".")),
            folders=[m.UNZIP_FOLDER, m.PLUGIN_FOLDER, m.TEMP_FOLDER],
            names=names(m), sched_names=names(s),
            modules=[m.os is os, m.shutil is shutil, m.tarfile is tarfile, s.os is os],
            flask=[getattr(m, n) is getattr(flask, n) for n in
                   ("jsonify", "request", "render_template", "redirect", "current_app")]
                  + [s.jsonify is flask.jsonify, s.abort is flask.abort],
            tests=[m.__test__, s.__test__])
    ''', cwd=str(tmp_path))
    res = run.result
    cwd = res["cwd"]
    assert res["folders"] == [os.path.join(cwd, f) for f in ("uploads", "plugin", "temp")]
    assert res["created"] == []
    assert res["names"] == [
        "os", "shutil", "tarfile", "jsonify", "request", "render_template", "redirect",
        "current_app", "UNZIP_FOLDER", "PLUGIN_FOLDER", "TEMP_FOLDER", "allowed_file",
        "unzip_plugin", "get_path", "View", "__test__"]
    assert res["sched_names"] == ["jsonify", "abort", "os", "View", "__test__"]
    assert all(res["modules"]) and all(res["flask"])
    assert res["tests"] == [{}, {}]


@pytest.mark.parametrize("name", MODULES)
def test_create_step_copies_import_attributes(name):
    run = run_snippet('''
        import _imp, types
        origin = %(origin)r
        def create(**attrs):
            mod = _imp.create_dynamic(types.SimpleNamespace(name="View.%(name)s", origin=origin,
                                                            **attrs))
            return dict(name=mod.__name__, loader=repr(mod.__loader__), file=mod.__file__,
                        package=mod.__package__, path=getattr(mod, "__path__", "unset"),
                        doc=mod.__doc__)
        out(bare=create(), full=create(loader="L", parent="P", submodule_search_locations=["S"]),
            no_path=create(loader=None, parent=None, submodule_search_locations=None))
    ''' % {"name": name, "origin": built(name)})
    base = {"name": "View." + name, "file": built(name), "doc": None}
    assert run.result["bare"] == dict(base, loader="None", package=None, path="unset")
    assert run.result["full"] == dict(base, loader="'L'", package="P", path=["S"])
    assert run.result["no_path"] == dict(base, loader="None", package=None, path="unset")


def test_traceback_switch_names_implementation_position():
    run = run_snippet('''
        import View.file as m
        switch = sys.modules["_view_frame"]
        before = getattr(switch, "cline_in_traceback", "absent")
        names = []
        for value in (False, True, False):
            if value:
                switch.cline_in_traceback = True
            elif "cline_in_traceback" in vars(switch):
                switch.cline_in_traceback = False
            try:
                m.allowed_file()
            except TypeError as exc:
                names.append([e[0] for e in entries(exc) if e[1] == %r])
        out(before=before, after=switch.cline_in_traceback, names=names)
    ''' % FILE_TB)
    res = run.result
    assert res["before"] == "absent"
    assert res["after"] is False
    assert res["names"][0] == res["names"][2] == ["View.file.allowed_file"]
    assert len(res["names"][1]) == 1
    assert re.fullmatch(r"View\.file\.allowed_file \(.+:\d+\)", res["names"][1][0])


VERSION_SNIPPET = '''
import importlib.machinery, importlib.util, warnings
def show(message, category, *rest):
    out(warning=[category.__name__, str(message)])
warnings.showwarning = show
path = %r
loader = importlib.machinery.ExtensionFileLoader("View.file", path)
where = importlib.util.spec_from_file_location("View.file", path, loader=loader)
try:
    mod = importlib.util.module_from_spec(where)
    sys.modules["View.file"] = mod
    loader.exec_module(mod)
except BaseException as exc:
    out(kind=type(exc).__name__, text=str(exc), tb=entries(exc))
else:
    out(kind=None, imported=type(mod.View).__name__)
'''


def newer_interpreter():
    """(path, minor) of a CPython of the next newer minor version than the one running, as
    found on this machine (pyenv or PATH), or None. Only a newer one can load the build:
    an older interpreter refuses the module slots it does not know before the module runs."""
    major, minor = sys.version_info[:2]
    roots = [os.environ.get("PYENV_ROOT", ""), os.path.expanduser("~/.pyenv")]
    for newer in range(minor + 1, minor + 3):
        found = [os.path.join(d, "python%d.%d" % (major, newer))
                 for d in os.environ.get("PATH", "").split(os.pathsep)]
        for root in filter(None, roots):
            found += sorted(glob.glob(os.path.join(root, "versions", "%d.%d.*" % (major, newer),
                                                   "bin", "python%d.%d" % (major, newer))),
                            reverse=True)
        for path in found:
            # A pyenv shim is on PATH for every version but runs only the selected ones.
            if (os.access(path, os.X_OK) and not os.path.isdir(path) and
                    subprocess.run([path, "-c", ""], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL).returncode == 0):
                return path, newer
    return None


NEWER = newer_interpreter()


@pytest.mark.skipif(NEWER is None, reason="no newer CPython on this machine to load the build in")
@pytest.mark.parametrize("as_error", [False, True])
def test_other_interpreter_version_warns(as_error):
    """The check compares the running version with the headers the build used. Only the
    import itself is in scope on the other interpreter; calls there are not."""
    python, newer = NEWER
    mismatch = ("compile time Python version 3.%d of module 'View.file' does not match "
                "runtime version 3.%d" % (sys.version_info[1], newer))
    run = run_snippet(VERSION_SNIPPET % built("file"), python=python,
                      path=[PURELIB],
                      options=["-W", "error::RuntimeWarning"] if as_error else [])
    if run.results and "undefined symbol" in run.results[0].get("text", ""):
        pytest.skip("the other interpreter cannot link this build: %s" % run.results[0]["text"])
    if as_error:
        assert run.result["kind"] == "RuntimeWarning"
        assert run.result["text"] == mismatch
        assert not [e for e in run.result["tb"] if e[0].startswith("init ")]
    else:
        # What follows the warning runs this version's code on another version's interpreter,
        # which only 3.9 and 3.10 share closely enough to finish the import.
        assert run.results[0] == {"warning": ["RuntimeWarning", mismatch]}
        if sys.version_info[:2] == (3, 9):
            assert run.result == {"kind": None, "imported": "type"}


def test_running_interpreter_does_not_warn():
    run = run_snippet(VERSION_SNIPPET % built("file"), path=[PURELIB],
                      options=["-W", "error::RuntimeWarning"])
    assert run.result == {"kind": None, "imported": "type"}


def test_functions_of_a_failed_import_read_their_own_namespace(tmp_path):
    run = run_snippet('''
        import builtins, os
        import flask, shutil, tarfile, View
        kept = builtins.staticmethod
        def refuse(function):
            raise RuntimeError("no static methods")
        builtins.staticmethod = refuse  # the body fails at line 55, after get_path exists
        try:
            import View.file
        except RuntimeError as exc:
            tb = exc.__traceback__
            while tb.tb_frame.f_code.co_name != "init View.file":
                tb = tb.tb_next
            old = tb.tb_frame.f_globals
        builtins.staticmethod = kept
        get_path = old["get_path"]
        def attempt():
            try:
                return get_path("api_module", "x.py")
            except NameError as exc:
                return [str(exc), entries(exc)[-1]]
        res = {"before": attempt()}
        del old["os"]
        res["failed"] = attempt()
        import View.file as live
        res["live"] = live.get_path("api_module", "y.py")
        res["after"] = attempt()
        old["os"] = os
        res["again"] = attempt()
        res["own"] = [get_path.__globals__ is old, live.get_path.__globals__ is vars(live)]
        out(**res)
    ''', cwd=str(tmp_path))
    temp = os.path.join(str(tmp_path), "temp")
    failed = ["name 'os' is not defined", ["View.file.get_path", FILE_TB, 48]]
    assert run.result == {"before": os.path.join(temp, "x.py"), "failed": failed,
                          "live": os.path.join(temp, "y.py"), "after": failed,
                          "again": os.path.join(temp, "x.py"), "own": [True, True]}


@pytest.mark.parametrize("name, module, line", [
    ("file", "os", 2), ("file", "shutil", 3), ("file", "tarfile", 4), ("scheduler", "os", 3)])
def test_none_in_sys_modules_halts_the_import_at_its_line(name, module, line):
    run = run_snippet('''
        import importlib
        import flask, os, shutil, tarfile, View
        sys.modules[%(module)r] = None
        try:
            importlib.import_module("View.%(name)s")
        except ImportError as exc:
            out(kind=type(exc).__name__, text=str(exc), name=exc.name, tb=entries(exc))
    ''' % {"name": name, "module": module})
    tb_file = FILE_TB if name == "file" else SCHED_TB
    assert run.result["kind"] == "ModuleNotFoundError"
    assert run.result["text"] == "import of %s halted; None in sys.modules" % module
    assert run.result["name"] == module
    assert [e for e in run.result["tb"] if e[1] == tb_file] == [
        ["init View.%s" % name, tb_file, line]]


@pytest.mark.parametrize("name", ["file", "scheduler"])
def test_from_import_falls_back_to_sys_modules_for_any_object(name):
    run = run_snippet('''
        import types
        import os, shutil, tarfile
        import flask
        names = ["jsonify", "request", "render_template", "redirect", "current_app", "abort"]
        stand_in = types.SimpleNamespace(__name__="flask", **{n: getattr(flask, n) for n in names})
        del stand_in.jsonify  # found only as the loaded "flask.jsonify"
        marker = object()
        sys.modules["flask"] = stand_in
        sys.modules["flask.jsonify"] = marker
        import View.%s as m
        out(found=m.jsonify is marker)
    ''' % name)
    assert run.result == {"found": True}


def test_traceback_switch_never_shows_another_line(tmp_path):
    run = run_snippet('''
        import flask
        import View.file as m
        sys.modules["_view_frame"].cline_in_traceback = True
        m.PLUGIN_FOLDER = m.TEMP_FOLDER = %r  # missing: os.listdir fails
        lines = []
        with flask.Flask("probe").test_request_context("/"):
            for kind in ("api_module", "plugin", "api_module"):
                try:
                    m.View.index(kind)
                except FileNotFoundError as exc:
                    lines += [e[2] for e in entries(exc) if e[0].startswith("View.file.View.index")]
        out(lines=lines)
    ''' % str(tmp_path / "missing"))
    assert run.result == {"lines": [65, 59, 65]}


# Rebinds the global `os` of View.file in every way Python offers and reads it back through
# get_path each time. With "full", every dict watcher slot of the interpreter is taken before
# the import (3.12+; earlier versions have no watchers and cache by the dict's version tag), so
# the module has to work without a lookup cache.
REBINDING = '''
import ctypes, os, types
import flask, shutil, tarfile
if %(full)r and sys.version_info >= (3, 12):
    Callback = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p,
                                ctypes.c_void_p)
    callback = Callback(lambda *args: 0)
    add_watcher = ctypes.pythonapi.PyDict_AddWatcher
    add_watcher.argtypes, add_watcher.restype = [Callback], ctypes.c_int
    while True:
        try:
            add_watcher(callback)
        except (ValueError, RuntimeError):  # no more watcher slots
            break
import View.file as m

class Marker(Exception):
    pass

def refusing(tag):
    def fail(*args):
        raise Marker(tag)
    return types.SimpleNamespace(path=types.SimpleNamespace(join=fail), getcwd=fail)

get_path = m.get_path

def read():
    try:
        return os.path.basename(get_path("api_module", "x.py"))
    except Marker as exc:
        return str(exc)
    except NameError as exc:
        return "NameError"

seen = [read(), read()]
m.os = refusing("attribute"); seen.append(read())
m.os = os; seen.append(read())
vars(m)["os"] = refusing("dict"); seen.append(read())
vars(m).update(os=os); seen.append(read())
del m.os; seen.append(read())
vars(m).setdefault("os", refusing("setdefault")); seen.append(read())
vars(m).pop("os"); vars(m)["os"] = os; seen.append(read())
saved = dict(vars(m)); vars(m).clear(); seen.append(read())
vars(m).update(saved); seen.append(read())
out(seen=seen)
'''


@pytest.mark.parametrize("full", [False, True], ids=["watchers", "no-watcher-free"])
def test_rebinding_a_global_is_seen_at_once(full, tmp_path):
    run = run_snippet(REBINDING % {"full": full}, cwd=str(tmp_path))
    assert run.result == {"seen": ["x.py", "x.py", "attribute", "x.py", "dict", "x.py",
                                   "NameError", "setdefault", "x.py", "NameError", "x.py"]}
