// Traceback entries for failures in module code, and the statement scope
// (`Scope`) through which a function body reports them.
//
// The functions run without interpreter frames; a frame object is made only
// when an exception leaves a statement, and its code object comes from a
// cache keyed by line, so a failing statement costs one frame allocation.
#pragma once

#include <source_location>

#include "frame/module.h"

namespace frame {

// Adds one traceback entry for `function` (a function index, or the module
// body's, Module::body_index) at `line` to the exception being raised; its frame has `globals`, the
// namespace the failing code reads. `position` and `file` name the
// implementation's own source; they show only when the runtime module's
// `cline_in_traceback` switch is on.
void add_traceback(Module &module, int function, int line, int position, const char *file,
                   PyObject *globals);

// What a failing statement returns: the null result of a function, whether
// it returns a bare reference or a Ref.
struct Failure {
    operator PyObject *() const noexcept { return nullptr; }
    operator Ref() const noexcept { return Ref(); }
};

// The statement scope of one function body or of the module body: it knows
// the namespace the code reads its globals from (a function's own
// __globals__, which outlives a failed import of its module) and the current
// source line, so that a failure anywhere in a statement reports that
// statement's line.
class Scope {
public:
    Scope(Module &module, int function, PyObject *globals) noexcept
        : module_(module), globals_(globals), function_(function) {}

    void at(int line) noexcept { line_ = line; }
    int line() const noexcept { return line_; }
    Module &module() const noexcept { return module_; }
    PyObject *globals() const noexcept { return globals_; }

    // Adds the entry of the current statement to the exception that is set;
    // returns the null result of a failing function.
    [[gnu::cold, gnu::noinline]] Failure
    fail(std::source_location where = std::source_location::current()) const {
        trace(where);
        return Failure();
    }
    [[gnu::cold, gnu::noinline]] int
    fail_status(std::source_location where = std::source_location::current()) const {
        trace(where);
        return -1;
    }
    void trace(std::source_location where) const {
        add_traceback(module_, function_, line_, static_cast<int>(where.line()), where.file_name(),
                      globals_);
    }

private:
    Module &module_;
    PyObject *globals_;  // borrowed: the function or the module keeps it
    int function_;  // function index, or the module body's
    int line_ = 1;
};

}  // namespace frame
