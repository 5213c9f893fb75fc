// The function type shared by all modules of the frame: a sibling of the
// interpreter's own function type, called through vectorcall.
#pragma once

#include "frame/module.h"

namespace frame {

struct Function {
    PyObject_HEAD
    const FunctionSpec *def;  // the method definition it was made from
    PyObject *module_name;    // __module__
    PyObject *dict;           // __dict__, made on first use
    PyObject *name;           // __name__, made from def->name on first read
    PyObject *qualname;       // __qualname__
    PyObject *doc;            // __doc__, made from def->doc on first read
    PyObject *globals;        // the module's dict
    PyObject *code;           // __code__
    PyObject *closure;        // always null: no function closes over anything
    int flags;                // FunctionFlags
    PyObject *defaults;       // __defaults__ as Python sees it
    PyObject *kwdefaults;     // __kwdefaults__
    PyObject *annotations;    // __annotations__, made empty on first read
    PyObject *is_coroutine;   // _is_coroutine, computed on first read
    PyObject *weakrefs;
    vectorcallfunc vectorcall;
    // The defaults calls receive: fixed when the module body sets them, so a
    // later write of __defaults__ does not change how calls bind.
    PyObject *bound_defaults;
    Module *owner;
};

// The shared type, found in or registered with the frame's shared type
// module; null with TypeError when what is registered there is unusable.
PyTypeObject *shared_function_type();

// Makes the code object of every function of the module.
int build_code(Module &module);

// A new function object for the module's function `index`.
Ref new_function(Module &module, int index);

// Sets the defaults of a new function: both __defaults__ and what calls receive.
void set_defaults(PyObject *function, PyObject *defaults);

// Sets the annotations of a new function.
void set_annotations(PyObject *function, PyObject *annotations);

inline int function_index(const Function *function) {
    return static_cast<int>(function->def - function->owner->table.functions);
}

}  // namespace frame
