// What module code does besides reading globals: calls, attribute and method
// access, comparisons, imports, class creation, `with` statements, except
// clauses and raise.
#pragma once

#include <cstdint>
#include <cstring>

#include "frame/module.h"

namespace frame {

inline PyObject *arg(PyObject *object) {
    return object;
}
inline PyObject *arg(const Ref &object) {
    return object.get();
}

// --- calls ---------------------------------------------------------------

// Calls through the interpreter's call protocol inside its recursion guard.
// A callee that returns null without an exception yields SystemError.
PyObject *vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames);

template <class... A>
inline Ref call(PyObject *callable, const A &...args) {
    // The slot in front of the arguments lets the callee prepend `self`.
    PyObject *stack[] = {nullptr, arg(args)...};
    return Ref::steal(
        vectorcall(callable, stack + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
template <class... A>
inline Ref call(const Ref &callable, const A &...args) {
    return call(callable.get(), args...);
}

// A call whose last len(kwnames) arguments are keyword arguments.
template <class... A>
inline Ref call_keywords(PyObject *callable, PyObject *kwnames, const A &...args) {
    PyObject *stack[] = {nullptr, arg(args)...};
    Py_ssize_t positional = sizeof...(A) - PyTuple_GET_SIZE(kwnames);
    return Ref::steal(
        vectorcall(callable, stack + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// A method fetched for a call, as the interpreter's own method call does:
// when the type's attribute is a plain method, it is kept unbound together
// with its object instead of making a bound-method object.
struct Method {
    Ref callable;
    Ref self;  // set when `callable` is unbound
    explicit operator bool() const { return bool(callable); }
};

inline Method method(PyObject *object, PyObject *name) {
    PyObject *callable = nullptr;
    int unbound = method_for_call(object, name, &callable);
    Method result{Ref::steal(callable), Ref()};
    if (unbound) result.self = Ref::borrow(object);
    return result;
}

template <class... A>
inline Ref call(const Method &method, const A &...args) {
    if (method.self) {
        PyObject *stack[] = {nullptr, method.self.get(), arg(args)...};
        return Ref::steal(vectorcall(method.callable.get(), stack + 1,
                                     (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }
    return call(method.callable.get(), args...);
}

// --- attributes, truth, comparison ------------------------------------------

inline Ref attr(PyObject *object, PyObject *name) {
    return Ref::steal(PyObject_GetAttr(object, name));
}
inline Ref attr(const Ref &object, PyObject *name) {
    return attr(object.get(), name);
}

// Python's truth test: 1, 0, or -1 with an exception.
inline int truth(PyObject *object) {
    return PyObject_IsTrue(object);
}
inline int truth(const Ref &object) {
    return truth(object.get());
}

int compare_slow(PyObject *left, PyObject *right, int op);

// Whether the `count` bytes at `left` and at `right` are equal. Texts here
// are short: words loaded from both ends (overlapping when the count is not a
// multiple) cost a few instructions where a call of memcmp costs tens; long
// ones go to memcmp.
inline bool same_bytes(const char *left, const char *right, size_t count) {
    auto load = [](const char *at, auto word) {
        std::memcpy(&word, at, sizeof word);
        return word;
    };
    // The shortest first: suffixes and most names are under 8 bytes.
    if (count < 8) {
        if (count >= 4)
            return load(left, uint32_t()) == load(right, uint32_t()) &&
                   load(left + count - 4, uint32_t()) == load(right + count - 4, uint32_t());
        if (count >= 2)
            return load(left, uint16_t()) == load(right, uint16_t()) &&
                   load(left + count - 2, uint16_t()) == load(right + count - 2, uint16_t());
        return count == 0 || *left == *right;
    }
    if (count > 64) return std::memcmp(left, right, count) == 0;
    for (size_t i = 0; i + 8 < count; i += 8)
        if (load(left + i, uint64_t()) != load(right + i, uint64_t())) return false;
    return load(left + count - 8, uint64_t()) == load(right + count - 8, uint64_t());
}

// The characters of a compact ASCII str, which follow its header.
inline const char *ascii_data(PyObject *text) {
    return reinterpret_cast<const char *>(reinterpret_cast<PyASCIIObject *>(text) + 1);
}

bool same_text(PyObject *left, PyObject *right);

// Whether the exact str `text` ends with `suffix`, a name of a module's table
// whose text is ASCII (see ascii_text), as str.endswith answers: 1, 0, or -1
// with an exception. Such a name is a compact ASCII str, so only `text` is
// tested: a compact ASCII text, the usual case, compares inline, the rest out
// of line.
int text_ends_with_any(PyObject *text, PyObject *suffix);
inline int text_ends_with_name(PyObject *text, PyObject *suffix) {
    if (!PyUnicode_IS_COMPACT_ASCII(text)) [[unlikely]] return text_ends_with_any(text, suffix);
    Py_ssize_t length = PyUnicode_GET_LENGTH(text), tail = PyUnicode_GET_LENGTH(suffix);
    if (tail > length) return 0;
    return same_bytes(ascii_data(text) + (length - tail), ascii_data(suffix), tail);
}
// Whether a name's text is ASCII, for a compile-time check of the names
// text_ends_with_name is given.
consteval bool ascii_text(const char *text) {
    for (; *text; ++text)
        if (static_cast<unsigned char>(*text) >= 0x80) return false;
    return true;
}

// `left == right` (op Py_EQ) or `left != right` (Py_NE), as the interpreter
// evaluates it, then its truth: 1, 0, or -1 with an exception.
inline int compare(PyObject *left, PyObject *right, int op) {
    if (PyUnicode_CheckExact(left) && PyUnicode_CheckExact(right)) {
        bool same = left == right || same_text(left, right);
        return (op == Py_EQ) == same;
    }
    return compare_slow(left, right, op);
}
inline int equal(PyObject *left, PyObject *right) {
    return compare(left, right, Py_EQ);
}
// `object == name` for a name of a module's table, which is an exact str:
// only `object`'s type is tested.
inline int equal_name(PyObject *object, PyObject *name) {
    if (PyUnicode_CheckExact(object)) return object == name || same_text(object, name);
    return compare_slow(object, name, Py_EQ);
}
inline int not_equal(PyObject *left, PyObject *right) {
    return compare(left, right, Py_NE);
}

// --- imports and classes -------------------------------------------------------

// `import X`: the loaded module unless it is still initialising, else the
// import machinery (absolute, no from-list).
Ref import_module(Module &module, int name);
// `from X import ...`, first half: imports X with the tuple of names as from-list.
Ref import_names(Module &module, int name, int from_list);
// `from X import name`, second half: the attribute, or the loaded submodule.
Ref import_from(PyObject *from, PyObject *name);

// The namespace of a class statement, holding __module__ and __qualname__.
Ref class_namespace(Module &module, PyObject *qualname);
// `type(name, (), namespace)`.
Ref make_class(Module &module, PyObject *name, PyObject *namespace_);

// --- with, except, raise --------------------------------------------------------

// A special method looked up on the type and bound to the object; a missing
// one raises AttributeError with the name as its argument.
Ref special_method(PyObject *object, PyObject *name);

// The handled exception (sys.exc_info()) of a try statement's entry, put back
// on every way out of the statement.
class SavedHandled {
public:
    SavedHandled() : handled_(Ref::steal(handled_exception())) {}
    SavedHandled(const SavedHandled &) = delete;
    SavedHandled &operator=(const SavedHandled &) = delete;
    ~SavedHandled() { set_handled_exception(handled_.get()); }

private:
    Ref handled_;
};

// An exception taken from the raised state, normalised, its traceback stored
// on it, and made the handled exception, as an except clause sees it.
struct Caught {
    Ref type, value, traceback;
    // Raises it again unchanged, with its traceback.
    void raise_again() {
        type.reset();
        traceback.reset();
        raise_exception(value.release());
    }
};
Caught catch_raised();

// Whether the exception type matches an except clause's class (or tuple).
inline bool matches(const Caught &caught, PyObject *clause) {
    return PyErr_GivenExceptionMatches(caught.type.get(), clause);
}

// The raise statement with an object; always returns null with the exception set.
PyObject *raise(PyObject *object);

}  // namespace frame
