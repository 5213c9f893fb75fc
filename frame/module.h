// Module definition, create and exec steps, and the process-wide state of a module.
//
// A module is described by a ModuleTable (its identity, names, constants and
// function signatures) and a body; the frame turns the two into a module
// object when the interpreter imports it. All state is process-wide: the
// interpreter's per-module state is not used, so a module lives in one
// interpreter per process.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "frame/ref.h"

namespace frame {

struct Module;

// Flags of a function object.
enum FunctionFlags : int {
    function_static = 1,     // wrapped in staticmethod by the body
    function_coroutine = 2,  // marked as a coroutine (no function here has it)
};

// A table's items and their count, made from an array only: the count is
// the array's own, so it cannot disagree with what the array holds.
template <class T>
struct Items {
    const T *items = nullptr;
    int count = 0;

    constexpr Items() = default;
    template <size_t K>
    constexpr Items(const T (&array)[K]) : items(array), count(static_cast<int>(K)) {}
    template <size_t K>
    constexpr Items(const std::array<T, K> &array)
        : items(array.data()), count(static_cast<int>(K)) {}
    constexpr const T &operator[](int index) const { return items[index]; }
    constexpr const T *begin() const { return items; }
    constexpr const T *end() const { return items + count; }
};

// What the frame knows of a function before it exists: the method definition
// of its function object and the signature that binding works from. Made by
// `function<Body>` (frame/body.h), which takes the count of parameters from
// the body itself and refuses, at compile time, a table that disagrees.
struct FunctionSpec {
    const char *name;               // plain name, as in messages
    int qualname;                   // name id of the qualified name
    vectorcallfunc entry;           // binding and body, see binding.h
    const char *doc;                // UTF-8 documentation, or nullptr
    int line;                       // definition line
    Items<int> parameters;          // name ids, all positional-or-keyword
    Items<int> locals;              // name ids of the other locals
    int required;                   // parameters without a default
    PyTypeObject *const *declared;  // exact type per parameter (nullptr: any), or nullptr
    int flags;                      // FunctionFlags
    const char *body_key;           // names the body, for index_of (frame/body.h)

    int argcount() const { return parameters.count; }
};

// A tuple of names made once (keyword names of calls, from-lists).
using NameTuple = Items<int>;

struct ModuleTable {
    const char *def_name;        // name in the module definition: "file"
    const char *full_name;       // "View.file"
    const char *code_path;       // file name of code objects
    const char *traceback_path;  // file name of traceback entries
    Items<const char *> names;   // the names table, indexed by name id
    Items<int> builtins;         // name ids of the built-ins kept from import on
    Items<long> ints;            // integer constants
    Items<NameTuple> tuples;     // constant tuples of names
    Items<FunctionSpec> functions;
    int (*body)();  // runs the module's statements; 0 or -1 with an exception
};

// The cached value of one module global, one per name id, shared by every
// place of the code that reads that name. The value is borrowed: it is valid
// exactly while the dict still has the version it was read at, since any
// change of the dict changes its version (versions are never reused).
struct GlobalSite {
    uint64_t version;
    PyObject *value;
};

struct TracebackEntry {
    long key;      // source line, or the negated implementation line
    int function;  // function index, or function_count for the module body
    int line;   // source line the code object shows
    PyObject *code;
};

struct TracebackCache {
    TracebackEntry *entries = nullptr;
    int count = 0;
    int capacity = 0;
};

struct Module : PyModuleDef {
    Module(const ModuleTable &table, PyObject *(*create)(PyObject *, PyModuleDef *),
           int (*exec)(PyObject *));

    const ModuleTable &table;
    PyModuleDef_Slot slot_table[3 + support_slot_count];

    // The process-wide state; kept until the process ends and never freed.
    PyObject *module = nullptr;  // the module of the one successful initialisation
    int64_t interpreter = -1;    // the interpreter that first created the module
    PyObject *globals = nullptr;
    PyObject *full_name = nullptr;  // "View.file": __module__ of functions and classes
    PyObject *builtins = nullptr;
    PyObject *runtime = nullptr;  // the frame's runtime support module
    PyObject *empty_tuple = nullptr;
    PyObject *empty_bytes = nullptr;
    PyObject *empty_str = nullptr;
    PyTypeObject *function_type = nullptr;
    PyObject **names = nullptr;
    PyObject **kept_builtins = nullptr;
    PyObject **ints = nullptr;
    PyObject **tuples = nullptr;
    PyObject **code = nullptr;  // one code object per function
    PyObject *one_none = nullptr;  // (None,): the defaults of `f(x=None)`
    GlobalSite *sites = nullptr;   // indexed by name id
    TracebackCache tracebacks;
    PyObject *switch_name = nullptr;  // "cline_in_traceback", interned once
    bool names_ready = false;         // the names table of this attempt exists
    uint64_t switch_version = 0;      // version of the runtime module's dict when read
    int switch_value = 0;             // the switch's truth at that version

    PyObject *create(PyObject *spec);
    int exec(PyObject *module);

    PyObject *name(int id) const { return names[id]; }
    PyObject *builtin(int index) const { return kept_builtins[index]; }
    // The function index that traceback entries give the module body.
    int body_index() const { return table.functions.count; }

private:
    int prepare();
    int build_tables();
    void forget();
};

// Allocates one of the state's tables on first use; it lives until the
// process ends, and later initialisations reuse it. 0, or -1 with MemoryError.
template <class T>
int allocate_table(T *&table, int count) {
    if (!table && count) table = static_cast<T *>(PyMem_Calloc(count, sizeof(T)));
    if (table || !count) return 0;
    PyErr_NoMemory();
    return -1;
}

template <Module &M>
PyObject *create_slot(PyObject *import_spec, PyModuleDef *) {
    return M.create(import_spec);
}
template <Module &M>
int exec_slot(PyObject *module) {
    return M.exec(module);
}

}  // namespace frame
