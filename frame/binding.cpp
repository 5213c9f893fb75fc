#include "frame/binding.h"

#include "frame/ops.h"
#include "frame/traceback.h"

namespace frame {
namespace {

// The count message; `reported` is the number of positional arguments given,
// or the position of the first missing required parameter.
[[gnu::cold]] bool count_error(const Function *function, Py_ssize_t reported) {
    const FunctionSpec &spec = *function->spec;
    Py_ssize_t required = spec.required, total = spec.argcount(), stated;
    const char *bound;
    if (required == total) {
        bound = "exactly";
        stated = required;
    } else if (reported < required) {
        bound = "at least";
        stated = required;
    } else {
        bound = "at most";
        stated = total;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 spec.name, bound, stated, stated == 1 ? "" : "s", reported);
    return false;
}

// Adds the function's entry at its definition line to a binding failure.
[[gnu::cold]] bool binding_failed(const Function *function) {
    add_traceback(*function->module, function_index(function), function->spec->line, __LINE__,
                  __FILE__, function->globals);
    return false;
}

// The keyword whose name is `name`: the very same object first, then an equal
// string. -1 when there is none.
Py_ssize_t find_keyword(PyObject *kwnames, PyObject *name) {
    Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k)
        if (PyTuple_GET_ITEM(kwnames, k) == name) return k;
    for (Py_ssize_t k = 0; k < count; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        if (PyUnicode_Check(key) && same_text(key, name)) return k;
    }
    return -1;
}

// The parameter that keyword `key` names, or -1.
Py_ssize_t find_parameter(const Function *function, PyObject *key) {
    const FunctionSpec &spec = *function->spec;
    PyObject **names = function->module->names;
    for (Py_ssize_t i = 0; i < spec.argcount(); ++i)
        if (names[spec.parameters[i]] == key) return i;
    for (Py_ssize_t i = 0; i < spec.argcount(); ++i)
        if (same_text(key, names[spec.parameters[i]])) return i;
    return -1;
}

// The last pass over the keywords, when some matched no parameter after the
// positional ones: the first offending keyword decides the error. A keyword
// that names a parameter already given, by position or by an earlier keyword
// of the same name (only a caller in C can repeat one), has multiple values.
[[gnu::cold]] bool keyword_error(const Function *function, Py_ssize_t nargs, PyObject *kwnames) {
    const char *name = function->spec->name;
    PyObject **names = function->module->names;
    const int *parameters = function->spec->parameters.items;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", name);
            return false;
        }
        Py_ssize_t parameter = find_parameter(function, key);
        if (parameter >= nargs && find_keyword(kwnames, names[parameters[parameter]]) == k) continue;
        if (parameter >= 0)
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         name, key);
        else
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name,
                         key);
        return false;
    }
    return true;
}

}  // namespace

bool bind_arguments(Function *function, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                    PyObject **bound) {
    const FunctionSpec &spec = *function->spec;
    PyObject **names = function->module->names;
    Py_ssize_t total = spec.argcount(), required = spec.required;
    Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    Py_ssize_t first_default =
        total - (function->bound_defaults ? PyTuple_GET_SIZE(function->bound_defaults) : 0);

    if (keywords == 0) {
        if (nargs < required || nargs > total)
            return count_error(function, nargs), binding_failed(function);
    } else if (nargs > total) {
        return count_error(function, nargs), binding_failed(function);
    }
    for (Py_ssize_t i = 0; i < nargs; ++i)
        bound[i] = args[i];
    for (Py_ssize_t i = nargs; i < total; ++i)
        bound[i] = nullptr;

    if (keywords) {
        PyObject *const *values = args + nargs;
        Py_ssize_t matched = 0;
        for (Py_ssize_t i = nargs; i < required; ++i) {
            Py_ssize_t k = find_keyword(kwnames, names[spec.parameters[i]]);
            if (k < 0) return count_error(function, i), binding_failed(function);
            bound[i] = values[k];
            matched++;
        }
        for (Py_ssize_t i = nargs > required ? nargs : required; matched < keywords && i < total;
             ++i) {
            Py_ssize_t k = find_keyword(kwnames, names[spec.parameters[i]]);
            if (k < 0) continue;
            bound[i] = values[k];
            matched++;
        }
        if (matched < keywords && !keyword_error(function, nargs, kwnames))
            return binding_failed(function);
    }
    for (Py_ssize_t i = nargs; i < total; ++i)
        if (!bound[i])
            bound[i] = i >= first_default
                           ? PyTuple_GET_ITEM(function->bound_defaults, i - first_default)
                           : Py_None;
    return true;
}

void remember_in_order(Function *function, PyObject *kwnames, Py_ssize_t nargs) {
    // The tuple given up holds only the parameters' own names: freeing it
    // runs no code.
    Py_INCREF(kwnames);
    Py_XSETREF(function->in_order_names, kwnames);
    function->in_order_nargs = nargs;
}

bool check_declared(const Function *function, PyObject *const *bound) {
    const FunctionSpec &spec = *function->spec;
    for (int i = 0; i < spec.argcount(); ++i) {
        PyTypeObject *type = spec.declared[i];
        if (!type || Py_TYPE(bound[i]) == type) continue;
        PyErr_Format(PyExc_TypeError,
                     "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     function->module->table.names[spec.parameters[i]], type->tp_name,
                     Py_TYPE(bound[i])->tp_name);
        return false;
    }
    return true;
}

PyObject *no_arguments(const Function *function, Py_ssize_t nargs, PyObject *kwnames) {
    const char *name = function->spec->name;
    if (kwnames && PyTuple_GET_SIZE(kwnames))
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", name);
    else
        PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", name, nargs);
    return nullptr;
}

}  // namespace frame
