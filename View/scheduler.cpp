// View.scheduler: the scheduler view.
//
// The statement-by-statement form of View\scheduler.py; the number beside a
// statement is its source line.
#include "frame/body.h"

// The bodies keep each statement, its error check and its source line on one
// line, side by side with the Python they implement; the formatter leaves
// that layout alone.
// clang-format off

namespace view_scheduler {

using frame::call;
using frame::Method;
using frame::Ref;
using frame::Scope;

#define VIEW_SCHEDULER_NAMES(X)                                                   \
    X(View, "View") X(View_get, "View.get") X(abort, "abort") X(asdfsd, "asdfsd") \
    X(dfdf, "dfdf") X(flask, "flask") X(get, "get") X(getcwd, "getcwd")           \
    X(jsonify, "jsonify") X(os, "os") X(print, "print") X(self, "self")           \
    X(test_, "__test__")

FRAME_MODULE_NAMES(VIEW_SCHEDULER_NAMES)

namespace builtin {
enum Id : int { print };
}
namespace tuple {
enum Id : int { from_flask };
}
// `from flask import ...`: the from-list, and the names bound, in this order.
constexpr int from_flask[] = {n::jsonify, n::abort};

// class View:                                                                  6
//     def get(self):                                                           7
PyObject *get(Scope &here, PyObject *) {
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

constexpr frame::FunctionSpec functions[] = {
    frame::function<get>({.name = "get", .qualname = n::View_get, .line = 7,
                          .parameters = frame::ids<n::self>}),
};

int body() {
    Scope here = frame::module_scope(module);
    here.at(2);                                                              // from flask import jsonify, abort
    Ref flask = frame::import_names(module, n::flask, tuple::from_flask);    if (!flask) return here.fail_status();
    for (int name : from_flask) {
        Ref value = frame::import_from(flask.get(), N(n::Id(name)));         if (!value || bind(n::Id(name), value) < 0) return here.fail_status();
    }
    here.at(3);                                                              // import os
    Ref os = frame::import_module(module, n::os);                            if (!os || bind(n::os, os) < 0) return here.fail_status();
    here.at(6);                                                              // class View:
    Ref namespace_ = frame::class_namespace(module, N(n::View));             if (!namespace_) return here.fail_status();
    here.at(7);                                                              // def get(self)
    Ref function = frame::new_function(module, frame::index_of<get>(functions)); if (!function) return here.fail_status();
    if (PyDict_SetItem(namespace_.get(), N(n::get), function.get()) < 0) return here.fail_status();
    here.at(6);
    Ref view = frame::make_class(module, N(n::View), namespace_.get());     if (!view || bind(n::View, view) < 0) return here.fail_status();
    here.at(1);                                                              // __test__ = {}
    Ref test = Ref::steal(PyDict_New());                                     if (!test || bind(n::test_, test) < 0) return here.fail_status();
    return 0;
}

const int kept_builtins[] = {n::print};
const frame::NameTuple tuples[] = {from_flask};

const frame::ModuleTable table = {
    .def_name = "scheduler",
    .full_name = "View.scheduler",
    .code_path = "View\\scheduler.py",
    .traceback_path = "View\\\\scheduler.py",
    .names = n::texts,
    .builtins = kept_builtins,
    .tuples = tuples,
    .functions = functions,
    .body = body,
};

}  // namespace view_scheduler

FRAME_MODULE(scheduler, view_scheduler, table)
