"""A call whose own collaborators rewrite the namespace or re-enter the module: every
later lookup in that call sees the new namespace, and per-call state (bound
arguments, the line of the failing statement) is not shared between calls."""
import types

import pytest

from support.tracebacks import native_entries


def recording_os(log, tag, during_getcwd=lambda: None, exists=lambda path: True):
    def getcwd():
        log.append((tag, "getcwd"))
        during_getcwd()
        return "/cwd"

    def join(*parts):
        log.append((tag, "join"))
        return "/".join(parts)

    def exists_(path):
        log.append((tag, "exists"))
        return exists(path)

    return types.SimpleNamespace(sep="/", getcwd=getcwd, mkdir=len,
                                 path=types.SimpleNamespace(join=join, exists=exists_))


def test_global_replaced_mid_call_is_seen_by_later_lookups(file_mod, monkeypatch):
    log = []
    second = recording_os(log, "second")
    # Only the module holds the first stand-in: replacing it frees it while the call runs.
    monkeypatch.setattr(file_mod, "os", recording_os(log, "first", lambda: setattr(file_mod, "os", second)))
    assert file_mod.get_path("plugin", "x.tar.gz") == "/cwd/plugin/x.tar.gz"
    assert log == [("first", "getcwd"), ("first", "join"), ("second", "exists"), ("second", "join")]


@pytest.mark.parametrize("module_name, call, name, line", [
    ("View.file", lambda m: m.get_path("plugin", "x.tar.gz"), "os", ("View.file.get_path", 49)),
    ("View.scheduler", lambda m: m.View().get(), "jsonify", ("View.scheduler.View.get", 9)),
])
def test_global_deleted_mid_call_raises_name_error_at_next_use(module_name, call, name, line,
                                                               file_mod, sched_mod, monkeypatch):
    module = file_mod if module_name == "View.file" else sched_mod
    monkeypatch.setattr(module, name, getattr(module, name))  # restored after the deletion
    monkeypatch.setattr(module, "os", recording_os([], "os", lambda: delattr(module, name)))
    with pytest.raises(NameError, match="^name '%s' is not defined$" % name) as info:
        call(module)
    assert native_entries(info.value) == [line]


@pytest.mark.parametrize("inner_name", ["inner.py", "../inner.py"])
@pytest.mark.parametrize("outer_fails", [False, True])
def test_reentrant_call_keeps_outer_arguments_and_lines(inner_name, outer_fails, file_mod, monkeypatch):
    inner = []

    def reenter():
        if not inner:
            inner.append("entered")
            try:
                inner.append(file_mod.get_path("api_module", inner_name))
            except ValueError as exc:
                inner.append(exc)

    def exists(path):
        if outer_fails and path.endswith("/plugin"):
            raise OSError("outer exists")
        return True

    monkeypatch.setattr(file_mod, "os", recording_os([], "os", reenter, exists))
    if outer_fails:  # the inner call ran (maybe failed) in between; the outer keeps its own line
        with pytest.raises(OSError, match="outer exists") as info:
            file_mod.get_path("plugin", "outer.tar.gz")
        assert native_entries(info.value) == [("View.file.get_path", 49)]
    else:
        assert file_mod.get_path("plugin", "outer.tar.gz") == "/cwd/plugin/outer.tar.gz"
    if inner_name.startswith(".."):
        assert isinstance(inner[1], ValueError) and inner_name in str(inner[1])
    else:
        assert inner[1] == "/cwd/temp/inner.py"
