"""View.scheduler.View.get: prints the working directory, answers a fixed object."""
import builtins
import sys

import pytest

from support.tracebacks import native_entries

from .helpers import LogStream, Spy, is_native, recorder


@pytest.mark.parametrize("call", ["instance", "class-with-any-object", "keyword"])
def test_get_prints_cwd_and_answers(sched, app, tmp_path, monkeypatch, capsys, call):
    monkeypatch.chdir(tmp_path)
    with app.app_context():
        if call == "instance":
            answer = sched.View().get()
        elif call == "class-with-any-object":
            answer = sched.View.get(object())
        else:
            answer = sched.View.get(self=None)
    assert answer.get_json() == {"asdfsd": "dfdf"}
    assert capsys.readouterr().out == str(tmp_path) + "\n"


def test_get_order_and_import_time_print(sched, monkeypatch):
    log, replaced = [], []
    monkeypatch.setattr(builtins, "print", recorder(replaced, "print"))
    monkeypatch.setattr(sys, "stdout", LogStream(log))
    monkeypatch.setattr(sched, "os", Spy(log, "os", getcwd=lambda: "/here"))
    monkeypatch.setattr(sched, "jsonify", recorder(log, "jsonify", "answer"))
    assert sched.View().get() == "answer"
    assert log == ["get os.getcwd", ("call", "os.getcwd"), ("print", "/here"),
                   ("call", "jsonify", {"asdfsd": "dfdf"})]
    assert replaced == []


def _gone():
    raise FileNotFoundError("working directory is gone")


@pytest.mark.parametrize("failing, error, line, printed", [
    ("getcwd", FileNotFoundError, 8, False),
    ("jsonify", RuntimeError, 9, True),  # no application context
])
def test_get_failures(sched, tmp_path, monkeypatch, capsys, failing, error, line, printed):
    monkeypatch.chdir(tmp_path)
    if failing == "getcwd":
        monkeypatch.setattr(sched, "os", Spy([], "os", getcwd=_gone))
    with pytest.raises(error) as info:
        sched.View().get()
    assert capsys.readouterr().out == (str(tmp_path) + "\n" if printed else "")
    if is_native(sched):
        assert native_entries(info.value, "scheduler") == [("View.scheduler.View.get", line)]
