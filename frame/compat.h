// What differs between the interpreter versions the frame supports (3.9 to
// 3.15), in one place: every other file calls these and reads the same on
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

// --- the bool singletons --------------------------------------------------------

// A new reference to True or False. From 3.12 both are immortal: their count
// never changes, so the reference is taken without touching it.
inline PyObject *new_bool(bool value) {
    PyObject *result = value ? Py_True : Py_False;
#if !VIEW_PY_AT_LEAST(3, 12)
    Py_INCREF(result);
#endif
    return result;
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

#if VIEW_PY_AT_LEAST(3, 11)
namespace code_body {

// The body of a function that only raises, as this interpreter's own compiler
// makes it: its bytecode (with whatever inline caches the instructions have
// in this release), its exception table and its stack size, in a tuple of
// three; null with an exception on failure. Opcode numbers and cache sizes
// change between releases (3.14 renumbered the opcodes, 3.15 gave RESUME a
// cache entry), so none is written here: a release the frame has never seen
// still gets bytecode that means what it says.
inline PyObject *compiled() {
    PyObject *module = Py_CompileString("def f(): raise\n", "<frame>", Py_file_input);
    if (!module) return nullptr;
    PyObject *consts = PyObject_GetAttrString(module, "co_consts");
    Py_DECREF(module);
    if (!consts) return nullptr;
    PyObject *body = nullptr;
    Py_ssize_t count = PyTuple_Check(consts) ? PyTuple_GET_SIZE(consts) : 0;
    for (Py_ssize_t i = 0; i < count && !body; ++i) {
        PyObject *item = PyTuple_GET_ITEM(consts, i);
        if (PyCode_Check(item)) body = item;
    }
    PyObject *result = nullptr;
    if (!body) {
        PyErr_SetString(PyExc_SystemError, "the compiler made no function body");
    } else {
        PyObject *bytecode = PyObject_GetAttrString(body, "co_code");
        PyObject *exceptions =
            bytecode ? PyObject_GetAttrString(body, "co_exceptiontable") : nullptr;
        PyObject *stack = exceptions ? PyObject_GetAttrString(body, "co_stacksize") : nullptr;
        if (stack) {
            if (PyBytes_Check(bytecode) && PyBytes_Check(exceptions) && PyLong_Check(stack))
                result = PyTuple_Pack(3, bytecode, exceptions, stack);
            else
                PyErr_SetString(PyExc_SystemError, "unexpected code object attributes");
        }
        Py_XDECREF(bytecode);
        Py_XDECREF(exceptions);
        Py_XDECREF(stack);
    }
    Py_DECREF(consts);
    return result;
}

// Bytecode is counted in code units of an opcode byte and an argument byte
// (an inline cache entry takes one unit too); the line table counts units.
inline constexpr Py_ssize_t unit_bytes = 2;

// A line table that puts every one of `units` code units on the first line
// without columns: entries of at most eight units each (the most one entry
// can cover), each an entry byte (the high bit marks the start of an entry,
// then the kind, then the length less one) and a line delta of 0, a one-byte
// varint. The kind comes from the interpreter's header.
inline PyObject *line_table(Py_ssize_t units) {
    constexpr int entry_start = 0x80, kind_shift = 3, longest_entry = 8;
    const int kind = PY_CODE_LOCATION_INFO_NO_COLUMNS;
    Py_ssize_t entries = (units + longest_entry - 1) / longest_entry;
    PyObject *table = PyBytes_FromStringAndSize(nullptr, 2 * entries);
    if (!table) return nullptr;
    char *out = PyBytes_AS_STRING(table);
    for (Py_ssize_t left = units; left > 0; left -= longest_entry) {
        Py_ssize_t length = left < longest_entry ? left : longest_entry;
        *out++ = static_cast<char>(entry_start | kind << kind_shift | (length - 1));
        *out++ = 0;
    }
    return table;
}

}  // namespace code_body
#endif

// The code object of a function: its signature and local names, no
// constants, names, free or cell variables. Up to 3.10 the bytecode is empty
// (running it raises SystemError). From 3.11 the interpreter runs code
// objects without checking them, so empty bytecode would crash it: the body
// is a bare `raise` (RuntimeError when nothing is being handled), compiled
// by the interpreter itself, which needs no constants or names; the line
// table gives all of it the definition line without columns, so a traceback
// through it works.
inline PyObject *make_code_object(int argcount, int nlocals, int flags, PyObject *varnames,
                                  PyObject *filename, PyObject *name, int firstlineno,
                                  PyObject *empty_tuple, PyObject *empty_bytes) {
#if VIEW_PY_AT_LEAST(3, 11)
    (void)empty_bytes;
    PyObject *body = code_body::compiled();
    if (!body) return nullptr;
    PyObject *bytecode = PyTuple_GET_ITEM(body, 0);
    PyObject *exceptions = PyTuple_GET_ITEM(body, 1);
    long stacksize = PyLong_AsLong(PyTuple_GET_ITEM(body, 2));
    PyObject *lines = nullptr;
    if (!(stacksize == -1 && PyErr_Occurred()))
        lines = code_body::line_table(PyBytes_GET_SIZE(bytecode) / code_body::unit_bytes);
    PyCodeObject *code = nullptr;
    if (lines) {
#if VIEW_PY_AT_LEAST(3, 12)
        code = PyUnstable_Code_NewWithPosOnlyArgs(
#else
        code = PyCode_NewWithPosOnlyArgs(
#endif
            argcount, 0, 0, nlocals, static_cast<int>(stacksize), flags, bytecode, empty_tuple,
            empty_tuple, varnames, empty_tuple, empty_tuple, filename, name, name, firstlineno,
            lines, exceptions);
        Py_DECREF(lines);
    }
    Py_DECREF(body);
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
