"""A module's tables are checked against its bodies: a row whose parameters
the body does not take fails to compile, and defaults that the table does not
give fail the import with SystemError instead of binding None."""
import os
import shutil
import subprocess
import sys
import sysconfig

import pytest

from support.paths import BUILD, ROOT

# The flags the modules are compiled with (CMakeLists.txt).
CXX = os.environ.get("CXX") or shutil.which("c++") or "g++"
FLAGS = ["-std=c++20", "-Wall", "-Wextra", "-Wno-missing-field-initializers",
         "-fno-strict-aliasing", "-I" + ROOT, "-I" + sysconfig.get_paths()["include"]]

# A module of two functions, `f(a, b=None)` and `g()`; each case replaces one
# part of it.
PROBE = r'''
#include "frame/body.h"

namespace probe {
using frame::Ref;
using frame::Scope;

#define PROBE_NAMES(X) X(f, "f") X(g, "g") X(a, "a") X(b, "b") X(c, "c")
FRAME_MODULE_NAMES(PROBE_NAMES)

PyObject *f(Scope &, PyObject *a, PyObject *) { return Ref::borrow(a).release(); }
PyObject *g(Scope &) { return frame::none(); }
PyObject *unlisted(Scope &) { return frame::none(); }

constexpr frame::FunctionSpec functions[] = {
    frame::function<f>({.name = "f", .qualname = n::f, .line = 1, @F_ROW@}),
    frame::function<g>({.name = "g", .qualname = n::g, .line = 2, .parameters = frame::ids<>}),
};

int body() {
    Scope here = frame::module_scope(module);
    here.at(1);
    Ref made = frame::new_function(module, frame::index_of<@F_BODY@>(functions), @F_DEFAULTS@);
    if (!made || bind(n::f, made) < 0) return here.fail_status();
    return 0;
}

const frame::ModuleTable table = {
    .def_name = "probe",
    .full_name = "probe",
    .code_path = "probe.py",
    .traceback_path = "probe.py",
    .names = n::texts,
    .functions = functions,
    .body = body,
    @TABLE_EXTRA@
};
}  // namespace probe

FRAME_MODULE(probe, probe, table)
'''

SOUND = {
    "@F_ROW@": ".parameters = frame::ids<n::a, n::b>, .defaults = 1",
    "@F_BODY@": "f",
    "@F_DEFAULTS@": "module.one_none",
    "@TABLE_EXTRA@": "",
}


def probe_source(tmp_path, **changes):
    text = PROBE
    for key, value in {**SOUND, **changes}.items():
        text = text.replace(key, value)
    path = tmp_path / "probe.cpp"
    path.write_text(text)
    return path


def compile_probe(tmp_path, *extra, **changes):
    source = probe_source(tmp_path, **changes)
    return subprocess.run([CXX, *FLAGS, str(source), *extra], capture_output=True, text=True,
                          timeout=120)


def test_the_sound_table_compiles_without_warnings(tmp_path):
    result = compile_probe(tmp_path, "-fsyntax-only", "-Werror")
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize("changes, complaint", [
    # One parameter too many: binding would write past the body's array.
    ({"@F_ROW@": ".parameters = frame::ids<n::a, n::b, n::c>"},
     "parameters_differ_from_the_body_arity"),
    ({"@F_ROW@": ".parameters = frame::ids<n::a>"}, "parameters_differ_from_the_body_arity"),
    ({"@F_ROW@": ".parameters = frame::ids<n::a, n::b>, .defaults = 3"},
     "more_defaults_than_parameters"),
    ({"@F_ROW@": ".parameters = frame::ids<n::a, n::b>, "
                 ".declared = frame::types<&PyUnicode_Type>"},
     "declared_types_differ_from_the_parameters"),
    ({"@F_BODY@": "unlisted"}, "body_not_in_the_function_table"),
    # Counts are not written by hand: the table has no field for one.
    ({"@TABLE_EXTRA@": ".function_count = 2,"}, "function_count"),
], ids=["parameter-too-many", "parameter-too-few", "defaults", "declared", "unlisted-body",
        "written-count"])
def test_a_table_that_disagrees_with_its_bodies_fails_to_compile(tmp_path, changes, complaint):
    result = compile_probe(tmp_path, "-fsyntax-only", **changes)
    assert result.returncode != 0
    assert complaint in result.stderr


TWO = ".parameters = frame::ids<n::a, n::b>"


@pytest.mark.parametrize("row, defaults, message", [
    (TWO, "module.one_none",
     "the function table gives 0 of 2 parameters a default, but the module body passes 1 defaults"),
    (TWO + ", .defaults = 1", "nullptr",
     "the function table gives 1 of 2 parameters a default, but the module body passes 0 defaults"),
    (TWO + ", .defaults = 1", "module.empty_str",
     "the module body passes defaults that are not a tuple"),
    (TWO + ", .defaults = 1", "module.one_none", None),
], ids=["unexpected-defaults", "missing-defaults", "not-a-tuple", "agreeing"])
def test_defaults_the_table_does_not_give_fail_the_import(tmp_path, row, defaults, message):
    library = os.path.join(BUILD, "libframe.a")
    if not os.path.exists(library):
        pytest.skip("frame library not built")
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    # The sanitizer build's frame needs the sanitizer runtimes the test run preloads.
    sanitize = ["-fsanitize=address,undefined"] if os.environ.get("VIEW_SANITIZER_PASS") else []
    built = compile_probe(tmp_path, "-O1", "-shared", "-fPIC", *sanitize,
                          "-o", str(tmp_path / ("probe" + suffix)), library,
                          **{"@F_ROW@": row, "@F_DEFAULTS@": defaults})
    assert built.returncode == 0, built.stderr
    snippet = (
        "import sys\n"
        "sys.path.insert(0, %r)\n"
        "try:\n"
        "    import probe\n"
        "except SystemError as error:\n"
        "    tb = error.__traceback__\n"
        "    while tb.tb_next: tb = tb.tb_next\n"
        "    print(error, '|', tb.tb_frame.f_code.co_name, tb.tb_lineno)\n"
        "else:\n"
        "    print('imported', probe.f(1))\n" % str(tmp_path))
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    result = subprocess.run([sys.executable, "-c", snippet], capture_output=True, text=True,
                            timeout=60, env=env)
    assert result.returncode == 0, result.stderr
    expected = "probe.f: %s | init probe 1" % message if message else "imported 1"
    assert result.stdout.strip() == expected
