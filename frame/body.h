// What every module body repeats: its names table and the three helpers its
// statements use (N, G, bind), the rows of its function table, checked
// against the bodies they run, and the module object with its init function.
//
// A module is then one .cpp file: the names, the function bodies, the
// function table, the module body, the module table, FRAME_MODULE. See
// docs/module-bodies.md.
#pragma once

#include <array>

#include "frame/frame.h"

// --- the names table ---------------------------------------------------------

#define FRAME_NAME_ID(id, text) id,
#define FRAME_NAME_TEXT(id, text) text,

// `namespace n` with one id per name of LIST, an X-macro of X(id, "text")
// entries, and their texts in the same order: `n::os`, `n::texts`, `n::count`.
#define FRAME_NAMES(LIST)                                                                  \
    namespace n {                                                                          \
    enum Id : int { LIST(FRAME_NAME_ID) count };                                           \
    inline constexpr const char *texts[] = {LIST(FRAME_NAME_TEXT)};                        \
    }

// The names table of a module, and the helpers of its bodies:
//   N(n::os)        the interned name object
//   G(here, n::os)  the global `os` as the code in scope `here` reads it
//   bind(n::os, v)  `os = v` at module level
#define FRAME_MODULE_NAMES(LIST)                                                           \
    FRAME_NAMES(LIST)                                                                      \
    extern frame::Module module;                                                           \
    inline PyObject *N(n::Id id) { return module.names[id]; }                              \
    inline frame::Ref G(const frame::Scope &here, n::Id id) {                              \
        return frame::global(here, id);                                                    \
    }                                                                                      \
    inline int bind(n::Id id, const frame::Ref &value) {                                   \
        return PyDict_SetItem(module.globals, N(id), value.get());                         \
    }

// The module object of the module `name`, in namespace `space`, made from its
// ModuleTable, and the init function the interpreter looks for. Used once,
// at the end of the module's file, outside its namespace.
#define FRAME_MODULE(name, space, table)                                                   \
    namespace space {                                                                      \
    frame::Module module(table, frame::create_slot<module>, frame::exec_slot<module>);     \
    }                                                                                      \
    PyMODINIT_FUNC PyInit_##name() { return PyModuleDef_Init(&space::module); }

namespace frame {

// --- the function table ------------------------------------------------------

// A list of name ids or of types with static storage, written inside a table
// row: `ids<n::t, n::filename>`, `types<&PyUnicode_Type>`.
template <auto... I>
inline constexpr std::array<int, sizeof...(I)> id_array{static_cast<int>(I)...};
template <auto... I>
inline constexpr Items<int> ids{id_array<I...>};
template <PyTypeObject *... T>
inline constexpr std::array<PyTypeObject *, sizeof...(T)> type_array{T...};
template <PyTypeObject *... T>
inline constexpr Items<PyTypeObject *> types{type_array<T...>};

// One function as its Python source states it.
struct FunctionRow {
    const char *name;                      // plain name: "get_path"
    int qualname;                          // name id of the qualified name: n::View_index
    int line;                              // line of the `def` statement
    Items<int> parameters;                 // ids<...> of the parameters, in order
    int defaults = 0;                      // how many of the last parameters have a default
    Items<int> locals = {};                // ids<...> of the other local names
    Items<PyTypeObject *> declared = {};   // types<...>: exact type per parameter (nullptr: any)
    const char *doc = nullptr;             // UTF-8 documentation
    int flags = 0;                         // FunctionFlags
};

// The disagreements a row can have with its body. They are not constexpr, so
// a row that reaches one fails to compile, and the compiler names it.
namespace table_error {
void parameters_differ_from_the_body_arity();
void more_defaults_than_parameters();
void declared_types_differ_from_the_parameters();
void body_not_in_the_function_table();
}  // namespace table_error

// A text that names the body `Body`: its index in a table is found by
// comparing these texts, since the compiler does not always allow comparing
// function addresses in constant expressions (not under UBSan).
template <auto Body>
consteval const char *body_key() {
    return __PRETTY_FUNCTION__;
}

consteval bool same_key(const char *left, const char *right) {
    for (;; ++left, ++right) {
        if (*left != *right) return false;
        if (!*left) return true;
    }
}

// The table row of the function whose body is `Body`. Its vectorcall entry
// is made from the body itself, and the row must agree with the body: as
// many parameters as the body takes after its scope (binding writes that
// many values into an array of the body's arity), no more defaults than
// parameters, one declared type per parameter or none at all.
template <auto Body>
consteval FunctionSpec function(const FunctionRow &row) {
    if (row.parameters.count != static_cast<int>(arity(Body)))
        table_error::parameters_differ_from_the_body_arity();
    if (row.defaults < 0 || row.defaults > row.parameters.count)
        table_error::more_defaults_than_parameters();
    if (row.declared.count != 0 && row.declared.count != row.parameters.count)
        table_error::declared_types_differ_from_the_parameters();
    return FunctionSpec{
        .name = row.name,
        .qualname = row.qualname,
        .entry = row.declared.count ? entry<Body, true> : entry<Body, false>,
        .doc = row.doc,
        .line = row.line,
        .parameters = row.parameters,
        .locals = row.locals,
        .required = row.parameters.count - row.defaults,
        .declared = row.declared.count ? row.declared.items : nullptr,
        .flags = row.flags,
        .body_key = body_key<Body>(),
    };
}

// The index in `table` of the function whose body is `Body`, as
// new_function takes it: `index_of<get_path>(functions)`.
template <auto Body, size_t K>
consteval int index_of(const FunctionSpec (&table)[K]) {
    for (size_t i = 0; i < K; ++i)
        if (same_key(table[i].body_key, body_key<Body>())) return static_cast<int>(i);
    table_error::body_not_in_the_function_table();
    return -1;
}

// The statement scope of the module body.
inline Scope module_scope(Module &module) {
    return Scope(module, module.body_index(), module.globals);
}

}  // namespace frame
