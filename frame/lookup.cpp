#include "frame/lookup.h"

namespace frame {
namespace {

// An attribute of the builtins module, or null without an exception when it
// has none.
PyObject *builtin_attribute(Module &module, PyObject *name) {
    return optional_attribute(module.builtins, name);
}

[[gnu::cold]] void name_error(PyObject *name) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
}

// The name among the builtins, or NameError.
PyObject *builtin_or_name_error(Module &module, PyObject *name) {
    PyObject *value = builtin_attribute(module, name);
    if (!value && !PyErr_Occurred()) name_error(name);
    return value;
}

}  // namespace

PyObject *lookup_global_in(Module &module, PyObject *globals, int id) {
    PyObject *name = module.names[id];
    PyObject *value = PyDict_GetItemWithError(globals, name);
    if (value) {
        Py_INCREF(value);
        return value;
    }
    if (PyErr_Occurred()) return nullptr;
    return builtin_or_name_error(module, name);
}

PyObject *lookup_global_slow(Module &module, int id) {
    PyObject *name = module.names[id];
    PyObject *globals = module.globals;
    // The version before the lookup: should the lookup itself run code that
    // changes the dict, the version moves on and the value is not trusted.
    uint64_t version = namespace_version(globals);
    PyObject *value = dict_item(globals, name);
    if (value) {
        GlobalSite &site = module.sites[id];
        site.version = version;
        site.value = version ? value : nullptr;
        return value;
    }
    if (PyErr_Occurred()) return nullptr;
    // Values found among the builtins are not cached: the builtins can change
    // without the module's dict changing.
    return builtin_or_name_error(module, name);
}

int keep_builtins(Module &module) {
    const ModuleTable &table = module.table;
    if (allocate_table(module.kept_builtins, table.builtins.count) < 0) return -1;
    for (int i = 0; i < table.builtins.count; ++i) {
        PyObject *name = module.names[table.builtins[i]];
        PyObject *value = builtin_attribute(module, name);
        if (!value) {
            if (!PyErr_Occurred()) name_error(name);
            return -1;
        }
        Py_XSETREF(module.kept_builtins[i], value);
    }
    return 0;
}

}  // namespace frame
