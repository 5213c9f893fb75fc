// What differs between the interpreter versions the frame supports (3.9 to
// 3.13), in one place: every other file calls these and reads the same on
// every version. The newest public API is the reference; older versions get
// the fallback (and, where it is measurably faster there, a private call that
// those versions still have).
#pragma once

#include <Python.h>

#include <cstdint>
#include <frameobject.h>

#define VIEW_PY_AT_LEAST(major, minor) (PY_VERSION_HEX >= (((major) << 24) | ((minor) << 16)))

namespace frame {

// --- text ----------------------------------------------------------------------

// Makes a str's characters readable (legacy strings of old versions); 0, or
// -1 with an exception. Every str is ready from 3.12 on.
inline int ready_text(PyObject *text) {
#if VIEW_PY_AT_LEAST(3, 12)
    (void)text;
    return 0;
#else
    return PyUnicode_READY(text);
#endif
}

// --- exceptions ----------------------------------------------------------------

// The exception being raised, taken out of the thread state while other code
// runs, and put back unchanged (not normalised) afterwards.
class SetAside {
public:
#if VIEW_PY_AT_LEAST(3, 12)
    SetAside() noexcept : exception_(PyErr_GetRaisedException()) {}
    void restore() noexcept {
        PyErr_SetRaisedException(exception_);
        exception_ = nullptr;
    }

private:
    PyObject *exception_;
#else
    SetAside() noexcept {
        PyErr_Fetch(&type_, &value_, &traceback_);
    }
    void restore() noexcept {
        PyErr_Restore(type_, value_, traceback_);
        type_ = value_ = traceback_ = nullptr;
    }

private:
    PyObject *type_, *value_, *traceback_;
#endif
public:
    SetAside(const SetAside &) = delete;
    SetAside &operator=(const SetAside &) = delete;
};

// The exception being raised, taken out of the thread state as an instance
// whose __traceback__ holds its traceback (a new reference), as an except
// clause receives it; null when none is raised.
inline PyObject *take_raised_exception() {
#if VIEW_PY_AT_LEAST(3, 12)
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value && traceback) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

// Raises `exception` (an instance; the reference is stolen) with the
// traceback it carries.
inline void raise_exception(PyObject *exception) {
#if VIEW_PY_AT_LEAST(3, 12)
    PyErr_SetRaisedException(exception);
#else
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(exception));
    Py_INCREF(type);
    PyErr_Restore(type, exception, PyException_GetTraceback(exception));
#endif
}

// The handled exception (what sys.exc_info() shows), a new reference or None.
inline PyObject *handled_exception() {
#if VIEW_PY_AT_LEAST(3, 11)
    PyObject *handled = PyErr_GetHandledException();
    if (handled) return handled;
    Py_INCREF(Py_None);
    return Py_None;
#else
    PyObject *type, *value, *traceback;
    PyErr_GetExcInfo(&type, &value, &traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    if (value) return value;
    Py_INCREF(Py_None);
    return Py_None;
#endif
}

// Makes `exception` (an instance or None; borrowed) the handled exception.
inline void set_handled_exception(PyObject *exception) {
#if VIEW_PY_AT_LEAST(3, 11)
    PyErr_SetHandledException(exception);
#else
    if (exception == Py_None) {
        PyErr_SetExcInfo(nullptr, nullptr, nullptr);
        return;
    }
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(exception));
    Py_INCREF(type);
    Py_INCREF(exception);
    PyErr_SetExcInfo(type, exception, PyException_GetTraceback(exception));
#endif
}

// --- attributes and methods ----------------------------------------------------------

// An attribute, or null without an exception when the object has none.
inline PyObject *optional_attribute(PyObject *object, PyObject *name) {
#if VIEW_PY_AT_LEAST(3, 13)
    PyObject *value = nullptr;
    PyObject_GetOptionalAttr(object, name, &value);
    return value;
#else
    PyObject *value = PyObject_GetAttr(object, name);
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
    return value;
#endif
}

// The method `name` of `object` for a call. Returns 1 when `*callable` is
// the type's plain function, to be called with `object` first (no bound
// method made), 0 when it is the attribute itself; null in `*callable` with
// an exception on failure.
inline int method_for_call(PyObject *object, PyObject *name, PyObject **callable) {
#if VIEW_PY_AT_LEAST(3, 13)
    *callable = PyObject_GetAttr(object, name);
    return 0;
#else
    return _PyObject_GetMethod(object, name, callable);
#endif
}

// --- dictionaries ---------------------------------------------------------------

// The value of a str key with a known hash, a new reference; null without an
// exception when absent.
inline PyObject *dict_item(PyObject *dict, PyObject *key) {
#if VIEW_PY_AT_LEAST(3, 13)
    PyObject *value = nullptr;
    PyDict_GetItemRef(dict, key, &value);
    return value;
#elif VIEW_PY_AT_LEAST(3, 12)
    PyObject *value = PyDict_GetItemWithError(dict, key);
    Py_XINCREF(value);
    return value;
#else
    // The names are hashed once when they are made: the str keeps its hash.
    Py_hash_t hash = reinterpret_cast<PyASCIIObject *>(key)->hash;
    PyObject *value = _PyDict_GetItem_KnownHash(dict, key, hash);
    Py_XINCREF(value);
    return value;
#endif
}

// Versions of watched namespaces. Before 3.12 every dict carries a version
// tag that changes on each change of the dict and is never reused. From 3.12
// the tag is deprecated (and gone in 3.14): a dict watcher raises a counter
// instead, before each change of any namespace the frame watches. Either way
// a value read from a namespace at version v is current while the version is
// still v. Version 0 means "not watched": nothing read then may be cached.
#if VIEW_PY_AT_LEAST(3, 12)
namespace watch {
// Each module links its own copy of the frame, hence its own watcher.
inline int watcher = -1;
inline bool unavailable = false;
inline uint64_t generation = 1;
inline int on_change(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) {
    ++generation;
    return 0;
}
}  // namespace watch
#endif

// Starts watching `dict` for namespace_version. Never fails: when the
// interpreter has no watcher slot left, the namespace is left unwatched and
// namespace_version reports 0 for it.
inline void watch_namespace(PyObject *dict) {
#if VIEW_PY_AT_LEAST(3, 12)
    if (watch::unavailable) return;
    if (watch::watcher < 0) {
        watch::watcher = PyDict_AddWatcher(watch::on_change);
        if (watch::watcher < 0) {
            PyErr_Clear();
            watch::unavailable = true;
            return;
        }
    }
    if (PyDict_Watch(watch::watcher, dict) < 0) PyErr_Clear();
    ++watch::generation;  // whatever was read before watching began is stale
#else
    (void)dict;
#endif
}

// The version of a namespace given to watch_namespace (0: do not cache).
inline uint64_t namespace_version(PyObject *dict) {
#if VIEW_PY_AT_LEAST(3, 12)
    (void)dict;
    return watch::unavailable ? 0 : watch::generation;
#else
    // Deprecated only from 3.12, which takes the branch above.
    return reinterpret_cast<PyDictObject *>(dict)->ma_version_tag;
#endif
}

// --- module definition ----------------------------------------------------------

// The slots after create and exec: what the module declares about the
// interpreters it can live in. All its state is process-wide, so from 3.12
// it says it cannot be loaded into several interpreters (an isolated
// sub-interpreter then refuses it with the interpreter's own ImportError);
// from 3.13 it also says it relies on the global interpreter lock.
inline constexpr PyModuleDef_Slot support_slots[] = {
#if VIEW_PY_AT_LEAST(3, 12)
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#if VIEW_PY_AT_LEAST(3, 13)
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};
inline constexpr int support_slot_count = sizeof support_slots / sizeof support_slots[0] - 1;

// --- code objects and frames -----------------------------------------------------------

// The code object of a function: its signature and local names, no
// constants, names, free or cell variables. Up to 3.10 the bytecode is empty
// (running it raises SystemError). From 3.11 the interpreter runs code
// objects without checking them, so empty bytecode would crash it: the body
// is the two instructions `RESUME 0; RAISE_VARARGS 0` (a bare `raise`, which
// raises RuntimeError when nothing is being handled), which need no stack,
// constants or names; the line table gives both the definition line (one
// entry without columns, line delta 0), so a traceback through them works.
inline PyObject *make_code_object(int argcount, int nlocals, int flags, PyObject *varnames,
                                  PyObject *filename, PyObject *name, int firstlineno,
                                  PyObject *empty_tuple, PyObject *empty_bytes) {
#if VIEW_PY_AT_LEAST(3, 11)
#if VIEW_PY_AT_LEAST(3, 13)
    constexpr char resume = 149, raise_varargs = 101;
#else
    constexpr char resume = static_cast<char>(151), raise_varargs = static_cast<char>(130);
#endif
    const char instructions[] = {resume, 0, raise_varargs, 0};
    constexpr int no_columns = 13, code_units = 2;
    const char lines[] = {static_cast<char>(0x80 | no_columns << 3 | (code_units - 1)), 0};
    PyObject *bytecode = PyBytes_FromStringAndSize(instructions, sizeof instructions);
    if (!bytecode) return nullptr;
    PyObject *line_table = PyBytes_FromStringAndSize(lines, sizeof lines);
    if (!line_table) {
        Py_DECREF(bytecode);
        return nullptr;
    }
    (void)nlocals;  // the interpreter counts the local names itself
#if VIEW_PY_AT_LEAST(3, 12)
    PyCodeObject *code = PyUnstable_Code_NewWithPosOnlyArgs(
#else
    PyCodeObject *code = PyCode_NewWithPosOnlyArgs(
#endif
        argcount, 0, 0, nlocals, 0, flags, bytecode, empty_tuple, empty_tuple, varnames,
        empty_tuple, empty_tuple, filename, name, name, firstlineno, line_table, empty_bytes);
    Py_DECREF(bytecode);
    Py_DECREF(line_table);
    return reinterpret_cast<PyObject *>(code);
#else
    PyCodeObject *code = PyCode_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, flags, empty_bytes, empty_tuple, empty_tuple, varnames,
        empty_tuple, empty_tuple, filename, name, firstlineno, empty_bytes);
    // The constructor adds "no free variables" on its own; these code objects
    // show exactly the flags they were given.
    if (code) code->co_flags = flags;
    return reinterpret_cast<PyObject *>(code);
#endif
}

// A frame for a traceback entry of `code` at `line` (null with an exception
// when it cannot be made). From 3.11 frames are opaque and a new frame
// reports its code's first line, so `code` must have been made with `line` as
// its first line; before 3.11 the frame's line is set explicitly.
inline PyFrameObject *traceback_frame(PyObject *code, PyObject *globals, int line) {
    PyFrameObject *frame =
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject *>(code), globals, nullptr);
#if VIEW_PY_AT_LEAST(3, 11)
    (void)line;
#else
    if (frame) frame->f_lineno = line;
#endif
    return frame;
}

}  // namespace frame

namespace frame {

// The attribute `name` found along the type's method resolution order
// without running descriptors: how the interpreter finds special methods
// (`with`, operators). Borrowed, or null without an exception. CPython has no
// public spelling of this lookup, so its private one stays behind this wrapper.
inline PyObject *type_lookup(PyTypeObject *type, PyObject *name) {
    return _PyType_Lookup(type, name);
}

}  // namespace frame
