"""Module attributes, the View classes and the shared function type, in process."""
import asyncio
import builtins
import copy
import dis
import gc
import inspect
import pickle
import sys
import types
import warnings
import weakref

import pytest

from frame_support import needs_build

pytestmark = needs_build

DOC_LINES = ["", "    指定文件解压到插件目录", "    :param t:", "    :type t:",
             "    :param filename: 指定压缩文件", "    :type filename: str",
             "    :return: 返回成功（True）或报错", "    :rtype: bool | Exception", "    "]
UNZIP_DOC = "\n".join(DOC_LINES)

# qualname: (argcount, local names, first line, defaults, annotations, doc)
FILE_FUNCS = {
    "allowed_file": (2, ("t", "filename", "extensions"), 13, None, {}, None),
    "unzip_plugin": (2, ("t", "filename", "tar_ref", "ex"), 22, None, {}, UNZIP_DOC),
    "get_path": (2, ("t", "filename", "p", "folder"), 41, (None,), {}, None),
    "View.index": (1, ("t", "folder", "mods", "keys", "m", "n"), 55, None, {"t": "str"}, None),
    "View.upload": (0, ("file", "t"), 68, None, {}, None),
    "View.remove": (2, ("t", "o", "path"), 81, None, {}, None),
    "View.approve": (3, ("t", "o", "module"), 92, (None,), {}, None),
}
ALL_FUNCS = [("View.file", q) for q in FILE_FUNCS] + [("View.scheduler", "View.get")]


def lookup(module, qualname):
    obj = sys.modules[module]
    for part in qualname.split("."):
        obj = getattr(obj, part)
    return obj


@pytest.fixture
def func(vfile, vsched, request):
    return lookup(*request.param)


def expected_row(module, qualname):
    if module == "View.scheduler":
        return (1, ("self",), 7, None, {}, None)
    return FILE_FUNCS[qualname]


# Stack size of the functions' code objects. Up to 3.10 the bytecode is empty; from 3.11 the
# interpreter would crash running empty bytecode, so it is a bare `raise` (RESUME 0;
# RAISE_VARARGS 0, with the inline caches of the release), which needs no stack (3.13 and later
# report at least 1).
STACK_SIZE = 0 if sys.version_info < (3, 13) else 1


def check_body(code, line):
    if sys.version_info < (3, 11):
        assert code.co_code == b""
        return
    shown = [(i.opname, i.arg) for i in dis.get_instructions(code)]
    assert shown == [("RESUME", 0), ("RAISE_VARARGS", 0)]
    # Every code unit, caches included, is on the definition line, without columns.
    assert list(code.co_lines()) == [(0, len(code.co_code), line)]
    assert set(code.co_positions()) == {(line, line, None, None)}
    assert len(list(code.co_positions())) == len(code.co_code) // 2


@pytest.mark.parametrize("func", ALL_FUNCS, indirect=True, ids=lambda p: p[1])
def test_function_attributes_and_code(func):
    module = func.__module__
    qualname = func.__qualname__
    argcount, varnames, line, defaults, annotations, doc = expected_row(module, qualname)
    name = qualname.rpartition(".")[2]
    assert (func.__name__, func.func_name) == (name, name)
    assert (func.__doc__, func.func_doc) == (doc, doc)
    assert func.__defaults__ == func.func_defaults == defaults
    assert func.__kwdefaults__ is None
    assert func.__annotations__ == annotations
    assert func.__annotations__ is func.__annotations__
    assert func.__globals__ is func.func_globals is vars(sys.modules[module])
    assert func.__closure__ is func.func_closure is None
    assert func._is_coroutine is False and not inspect.iscoroutinefunction(func)
    if sys.version_info < (3, 14):  # deprecated from 3.14; it reads _is_coroutine
        assert not asyncio.iscoroutinefunction(func)
    code = func.__code__
    assert code is func.func_code
    source = "View\\" + module.split(".")[1] + ".py"
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (argcount, 0, 0)
    assert (code.co_nlocals, code.co_varnames) == (len(varnames), varnames)
    assert (code.co_flags, code.co_stacksize) == (3, STACK_SIZE)
    check_body(code, line)
    assert (code.co_consts, code.co_names, code.co_freevars, code.co_cellvars) == ((),) * 4
    assert (code.co_filename, code.co_name, code.co_firstlineno) == (source, name, line)


def test_unzip_plugin_doc_size(vfile):
    doc = vfile.unzip_plugin.__doc__
    assert (len(doc), len(doc.encode("utf-8"))) == (156, 208)
    assert "\uff08True\uff09" in doc


@pytest.mark.parametrize("name", ["file", "scheduler"])
def test_module_attributes(vfile, vsched, name):
    mod = sys.modules["View." + name]
    assert mod.__name__ == "View." + name
    assert mod.__doc__ is None
    assert mod.__package__ == "View"
    assert mod.__loader__ is mod.__spec__.loader
    assert mod.__file__ == mod.__spec__.origin
    assert not hasattr(mod, "__path__")
    assert mod.__builtins__ is builtins


@pytest.mark.parametrize("name, methods", [
    ("file", ["index", "upload", "remove", "approve"]), ("scheduler", ["get"])])
def test_view_class(vfile, vsched, name, methods):
    cls = sys.modules["View." + name].View
    assert cls.__bases__ == (object,) and type(cls) is type
    assert (cls.__module__, cls.__qualname__, cls.__name__) == ("View." + name, "View", "View")
    assert cls.__doc__ is None
    own = [k for k in vars(cls) if k not in ("__module__", "__dict__", "__weakref__", "__doc__")]
    assert own == methods
    for method in methods:
        entry = vars(cls)[method]
        if name == "file":
            assert type(entry) is staticmethod
            assert getattr(cls, method) is getattr(cls(), method) is entry.__func__
        else:
            bound = getattr(cls(), method)
            assert getattr(cls, method) is entry
            assert type(bound) is types.MethodType and bound.__func__ is entry


def test_function_type_is_shared_and_shaped(vfile, vsched):
    ftype = type(vfile.allowed_file)
    assert ftype is sys.modules["_view_frame_1_0"].view_function
    assert ftype is type(vsched.View.get) is type(vfile.View.upload)
    assert ftype.__name__ == "view_function"
    for bit in (10, 11, 14, 17):  # base type, vectorcall, GC, method descriptor
        assert ftype.__flags__ & (1 << bit)
    with pytest.raises(TypeError):
        ftype()

    class Sub(ftype):
        pass
    assert issubclass(Sub, ftype)


@pytest.mark.parametrize("func", ALL_FUNCS, indirect=True, ids=lambda p: p[1])
def test_identity_repr_and_pickling_by_reference(func):
    other = sys.modules["View.file"].View.approve
    assert func == func and (func != other) == (func is not other)
    assert hash(func) == object.__hash__(func)
    assert weakref.ref(func)() is func and gc.is_tracked(func)
    text = repr(func)
    prefix = "<view_function %s at 0x" % func.__qualname__
    assert text.startswith(prefix) and text.endswith(">")
    assert int(text[len(prefix):-1], 16) == id(func)
    assert func.__reduce__() == func.__reduce__(1, 2, 3) == func.__qualname__
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(func, protocol)) is func
    assert copy.copy(func) is func and copy.deepcopy(func) is func


@pytest.fixture
def restore(vfile):
    """Puts back every attribute a test changes on the shared function objects."""
    saved = []

    def keep(func, *names):
        saved.extend((func, name, getattr(func, name)) for name in names)
    yield keep
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for func, name, value in reversed(saved):
            setattr(func, name, value)


DELETE = object()


def change(func, attr, value):
    if value is DELETE:
        delattr(func, attr)
    else:
        setattr(func, attr, value)


@pytest.mark.parametrize("attr, value, message", [
    ("__name__", 1, "__name__ must be set to a string object"),
    ("func_name", None, "__name__ must be set to a string object"),
    ("__name__", DELETE, "__name__ must be set to a string object"),
    ("__qualname__", b"x", "__qualname__ must be set to a string object"),
    ("__qualname__", DELETE, "__qualname__ must be set to a string object"),
    ("__dict__", [], "setting function's dictionary to a non-dict"),
    ("func_dict", None, "setting function's dictionary to a non-dict"),
    ("__dict__", DELETE, "function's dictionary may not be deleted"),
    ("__defaults__", [None], "__defaults__ must be set to a tuple object"),
    ("func_defaults", {}, "__defaults__ must be set to a tuple object"),
    ("__kwdefaults__", (), "__kwdefaults__ must be set to a dict object"),
    ("__annotations__", (), "__annotations__ must be set to a dict object"),
])
def test_refused_attribute_changes(vfile, attr, value, message):
    func = vfile.get_path
    before = getattr(func, attr)
    with pytest.raises(TypeError) as info:
        change(func, attr, value)
    assert str(info.value) == message
    assert getattr(func, attr) == before


@pytest.mark.parametrize("attr", [
    "__globals__", "func_globals", "__closure__", "func_closure", "__code__", "func_code",
    "_is_coroutine"])
def test_read_only_attributes(vfile, attr):
    func = vfile.allowed_file
    before = getattr(func, attr)
    with pytest.raises(AttributeError):
        setattr(func, attr, None)
    with pytest.raises(AttributeError):
        delattr(func, attr)
    assert getattr(func, attr) is before


@pytest.mark.parametrize("attr, value, expected", [
    ("__name__", "renamed", "renamed"), ("func_name", "renamed", "renamed"),
    ("__qualname__", "Q.renamed", "Q.renamed"), ("__doc__", 12, 12), ("func_doc", "x", "x"),
    ("__module__", ["any"], ["any"]), ("__doc__", DELETE, None), ("func_doc", DELETE, None),
    ("__module__", DELETE, None)])
def test_accepted_attribute_changes(vfile, restore, attr, value, expected):
    func = vfile.unzip_plugin
    restore(func, attr)
    change(func, attr, value)
    assert getattr(func, attr) == expected


def test_instance_dict(vfile, restore):
    func = vfile.allowed_file
    restore(func, "__dict__")
    first = func.__dict__
    assert first == {} and func.__dict__ is first
    func.mark = 5
    assert func.__dict__ == {"mark": 5} and func.func_dict is first
    replacement = {"other": 1}
    func.__dict__ = replacement
    assert func.other == 1 and func.__dict__ is replacement and not hasattr(func, "mark")


@pytest.mark.parametrize("attr, value", [
    ("__defaults__", ("changed",)), ("__defaults__", None), ("func_defaults", ()),
    ("__defaults__", DELETE), ("func_defaults", DELETE),
    ("__kwdefaults__", {"filename": 1}), ("__kwdefaults__", None), ("__kwdefaults__", DELETE)])
def test_defaults_writes_warn_but_do_not_change_binding(vfile, restore, tmp_path, monkeypatch,
                                                        attr, value):
    func = vfile.get_path
    restore(func, "__defaults__", "__kwdefaults__")
    with pytest.warns(RuntimeWarning) as record:
        change(func, attr, value)
    assert len(record) == 1 and "defaults" in str(record[0].message).lower()
    assert getattr(func, attr) == (None if value is DELETE else value)
    monkeypatch.chdir(tmp_path)
    assert func("api_module") == str(tmp_path / "temp")


def test_annotations_rules(vfile, restore):
    func = vfile.View.index
    restore(func, "__annotations__")
    first = func.__annotations__
    del func.__annotations__
    assert func.__annotations__ == {} and func.__annotations__ is not first
    func.__annotations__ = {"x": int}
    assert func.__annotations__ == {"x": int}
    func.__annotations__ = None
    assert func.__annotations__ == {}


RUN_WAYS = ["exec", "eval", "exec-module-globals", "call-empty-globals",
            "call-module-globals", "call-none", "call-while-handling"]


@pytest.mark.parametrize("module, qualname", ALL_FUNCS, ids=lambda p: p)
def test_running_code_objects_raises_and_never_crashes(module, qualname):
    """The code objects are only shown, yet Python code can run them: with exec and eval (no
    arguments) and as the code of a new plain function given every argument, with empty or
    the module's own globals. Each must raise (3.9 and 3.10: SystemError for the empty
    bytecode; 3.11+: the bare raise's RuntimeError, or the exception being handled) or fail
    the argument check, in a fresh interpreter that must survive."""
    from frame_support import run_snippet
    run = run_snippet('''
        import sys, types, View.file, View.scheduler
        f = sys.modules[%r]
        for part in %r.split("."):
            f = getattr(f, part)
        code, count = f.__code__, f.__code__.co_argcount
        ways = {
            "exec": lambda: exec(code, {}),
            "eval": lambda: eval(code, {}),
            "exec-module-globals": lambda: exec(code, dict(f.__globals__)),
            "call-empty-globals": lambda: types.FunctionType(code, {})(*range(count)),
            "call-module-globals":
                lambda: types.FunctionType(code, dict(f.__globals__))(*range(count)),
            "call-none": lambda: types.FunctionType(code, f.__globals__)(*[None] * count),
        }
        def while_handling():
            try:
                raise KeyError("handled")
            except KeyError:
                types.FunctionType(code, {})(*range(count))
        ways["call-while-handling"] = while_handling
        seen = {}
        for how, run in ways.items():
            try:
                run()
            except BaseException as exc:
                seen[how] = type(exc).__name__
            else:
                seen[how] = None
        out(seen=seen)
    ''' % (module, qualname))
    assert run.rc == 0, run.stderr
    raised = "SystemError" if sys.version_info < (3, 11) else "RuntimeError"
    takes_arguments = qualname != "View.upload"
    expected = {}
    for how in RUN_WAYS:
        if how.startswith(("exec", "eval")) and takes_arguments:
            expected[how] = "TypeError"  # missing arguments, before any bytecode runs
        elif how == "call-while-handling" and sys.version_info >= (3, 11):
            expected[how] = "KeyError"  # a bare raise raises the exception being handled
        else:
            expected[how] = raised
    assert run.result["seen"] == expected
