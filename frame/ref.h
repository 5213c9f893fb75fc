// Owning reference to an interpreter object.
//
// A Ref owns exactly one reference (or none) and gives it back when it goes
// out of scope, on the normal path and on every error path alike. Function
// bodies hold every new reference in a Ref; a bare PyObject* is always a
// borrowed reference.
#pragma once

#include <Python.h>

#include "frame/compat.h"

namespace frame {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : object_(other.object_) { other.object_ = nullptr; }
    Ref &operator=(Ref &&other) noexcept {
        PyObject *old = object_;
        object_ = other.object_;
        other.object_ = nullptr;
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    // Takes over a new reference (possibly null, as returned by a failing API call).
    static Ref steal(PyObject *object) noexcept {
        Ref ref;
        ref.object_ = object;
        return ref;
    }
    // Adds a reference of its own to a borrowed one.
    static Ref borrow(PyObject *object) noexcept {
        Py_XINCREF(object);
        return steal(object);
    }

    PyObject *get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Hands the reference to the caller; the Ref is empty afterwards.
    PyObject *release() noexcept {
        PyObject *object = object_;
        object_ = nullptr;
        return object;
    }
    // Drops the reference. The field is cleared before the release, since
    // releasing may run arbitrary code that could look at it again.
    void reset() noexcept {
        PyObject *old = object_;
        object_ = nullptr;
        Py_XDECREF(old);
    }

private:
    PyObject *object_ = nullptr;
};

// The new reference to None that a function without a result returns.
inline PyObject *none() noexcept {
    Py_INCREF(Py_None);
    return Py_None;
}

}  // namespace frame
