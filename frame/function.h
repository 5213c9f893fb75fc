// The function type shared by all modules of the frame: a sibling of the
// interpreter's own function type, called through vectorcall.
#pragma once

#include "frame/module.h"

namespace frame {

struct Function {
    PyObject_HEAD
    const FunctionSpec *spec;  // the table row it was made from
    PyObject *module_name;    // __module__
    PyObject *dict;           // __dict__, made on first use
    PyObject *name;           // __name__, made from spec->name on first read
    PyObject *qualname;       // __qualname__
    PyObject *doc;            // __doc__, made from spec->doc on first read
    PyObject *globals;        // the module's dict
    PyObject *code;           // __code__
    PyObject *closure;        // always null: no function closes over anything
    int flags;                // FunctionFlags
    int index;                // its row in the module's function table
    PyObject *defaults;       // __defaults__ as Python sees it
    PyObject *kwdefaults;     // __kwdefaults__
    PyObject *annotations;    // __annotations__, made empty on first read
    PyObject *is_coroutine;   // _is_coroutine, computed on first read
    PyObject *weakrefs;
    vectorcallfunc vectorcall;
    // The defaults calls receive: fixed when the module body makes the
    // function, so a later write of __defaults__ does not change how calls bind.
    PyObject *bound_defaults;
    Module *module;  // the module state of the table it was made from
    // The keyword names of the last call whose keywords named the parameters
    // right after its `in_order_nargs` positional arguments, in order, by the
    // parameters' own name objects (null: none yet). A call site passes the
    // same tuple on every call, so its next call binds without matching. The
    // tuple is held, so that no other tuple can be made at its address.
    PyObject *in_order_names;
    Py_ssize_t in_order_nargs;
};

// The shared type, found in or registered with the frame's shared type
// module; null with TypeError when what is registered there is unusable.
PyTypeObject *shared_function_type();

// Makes the code object of every function of the module.
int build_code(Module &module);

// A new function object for the module's function `index`, with `defaults`
// (a tuple, or null for none) as both __defaults__ and what calls receive.
// Null with SystemError when their count is not what the table says.
Ref new_function(Module &module, int index, PyObject *defaults = nullptr);

// Sets the annotations of a new function.
void set_annotations(PyObject *function, PyObject *annotations);

// Kept in the object (in what was padding after `flags`), so that a call
// makes its statement scope without dividing by the size of a table row.
inline int function_index(const Function *function) {
    return function->index;
}

}  // namespace frame
