#include "frame/ops.h"

#include <cstring>
#include <utility>

namespace frame {
namespace {

[[gnu::cold]] void null_without_error() {
    PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
}

// A callee that returned a result with an exception set broke the call
// protocol: as the interpreter does, the result is dropped and SystemError
// raised, caused by the pending exception.
[[gnu::cold]] PyObject *result_with_error(PyObject *callable, PyObject *result) {
    Py_DECREF(result);
    PyObject *cause = take_raised_exception();
    PyErr_Format(PyExc_SystemError, "%R returned a result with an error set", callable);
    PyObject *error = take_raised_exception();
    Py_INCREF(cause);
    PyException_SetCause(error, cause);    // steals
    PyException_SetContext(error, cause);  // steals
    raise_exception(error);
    return nullptr;
}

// Callables without vectorcall are called through tp_call with a tuple and a dict.
[[gnu::cold]] PyObject *call_through_tuple(PyObject *callable, PyObject *const *args,
                                           Py_ssize_t nargs, PyObject *kwnames) {
    ternaryfunc tp_call = Py_TYPE(callable)->tp_call;
    if (!tp_call) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is not callable",
                     Py_TYPE(callable)->tp_name);
        return nullptr;
    }
    Ref positional = Ref::steal(PyTuple_New(nargs));
    if (!positional) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        Py_INCREF(args[i]);
        PyTuple_SET_ITEM(positional.get(), i, args[i]);
    }
    Ref keywords;
    if (kwnames && PyTuple_GET_SIZE(kwnames)) {
        keywords = Ref::steal(PyDict_New());
        if (!keywords) return nullptr;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i)
            if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0)
                return nullptr;
    }
    return tp_call(callable, positional.get(), keywords.get());
}

// Built-in functions of one or no argument are called straight through their
// C function, as their own vectorcall would after the same checks.
inline PyCFunction direct_function(PyObject *callable, Py_ssize_t nargs, PyObject *kwnames) {
    if (!PyCFunction_CheckExact(callable) || (kwnames && PyTuple_GET_SIZE(kwnames))) return nullptr;
    int flags = PyCFunction_GET_FLAGS(callable) & ~(METH_CLASS | METH_STATIC | METH_COEXIST);
    if ((flags == METH_O && nargs == 1) || (flags == METH_NOARGS && nargs == 0))
        return PyCFunction_GET_FUNCTION(callable);
    return nullptr;
}

}  // namespace

PyObject *vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject *result;
    if (PyCFunction direct = direct_function(callable, nargs, kwnames)) {
        result = direct(PyCFunction_GET_SELF(callable), nargs ? args[0] : nullptr);
    } else if (vectorcallfunc function = PyVectorcall_Function(callable)) {
        result = function(callable, args, nargsf, kwnames);
    } else {
        result = call_through_tuple(callable, args, nargs, kwnames);
    }
    Py_LeaveRecursiveCall();
    if (!result) {
        if (!PyErr_Occurred()) null_without_error();
    } else if (PyErr_Occurred()) [[unlikely]] {
        return result_with_error(callable, result);
    }
    return result;
}

bool same_text(PyObject *left, PyObject *right) {
    if (ready_text(left) < 0 || ready_text(right) < 0) {
        PyErr_Clear();
        return PyUnicode_Compare(left, right) == 0;
    }
    Py_ssize_t length = PyUnicode_GET_LENGTH(left);
    if (length != PyUnicode_GET_LENGTH(right) || PyUnicode_KIND(left) != PyUnicode_KIND(right))
        return false;
    return same_bytes(static_cast<const char *>(PyUnicode_DATA(left)),
                      static_cast<const char *>(PyUnicode_DATA(right)), length * PyUnicode_KIND(left));
}

// Texts of one kind compare their tails byte for byte; texts of different
// kinds take the interpreter's own character-wise match.
int text_ends_with_any(PyObject *text, PyObject *suffix) {
    if (ready_text(text) < 0 || ready_text(suffix) < 0) return -1;
    Py_ssize_t length = PyUnicode_GET_LENGTH(text), tail = PyUnicode_GET_LENGTH(suffix);
    if (tail > length) return 0;
    int kind = PyUnicode_KIND(text);
    if (kind != static_cast<int>(PyUnicode_KIND(suffix)))
        return static_cast<int>(PyUnicode_Tailmatch(text, suffix, 0, PY_SSIZE_T_MAX, +1));
    const char *end = static_cast<const char *>(PyUnicode_DATA(text)) + (length - tail) * kind;
    return same_bytes(end, static_cast<const char *>(PyUnicode_DATA(suffix)), tail * kind);
}

int compare_slow(PyObject *left, PyObject *right, int op) {
    // Exact ints: small ones are shared, and equal values compare equal.
    if (left == right && PyLong_CheckExact(left)) return op == Py_EQ;
    Ref result = Ref::steal(PyObject_RichCompare(left, right, op));
    if (!result) return -1;
    return PyObject_IsTrue(result.get());
}

Ref import_module(Module &module, int id) {
    PyObject *name = module.names[id];
    Ref loaded = Ref::steal(PyImport_GetModule(name));
    // None in sys.modules halts the import: the import machinery raises its
    // own ModuleNotFoundError for it.
    if (loaded.get() == Py_None) loaded.reset();
    if (loaded) {
        // A module that is still being initialised goes through the import
        // machinery, which waits for it; any other loaded module is used as is.
        Ref module_spec = Ref::steal(PyObject_GetAttrString(loaded.get(), "__spec__"));
        Ref initializing;
        if (module_spec)
            initializing = Ref::steal(PyObject_GetAttrString(module_spec.get(), "_initializing"));
        int busy = initializing ? PyObject_IsTrue(initializing.get()) : 0;
        PyErr_Clear();
        if (busy != 1) return loaded;
    } else if (PyErr_Occurred()) {
        return loaded;
    }
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return locals;
    return Ref::steal(
        PyImport_ImportModuleLevelObject(name, module.globals, locals.get(), nullptr, 0));
}

Ref import_names(Module &module, int id, int from_list) {
    Ref locals = Ref::steal(PyDict_New());
    if (!locals) return locals;
    return Ref::steal(PyImport_ImportModuleLevelObject(module.names[id], module.globals,
                                                       locals.get(), module.tuples[from_list], 0));
}

Ref import_from(PyObject *from, PyObject *name) {
    Ref value = Ref::steal(PyObject_GetAttr(from, name));
    if (value) return value;
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        // A submodule that is loaded but not yet an attribute of its package.
        // The package's name is read as an attribute, as the interpreter
        // does, so that any object standing in sys.modules works.
        Ref package = Ref::steal(PyObject_GetAttrString(from, "__name__"));
        if (package && PyUnicode_Check(package.get())) {
            Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", package.get(), name));
            if (full) value = Ref::steal(PyImport_GetModule(full.get()));
        }
        if (value) return value;
        PyErr_Clear();
    }
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    return value;
}

Ref class_namespace(Module &module, PyObject *qualname) {
    Ref namespace_ = Ref::steal(PyDict_New());
    if (!namespace_) return namespace_;
    Ref module_name = Ref::steal(PyUnicode_FromString(module.table.full_name));
    if (!module_name ||
        PyDict_SetItemString(namespace_.get(), "__module__", module_name.get()) < 0 ||
        PyDict_SetItemString(namespace_.get(), "__qualname__", qualname) < 0)
        return Ref();
    return namespace_;
}

Ref make_class(Module &module, PyObject *name, PyObject *namespace_) {
    return call(reinterpret_cast<PyObject *>(&PyType_Type), name, module.empty_tuple, namespace_);
}

Ref special_method(PyObject *object, PyObject *name) {
    PyTypeObject *type = Py_TYPE(object);
    PyObject *found = type_lookup(type, name);
    if (!found) {
        PyErr_SetObject(PyExc_AttributeError, name);
        return Ref();
    }
    if (descrgetfunc get = Py_TYPE(found)->tp_descr_get) {
        Ref keep = Ref::borrow(found);  // the lookup's result is borrowed from the type
        return Ref::steal(get(found, object, reinterpret_cast<PyObject *>(type)));
    }
    return Ref::borrow(found);
}

Caught catch_raised() {
    Ref value = Ref::steal(take_raised_exception());
    if (!value) return Caught{};
    set_handled_exception(value.get());
    Ref type = Ref::borrow(reinterpret_cast<PyObject *>(Py_TYPE(value.get())));
    Ref traceback = Ref::steal(PyException_GetTraceback(value.get()));
    return Caught{std::move(type), std::move(value), std::move(traceback)};
}

PyObject *raise(PyObject *object) {
    if (PyExceptionInstance_Check(object)) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(object)), object);
        return nullptr;
    }
    if (!PyExceptionClass_Check(object)) {
        PyErr_SetString(PyExc_TypeError,
                        "raise: exception class must be a subclass of BaseException");
        return nullptr;
    }
    Ref instance = call(object);
    if (!instance) return nullptr;
    if (!PyExceptionInstance_Check(instance.get())) {
        PyErr_Format(PyExc_TypeError,
                     "calling %R should have returned an instance of BaseException, not %R", object,
                     reinterpret_cast<PyObject *>(Py_TYPE(instance.get())));
        return nullptr;
    }
    PyErr_SetObject(object, instance.get());
    return nullptr;
}

}  // namespace frame
