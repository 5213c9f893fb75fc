#include "frame/module.h"

#include <cstdio>
#include <cstring>

#include "frame/function.h"
#include "frame/lookup.h"
#include "frame/names.h"
#include "frame/traceback.h"

namespace frame {
namespace {

constexpr const char *runtime_module_name = "_view_frame";
constexpr int compiled_major = PY_MAJOR_VERSION;
constexpr int compiled_minor = PY_MINOR_VERSION;

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

// Copies one attribute of the import spec into the module's dict. A spec
// without it is skipped; None is copied unless `skip_none`.
int copy_spec_attribute(PyObject *spec, PyObject *dict, const char *from, const char *to,
                        bool skip_none) {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, from));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    if (skip_none && value.get() == Py_None) return 0;
    return PyDict_SetItemString(dict, to, value.get());
}

// Parses up to four dot-separated numbers from the start of the version text.
void running_version(int numbers[4]) {
    const char *text = Py_GetVersion();
    for (int i = 0; i < 4; ++i)
        numbers[i] = 0;
    for (int i = 0; i < 4; ++i) {
        int value = 0;
        while (*text >= '0' && *text <= '9')
            value = value * 10 + (*text++ - '0');
        numbers[i] = value;
        if (*text != '.') break;
        ++text;
    }
}

int check_version(const char *full_name) {
    int running[4];
    running_version(running);
    if (running[0] == compiled_major && running[1] == compiled_minor) return 0;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  compiled_major, compiled_minor, full_name, "does not match", running[0],
                  running[1]);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

}  // namespace

Module::Module(const ModuleTable &table, PyObject *(*create_step)(PyObject *, PyModuleDef *),
               int (*exec_step)(PyObject *))
    : PyModuleDef{PyModuleDef_HEAD_INIT,
                  table.def_name,
                  nullptr,
                  0,
                  no_methods,
                  nullptr,
                  nullptr,
                  nullptr,
                  nullptr},
      table(table), slot_table{{Py_mod_create, reinterpret_cast<void *>(create_step)},
                               {Py_mod_exec, reinterpret_cast<void *>(exec_step)}} {
    for (int i = 0; i <= support_slot_count; ++i)
        slot_table[2 + i] = support_slots[i];
    m_slots = slot_table;
}

PyObject *Module::create(PyObject *spec) {
    PyInterpreterState *state = PyThreadState_GetInterpreter(PyThreadState_Get());
    int64_t current = PyInterpreterState_GetID(state);
    if (current == -1) return nullptr;
    if (interpreter == -1) {
        interpreter = current;
    } else if (interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (module) {
        Py_INCREF(module);
        return module;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref created = Ref::steal(PyModule_NewObject(name.get()));
    if (!created) return nullptr;
    PyObject *dict = PyModule_GetDict(created.get());
    if (!dict || copy_spec_attribute(spec, dict, "loader", "__loader__", false) < 0 ||
        copy_spec_attribute(spec, dict, "origin", "__file__", false) < 0 ||
        copy_spec_attribute(spec, dict, "parent", "__package__", false) < 0 ||
        copy_spec_attribute(spec, dict, "submodule_search_locations", "__path__", true) < 0)
        return nullptr;
    return created.release();
}

int Module::exec(PyObject *candidate) {
    if (module) {
        if (module == candidate) return 0;
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     table.def_name);
        return -1;
    }
    Py_INCREF(candidate);
    module = candidate;
    globals = PyModule_GetDict(candidate);  // borrowed: the module keeps it
    watch_namespace(globals);
    names_ready = false;
    int status = prepare();
    if (status == 0) {
        status = table.body();
    } else if (names_ready) {
        // The failure gets the module body's entry, at line 1.
        Scope(*this, body_index(), globals).fail_status();
    }
    if (status < 0) forget();
    return status;
}

// The steps before the module body. Failures before the names table exists
// have no traceback entry of the module.
int Module::prepare() {
    PyObject *builtins_module = PyImport_AddModule("builtins");
    if (!builtins_module) return -1;
    Py_INCREF(builtins_module);
    Py_XSETREF(builtins, builtins_module);
    PyObject *support = PyImport_AddModule(runtime_module_name);
    if (!support) return -1;
    Py_INCREF(support);
    Py_XSETREF(runtime, support);
    if (PyModule_Check(support)) watch_namespace(PyModule_GetDict(support));
    if (PyObject_SetAttrString(module, "__builtins__", builtins) < 0) return -1;
    if (check_version(table.full_name) < 0) return -1;
    if (!empty_tuple && !(empty_tuple = PyTuple_New(0))) return -1;
    if (!empty_bytes && !(empty_bytes = PyBytes_FromStringAndSize("", 0))) return -1;
    if (!empty_str && !(empty_str = PyUnicode_FromStringAndSize("", 0))) return -1;
    function_type = shared_function_type();
    if (!function_type) return -1;
    return build_tables();
}

int Module::build_tables() {
    if (allocate_table(sites, table.names.count) < 0) return -1;
    if (build_names(*this) < 0) return -1;
    if (!full_name && !(full_name = PyUnicode_InternFromString(table.full_name))) return -1;
    if (!switch_name && !(switch_name = PyUnicode_InternFromString("cline_in_traceback")))
        return -1;
    names_ready = true;
    // From here on a failure gets the module body's traceback entry.
    PyObject *loaded = PyImport_GetModuleDict();
    PyObject *present = PyDict_GetItemWithError(loaded, full_name);
    if (!present) {
        if (PyErr_Occurred() || PyDict_SetItem(loaded, full_name, module) < 0) return -1;
    }
    if (keep_builtins(*this) < 0) return -1;
    if (build_tuples(*this) < 0) return -1;
    return build_code(*this);
}

// A failed initialisation: the state forgets the module, so that a later
// import starts again from the create step.
void Module::forget() {
    PyObject *failed = module;
    module = nullptr;
    globals = nullptr;
    Py_XDECREF(failed);
}

}  // namespace frame
