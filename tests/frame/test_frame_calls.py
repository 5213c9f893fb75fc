"""Calls made by module code keep the interpreter's call protocol."""
import importlib.util
import os
import subprocess
import sysconfig
import types

import pytest

from frame_support import needs_build
from support.tracebacks import entries

pytestmark = needs_build

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "misbehaving.c")


@pytest.fixture(scope="session")
def misbehaving(tmp_path_factory):
    target = tmp_path_factory.mktemp("ext") / ("misbehaving" + sysconfig.get_config_var("EXT_SUFFIX"))
    # The compiler must not inherit the sanitizer runtimes of the test process.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    subprocess.run(["cc", "-shared", "-fPIC", "-I", sysconfig.get_paths()["include"], SOURCE,
                    "-o", str(target)], check=True, env=env)
    found = importlib.util.spec_from_file_location("misbehaving", str(target))
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


# get_path calls os.getcwd() (no argument), os.path.join(cwd, folder) (through vectorcall)
# and os.path.exists(p) (one argument): one of each way a call leaves module code.
@pytest.mark.parametrize("callee, replaced, line", [
    ("no_args", "getcwd", 48), ("fast", "join", 48), ("one_arg", "exists", 49)])
def test_result_with_error_set_is_a_system_error(vfile, misbehaving, monkeypatch, tmp_path,
                                                 callee, replaced, line):
    monkeypatch.chdir(tmp_path)
    fake_path = types.SimpleNamespace(join=os.path.join, exists=os.path.exists)
    fake_os = types.SimpleNamespace(getcwd=os.getcwd, path=fake_path)
    setattr(fake_os if replaced == "getcwd" else fake_path, replaced, getattr(misbehaving, callee))
    monkeypatch.setattr(vfile, "os", fake_os)
    with pytest.raises(SystemError) as info:
        vfile.get_path("api_module")
    assert str(info.value) == "<built-in function %s> returned a result with an error set" % callee
    cause = info.value.__cause__
    assert type(cause) is ValueError and str(cause) == "pending"
    assert info.value.__context__ is cause
    assert [e for e in entries(info.value) if e[0].startswith("View.")] == [
        ("View.file.get_path", "View\\\\file.py", line)]
