// View.scheduler: the scheduler view.
//
// The statement-by-statement form of View\scheduler.py; the number beside a
// statement is its source line.
#include "frame/frame.h"

// The bodies keep each statement, its error check and its source line on one
// line, side by side with the Python they implement; the formatter leaves
// that layout alone.
// clang-format off

namespace view_scheduler {

using frame::call;
using frame::Call;
using frame::Method;
using frame::Ref;

#define VIEW_SCHEDULER_NAMES(X)                                                   \
    X(View, "View") X(View_get, "View.get") X(View_scheduler, "View.scheduler")   \
    X(source, "View\\scheduler.py") X(abort, "abort") X(asdfsd, "asdfsd")         \
    X(dfdf, "dfdf") X(flask, "flask") X(get, "get") X(getcwd, "getcwd")           \
    X(jsonify, "jsonify") X(os, "os") X(print, "print") X(self, "self")           \
    X(test_, "__test__")

namespace n {
enum Id : int {
#define X(id, text) id,
    VIEW_SCHEDULER_NAMES(X)
#undef X
        count
};
const char *const texts[] = {
#define X(id, text) text,
    VIEW_SCHEDULER_NAMES(X)
#undef X
};
}  // namespace n

namespace fn {
enum Id : int { get };
}
namespace builtin {
enum Id : int { print };
}
namespace tuple {
enum Id : int { from_flask };
}

extern frame::Module module;

inline PyObject *N(n::Id id) { return module.names[id]; }
inline Ref G(const Call &here, n::Id id) { return frame::global(here, id); }
inline int bind(n::Id id, const Ref &value) {
    return PyDict_SetItem(module.globals, N(id), value.get());
}

// class View:                                                                  6
//     def get(self):                                                           7
PyObject *get(Call &here, PyObject *) {
    here.at(8);                                                              // print(os.getcwd())
    Ref os = G(here, n::os);                                                 if (!os) return here.fail();
    Method getcwd = frame::method(os.get(), N(n::getcwd));                   if (!getcwd) return here.fail();
    Ref cwd = call(getcwd);                                                  if (!cwd) return here.fail();
    Ref printed = call(module.builtin(builtin::print), cwd);                 if (!printed) return here.fail();
    here.at(9);                                                              // return jsonify({"asdfsd": "dfdf"})
    Ref jsonify = G(here, n::jsonify);                                       if (!jsonify) return here.fail();
    Ref answer = Ref::steal(PyDict_New());                                   if (!answer) return here.fail();
    if (PyDict_SetItem(answer.get(), N(n::asdfsd), N(n::dfdf)) < 0) return here.fail();
    Ref response = call(jsonify, answer);                                    if (!response) return here.fail();
    return response.release();
}

int body() {
    Call here(module, module.body_entry(), module.globals);
    here.at(2);                                                              // from flask import jsonify, abort
    Ref flask = frame::import_names(module, n::flask, tuple::from_flask);    if (!flask) return here.fail_status();
    for (n::Id name : {n::jsonify, n::abort}) {
        Ref value = frame::import_from(flask.get(), N(name));                if (!value || bind(name, value) < 0) return here.fail_status();
    }
    here.at(3);                                                              // import os
    Ref os = frame::import_module(module, n::os);                            if (!os || bind(n::os, os) < 0) return here.fail_status();
    here.at(6);                                                              // class View:
    Ref namespace_ = frame::class_namespace(module, N(n::View));             if (!namespace_) return here.fail_status();
    here.at(7);                                                              // def get(self)
    Ref function = frame::new_function(module, fn::get);                     if (!function) return here.fail_status();
    if (PyDict_SetItem(namespace_.get(), N(n::get), function.get()) < 0) return here.fail_status();
    here.at(6);
    Ref view = frame::make_class(module, N(n::View), namespace_.get());     if (!view || bind(n::View, view) < 0) return here.fail_status();
    here.at(1);                                                              // __test__ = {}
    Ref test = Ref::steal(PyDict_New());                                     if (!test || bind(n::test_, test) < 0) return here.fail_status();
    return 0;
}

const int get_locals[] = {n::self};
const frame::FunctionSpec functions[] = {
    {"get", n::View_get, frame::entry<get>, nullptr, 7, get_locals, 1, 1, 1, nullptr, 0},
};
const int kept_builtins[] = {n::print};
const int from_flask[] = {n::jsonify, n::abort};
const frame::NameTuple tuples[] = {{from_flask, 2}};

const frame::ModuleTable table = {
    .def_name = "scheduler",
    .full_name = "View.scheduler",
    .code_path = "View\\scheduler.py",
    .traceback_path = "View\\\\scheduler.py",
    .names = n::texts,
    .name_count = n::count,
    .builtins = kept_builtins,
    .builtin_count = 1,
    .ints = nullptr,
    .int_count = 0,
    .tuples = tuples,
    .tuple_count = 1,
    .functions = functions,
    .function_count = 1,
    .body = body,
};

frame::Module module(table, frame::create_slot<module>, frame::exec_slot<module>);

}  // namespace view_scheduler

PyMODINIT_FUNC PyInit_scheduler() { return PyModuleDef_Init(&view_scheduler::module); }
