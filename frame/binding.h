// Argument binding: the vectorcall entry point of every function object.
//
// A body is a plain C++ function taking its statement scope and its
// parameters as borrowed references,
// `PyObject *get_path(Scope &here, PyObject *t, PyObject *filename)`.
// `entry<get_path>` is the function object's vectorcall: it binds the call's
// arguments into a small array on the stack (or uses the caller's own array
// when the positional arguments already fit) and runs the body. No tuple or
// dict is built on any path.
#pragma once

#include <utility>

#include "frame/function.h"
#include "frame/traceback.h"

namespace frame {

// Binds positional and keyword arguments into `bound`; false with TypeError
// and the function's traceback entry at its definition line.
bool bind_arguments(Function *function, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                    PyObject **bound);

// Tests the declared parameter types; false with TypeError (no traceback entry).
bool check_declared(const Function *function, PyObject *const *bound);

// The failure of a call with arguments to a function without parameters.
PyObject *no_arguments(const Function *function, Py_ssize_t nargs, PyObject *kwnames);

template <class... P>
constexpr size_t arity(PyObject *(*)(Scope &, P...)) {
    return sizeof...(P);
}

template <auto Body, size_t... I>
inline PyObject *apply(Scope &here, PyObject *const *values, std::index_sequence<I...>) {
    return Body(here, values[I]...);
}

// The first `given` values from `args`, the rest from the defaults, one
// statement per parameter and no loop: g++ 16 at -O2 makes a loop that copies
// `given` pointers a byte-by-byte copy, about five instructions for each byte
// of every call.
template <size_t... I>
inline void fill_with_defaults(PyObject **bound, PyObject *const *args, Py_ssize_t given,
                               PyObject *defaults, Py_ssize_t first_default,
                               std::index_sequence<I...>) {
    ((bound[I] = static_cast<Py_ssize_t>(I) < given
                     ? args[I]
                     : PyTuple_GET_ITEM(defaults, static_cast<Py_ssize_t>(I) - first_default)),
     ...);
}

template <Py_ssize_t count>
inline void fill_with_defaults(PyObject **bound, PyObject *const *args, Py_ssize_t given,
                               PyObject *defaults, Py_ssize_t first_default) {
    fill_with_defaults(bound, args, given, defaults, first_default,
                       std::make_index_sequence<count>());
}

// Remembers `kwnames` as the keyword names of a call that bound in order
// after `nargs` positional arguments (see Function::in_order_names).
void remember_in_order(Function *function, PyObject *kwnames, Py_ssize_t nargs);

// The values of a call that binds in order with `given` arguments in all:
// the caller's array itself when nothing is left out, else `bound`, with
// the defaults after the given values (a call leaves out only parameters
// that have one).
template <Py_ssize_t count>
inline PyObject *const *in_order_values(const Function *function, PyObject *const *args,
                                        Py_ssize_t given, PyObject **bound) {
    if (given == count) return args;
    PyObject *defaults = function->bound_defaults;
    fill_with_defaults<count>(bound, args, given, defaults, count - PyTuple_GET_SIZE(defaults));
    return bound;
}

// The usual keyword call: the keywords name the parameters right after the
// positional ones, in order, by the very name objects of the parameters
// (callers pass the interned names their code holds), and the parameters
// left out have defaults. The values then already lie in order in `args`
// and in_order_values gives them; the names are remembered, so that the
// call site's next call needs no matching. Null, having changed nothing a
// caller sees, for any other call: bind_arguments does the full work and
// reports errors.
template <Py_ssize_t count>
inline PyObject *const *bind_in_order(Function *function, PyObject *const *args,
                                      Py_ssize_t nargs, PyObject *kwnames, PyObject **bound) {
    Py_ssize_t given = nargs + PyTuple_GET_SIZE(kwnames);
    PyObject *defaults = function->bound_defaults;
    Py_ssize_t first_default = count - (defaults ? PyTuple_GET_SIZE(defaults) : 0);
    if (given > count || given < first_default) return nullptr;
    PyObject *const *names = function->module->names;
    const int *parameters = function->spec->parameters.items;
    for (Py_ssize_t i = nargs; i < given; ++i)
        if (PyTuple_GET_ITEM(kwnames, i - nargs) != names[parameters[i]]) return nullptr;
    remember_in_order(function, kwnames, nargs);
    return in_order_values<count>(function, args, given, bound);
}

// The scope a body runs in: its function's own namespace, which is the live
// module's unless the function outlived a failed import.
inline Scope scope_of(Function *function) {
    return Scope(*function->module, function_index(function), function->globals);
}

// Runs the body on the bound values, after testing the declared types if
// its table row declares any: `Declared` is that row's, fixed when the
// table is compiled, so a function without them tests nothing per call.
template <auto Body, bool Declared>
inline PyObject *run_bound(Function *function, PyObject *const *values) {
    constexpr Py_ssize_t count = arity(Body);
    if constexpr (Declared)
        if (!check_declared(function, values)) [[unlikely]] return nullptr;
    Scope here = scope_of(function);
    return apply<Body>(here, values, std::make_index_sequence<count>());
}

// A call with keywords whose names are not those of the call before that
// bound in order.
template <auto Body, bool Declared>
[[gnu::noinline]] PyObject *match_keywords_and_run(Function *function, PyObject *const *args,
                                                   Py_ssize_t nargs, PyObject *kwnames) noexcept {
    constexpr Py_ssize_t count = arity(Body);
    PyObject *bound[count];
    PyObject *const *values = bind_in_order<count>(function, args, nargs, kwnames, bound);
    if (!values) {
        if (!bind_arguments(function, args, nargs, kwnames, bound)) return nullptr;
        values = bound;
    }
    return run_bound<Body, Declared>(function, values);
}

// A call with keywords. Out of line, so that positional calls need no more
// stack than their bound values. The same names after as many positional
// arguments as the call before that bound in order: the same binding, with
// these values.
template <auto Body, bool Declared>
[[gnu::noinline]] PyObject *bind_keywords_and_run(Function *function, PyObject *const *args,
                                                  Py_ssize_t nargs, PyObject *kwnames) noexcept {
    constexpr Py_ssize_t count = arity(Body);
    if (kwnames != function->in_order_names || nargs != function->in_order_nargs) [[unlikely]]
        return match_keywords_and_run<Body, Declared>(function, args, nargs, kwnames);
    PyObject *bound[count];
    Py_ssize_t given = nargs + PyTuple_GET_SIZE(kwnames);
    return run_bound<Body, Declared>(function, in_order_values<count>(function, args, given, bound));
}

template <auto Body, bool Declared>
PyObject *entry(PyObject *callable, PyObject *const *args, size_t nargsf,
                PyObject *kwnames) noexcept {
    constexpr Py_ssize_t count = arity(Body);
    Function *function = reinterpret_cast<Function *>(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if constexpr (count == 0) {
        if (kwnames || nargs) [[unlikely]]
            if (nargs || PyTuple_GET_SIZE(kwnames)) return no_arguments(function, nargs, kwnames);
        Scope here = scope_of(function);
        return Body(here);
    } else {
        if (kwnames) return bind_keywords_and_run<Body, Declared>(function, args, nargs, kwnames);
        // Exactly the parameters, by position: the caller's array is used as it is.
        if (nargs == count) return run_bound<Body, Declared>(function, args);
        PyObject *bound[count];
        PyObject *defaults = function->bound_defaults;
        Py_ssize_t first_default = count - (defaults ? PyTuple_GET_SIZE(defaults) : 0);
        if (nargs >= first_default && nargs < count) {
            // Only defaults are missing: the common short call.
            fill_with_defaults<count>(bound, args, nargs, defaults, first_default);
        } else if (!bind_arguments(function, args, nargs, kwnames, bound)) {
            return nullptr;
        }
        return run_bound<Body, Declared>(function, bound);
    }
}

}  // namespace frame
