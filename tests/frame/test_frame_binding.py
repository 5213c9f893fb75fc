"""Argument binding of the module functions: messages and traceback entries."""
import ctypes
import sys

import pytest

from frame_support import needs_build
from support.tracebacks import entries

pytestmark = needs_build

HERE = sys._getframe().f_code.co_filename
# line of each function's definition: where a binding failure is reported
LINES = {"allowed_file": 13, "unzip_plugin": 22, "get_path": 41, "View.index": 55,
         "View.remove": 81, "View.approve": 92, "get": 7, "bound get": 7}


def count(name, kind, number, given):
    return "%s() takes %s %d positional argument%s (%d given)" % (
        name, kind, number, "" if number == 1 else "s", given)


def multiple(name, keyword):
    return "%s() got multiple values for keyword argument '%s'" % (name, keyword)


def unexpected(name, keyword):
    return "%s() got an unexpected keyword argument '%s'" % (name, keyword)


def target(vfile, vsched, name):
    if name == "get":
        return vsched.View.get
    if name == "bound get":
        return vsched.View().get
    obj = vfile
    for part in name.split("."):
        obj = getattr(obj, part)
    return obj


def entry_for(name):
    if name.endswith("get"):
        return ("View.scheduler.View.get", "View\\\\scheduler.py", 7)
    return ("View.file." + name, "View\\\\file.py", LINES[name])


def joined(*parts):
    """An equal str that is not the interned parameter name."""
    return "".join(parts)


BINDING_FAILURES = [
    ("allowed_file", (), {}, count("allowed_file", "exactly", 2, 0)),
    ("allowed_file", ("a",), {"x": 1}, count("allowed_file", "exactly", 2, 1)),
    ("allowed_file", ("a", "b"), {"t": 1}, multiple("allowed_file", "t")),
    ("unzip_plugin", ("a",), {}, count("unzip_plugin", "exactly", 2, 1)),
    ("unzip_plugin", (), {"t": "a", "filename": "b", "zz": 1}, unexpected("unzip_plugin", "zz")),
    ("get_path", (), {}, count("get_path", "at least", 1, 0)),
    ("get_path", (1, 2, 3), {}, count("get_path", "at most", 2, 3)),
    ("get_path", (1, 2, 3), {"t": 1}, count("get_path", "at most", 2, 3)),
    ("get_path", ("a",), {"t": "b"}, multiple("get_path", "t")),
    ("get_path", ("a", "b"), {"filename": "c"}, multiple("get_path", "filename")),
    ("get_path", ("a",), {"nope": 1}, unexpected("get_path", "nope")),
    ("View.index", (), {}, count("index", "exactly", 1, 0)),
    ("View.index", ("a", "b"), {}, count("index", "exactly", 1, 2)),
    ("View.index", ("a", "b"), {"t": 1}, count("index", "exactly", 1, 2)),
    ("View.index", (), {"x": 1}, count("index", "exactly", 1, 0)),
    ("View.index", ("a",), {"t": "a"}, multiple("index", "t")),
    ("View.index", ("a",), {"x": 1}, unexpected("index", "x")),
    ("View.index", (), {"t": "a", "x": 1}, unexpected("index", "x")),
    ("View.remove", ("a",), {}, count("remove", "exactly", 2, 1)),
    ("View.remove", ("a", "b", "c"), {}, count("remove", "exactly", 2, 3)),
    ("View.remove", ("a", "b", "c"), {"o": 1}, count("remove", "exactly", 2, 3)),
    ("View.remove", (), {"o": "b"}, count("remove", "exactly", 2, 0)),
    ("View.remove", (), {"t": "a"}, count("remove", "exactly", 2, 1)),
    ("View.remove", ("a",), {"t": 1}, count("remove", "exactly", 2, 1)),
    ("View.remove", ("a", "b"), {"o": 1}, multiple("remove", "o")),
    ("View.remove", (), {"t": "a", "o": "b", "x": 1}, unexpected("remove", "x")),
    ("View.approve", (), {}, count("approve", "at least", 2, 0)),
    ("View.approve", ("a",), {}, count("approve", "at least", 2, 1)),
    ("View.approve", (1, 2, 3, 4), {}, count("approve", "at most", 3, 4)),
    ("View.approve", (1, 2, 3, 4), {"t": 1}, count("approve", "at most", 3, 4)),
    ("View.approve", (), {"t": 1}, count("approve", "at least", 2, 1)),
    ("View.approve", (), {"module": 1}, count("approve", "at least", 2, 0)),
    ("View.approve", (1,), {"module": 1}, count("approve", "at least", 2, 1)),
    ("View.approve", (1, 2, 3), {"module": 4}, multiple("approve", "module")),
    ("View.approve", (1, 2, 3), {joined("mod", "ule"): 4}, multiple("approve", "module")),
    ("View.approve", (1, 2), {"t": 3}, multiple("approve", "t")),
    ("View.approve", (1,), {"o": 2, "t": 3}, multiple("approve", "t")),
    ("View.approve", (1, 2), {"x": 3}, unexpected("approve", "x")),
    ("View.approve", (1,), {"o": 2, "module": 3, "zz": 4}, unexpected("approve", "zz")),
    ("get", (), {}, count("get", "exactly", 1, 0)),
    ("get", (1, 2), {}, count("get", "exactly", 1, 2)),
    ("get", (), {"x": 1}, count("get", "exactly", 1, 0)),
    ("get", (1,), {"self": 2}, multiple("get", "self")),
    ("get", (1,), {"x": 2}, unexpected("get", "x")),
    ("bound get", (1,), {}, count("get", "exactly", 1, 2)),
    ("bound get", (), {"self": 1}, multiple("get", "self")),
]


@pytest.mark.parametrize("name, args, kwargs, message", BINDING_FAILURES)
def test_binding_failure_adds_one_entry_at_definition_line(vfile, vsched, name, args, kwargs,
                                                           message):
    func = target(vfile, vsched, name)
    with pytest.raises(TypeError) as info:
        func(*args, **kwargs)
    assert str(info.value) == message
    assert entries(info.value, skip_file=HERE) == [entry_for(name)]


class StrSub(str):
    pass


@pytest.mark.parametrize("name, args, kwargs, message", [
    ("View.upload", (1,), {}, "upload() takes no arguments (1 given)"),
    ("View.upload", (1, 2), {}, "upload() takes no arguments (2 given)"),
    ("View.upload", (), {"x": 1}, "upload() takes no keyword arguments"),
    ("View.upload", (1,), {"x": 1}, "upload() takes no keyword arguments"),
    ("View.index", (None,), {}, "Argument 't' has incorrect type (expected str, got NoneType)"),
    ("View.index", (StrSub("plugin"),), {},
     "Argument 't' has incorrect type (expected str, got StrSub)"),
    ("View.index", (b"plugin",), {}, "Argument 't' has incorrect type (expected str, got bytes)"),
    ("View.index", (), {"t": 1}, "Argument 't' has incorrect type (expected str, got int)"),
])
def test_failures_without_entry(vfile, vsched, name, args, kwargs, message):
    func = target(vfile, vsched, name)
    with pytest.raises(TypeError) as info:
        func(*args, **kwargs)
    assert str(info.value) == message
    assert entries(info.value, skip_file=HERE) == []


def test_entry_frame_uses_module_globals(vfile):
    with pytest.raises(TypeError) as info:
        vfile.View.remove()
    tb = info.value.__traceback__
    while tb.tb_next is not None:
        tb = tb.tb_next
    assert tb.tb_frame.f_globals is vars(vfile)


@pytest.mark.parametrize("args, kwargs", [
    ((1, 2), {}), ((1, 2, 3), {}), ((), {"t": 1, "o": 2, "module": 3}), ((1,), {"o": 2}),
    ((1, 2), {joined("mod", "ule"): 3}), ((), {"module": 3, "o": 2, "t": 1}),
])
def test_successful_bindings(vfile, args, kwargs):
    assert vfile.View.approve(*args, **kwargs) is None


@pytest.mark.parametrize("name", ["View.approve", "get_path", "View.index"])
def test_non_str_keyword_through_mapping(vfile, vsched, name):
    """CPython may refuse non-str keys of ** before the call; either way the wording holds."""
    with pytest.raises(TypeError) as info:
        target(vfile, vsched, name)("a", **{1: 2})
    assert str(info.value).endswith("keywords must be strings")


def vectorcall(func, args, kwnames, kwvalues):
    """Calls `func` through its vectorcall slot, so the frame sees the keyword names as given."""
    offset = ctypes.c_ssize_t.from_address(id(type(func)) + 7 * ctypes.sizeof(ctypes.c_void_p))
    if offset.value <= 0:
        pytest.skip("function type without vectorcall slot")
    slot = ctypes.c_void_p.from_address(id(func) + offset.value).value
    signature = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_void_p,
                                  ctypes.c_size_t, ctypes.py_object)
    items = list(args) + list(kwvalues)
    stack = (ctypes.py_object * max(1, len(items)))(*items)
    return signature(slot)(func, ctypes.addressof(stack), len(args), tuple(kwnames))


@pytest.mark.parametrize("name, args, kwnames, message, entry", [
    ("View.approve", (1, 2), (1,), "approve() keywords must be strings", True),
    ("View.approve", (), ("t", "o", 1), "approve() keywords must be strings", True),
    ("View.index", ("a",), (1,), "index() keywords must be strings", True),
    ("View.upload", (), (1,), "upload() takes no keyword arguments", False),
    # Repeated keyword names, which only a caller in C can pass.
    ("View.approve", (), ("t", "t", "o"), multiple("approve", "t"), True),
    ("View.approve", (), ("t", "o", joined("t")), multiple("approve", "t"), True),
    ("View.approve", (1,), ("o", "module", "module"), multiple("approve", "module"), True),
    ("get", (), ("self", "self"), multiple("get", "self"), True),
])
def test_keywords_only_c_can_pass(vfile, vsched, name, args, kwnames, message, entry):
    func = target(vfile, vsched, name)
    with pytest.raises(TypeError) as info:
        vectorcall(func, args, kwnames, range(len(kwnames)))
    assert str(info.value) == message
    assert entries(info.value, skip_file=HERE) == ([entry_for(name)] if entry else [])


def test_vectorcall_matches_equal_keyword_names(vfile):
    names = (joined("mo", "dule"), joined("o"), "t")
    assert vectorcall(vfile.View.approve, (), names, (3, 2, 1)) is None


# One keyword-names tuple passed again and again, as a call site does, with calls of other
# shapes in between: each call binds as if it were the first.
FILENAME = ("filename",)
BOTH = ("t", "filename")
REPEATED_NAMES = [
    (("plugin",), FILENAME, ("a.tar.gz",), True),
    (("plugin",), FILENAME, ("a.exe",), False),
    (("api_module",), FILENAME, ("a.py",), True),
    ((), FILENAME, ("a.tar.gz",), count("allowed_file", "exactly", 2, 0)),
    (("plugin",), FILENAME, ("a.tar.gz",), True),
    (("plugin", "x"), FILENAME, ("a.tar.gz",), multiple("allowed_file", "filename")),
    ((), BOTH, ("plugin", "a.tar.gz"), True),
    (("plugin",), FILENAME, ("a.py",), False),
    ((), BOTH, ("api_module", "a.tar.gz"), False),
    (("plugin",), BOTH, ("plugin", "a.tar.gz"), multiple("allowed_file", "t")),
    ((), (joined("t"), "filename"), ("api_module", "a.py"), True),
    ((), BOTH, ("api_module", "a.py"), True),
]


def test_repeated_keyword_names_bind_each_call_afresh(vfile):
    for args, kwnames, values, expected in REPEATED_NAMES:
        if isinstance(expected, bool):
            assert vectorcall(vfile.allowed_file, args, kwnames, values) is expected
        else:
            with pytest.raises(TypeError) as info:
                vectorcall(vfile.allowed_file, args, kwnames, values)
            assert str(info.value) == expected


@pytest.mark.parametrize("first, second", [
    ("f(t=1, o=2)", "f(1, 2, o=3)"), ("f(1, o=2)", "f(1, 2, o=3)"), ("f(1, o=2)", "f(o=2)"),
])
def test_call_sites_sharing_keyword_names(vfile, first, second):
    """One function's code holds one ('o',) for all its call sites, whatever they pass by position."""
    code = compile("def run(f):\n    %s\n    %s\n" % (first, second), "<sites>", "exec")
    namespace = {}
    exec(code, namespace)
    with pytest.raises(TypeError, match="approve()"):
        namespace["run"](vfile.View.approve)
    namespace["run"].__code__ = compile("def run(f):\n    %s\n" % first, "<s>", "exec").co_consts[0]
    assert namespace["run"](vfile.View.approve) is None


def test_keyword_names_held_only_until_the_next_names(vfile):
    names = tuple(["o", "module"])
    before = sys.getrefcount(names)
    vectorcall(vfile.View.approve, (1,), names, (2, 3))
    assert sys.getrefcount(names) == before + 1
    vectorcall(vfile.View.approve, (), ("t", "o"), (1, 2))
    assert sys.getrefcount(names) == before
