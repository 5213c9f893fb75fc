#include "frame/function.h"

#include <cstddef>

namespace frame {
namespace {

constexpr const char *shared_module_name = "_view_frame_1_0";
constexpr const char *shared_type_name = "view_function";

Function *as_function(PyObject *object) {
    return reinterpret_cast<Function *>(object);
}

PyObject *new_ref(PyObject *object) {
    Py_INCREF(object);
    return object;
}

PyObject *or_none(PyObject *object) {
    return new_ref(object ? object : Py_None);
}

// Stores a lazily made attribute value unless another thread stored one
// while this one was being made (any allocation can switch threads).
void settle(PyObject *&field, PyObject *made) {
    if (field)
        Py_DECREF(made);
    else
        field = made;
}

// --- attributes ---------------------------------------------------------------

PyObject *get_name(PyObject *self, void *) {
    Function *function = as_function(self);
    if (!function->name) {
        PyObject *name = PyUnicode_InternFromString(function->spec->name);
        if (!name) return nullptr;
        settle(function->name, name);
    }
    return new_ref(function->name);
}

int set_name(PyObject *self, PyObject *value, void *) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(as_function(self)->name, value);
    return 0;
}

PyObject *get_qualname(PyObject *self, void *) {
    return new_ref(as_function(self)->qualname);
}

int set_qualname(PyObject *self, PyObject *value, void *) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(as_function(self)->qualname, value);
    return 0;
}

PyObject *get_doc(PyObject *self, void *) {
    Function *function = as_function(self);
    if (!function->doc) {
        const char *text = function->spec->doc;
        PyObject *doc = text ? PyUnicode_FromString(text) : new_ref(Py_None);
        if (!doc) return nullptr;
        settle(function->doc, doc);
    }
    return new_ref(function->doc);
}

int set_doc(PyObject *self, PyObject *value, void *) {
    Py_XSETREF(as_function(self)->doc, or_none(value));
    return 0;
}

PyObject *get_dict(PyObject *self, void *) {
    Function *function = as_function(self);
    if (!function->dict) {
        PyObject *dict = PyDict_New();
        if (!dict) return nullptr;
        settle(function->dict, dict);
    }
    return new_ref(function->dict);
}

int set_dict(PyObject *self, PyObject *value, void *) {
    if (!value) {
        PyErr_SetString(PyExc_TypeError, "function's dictionary may not be deleted");
        return -1;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "setting function's dictionary to a non-dict");
        return -1;
    }
    Py_INCREF(value);
    Py_XSETREF(as_function(self)->dict, value);
    return 0;
}

PyObject *get_globals(PyObject *self, void *) {
    return new_ref(as_function(self)->globals);
}
PyObject *get_closure(PyObject *self, void *) {
    return or_none(as_function(self)->closure);
}
PyObject *get_code(PyObject *self, void *) {
    return or_none(as_function(self)->code);
}
PyObject *get_defaults(PyObject *self, void *) {
    return or_none(as_function(self)->defaults);
}
PyObject *get_kwdefaults(PyObject *self, void *) {
    return or_none(as_function(self)->kwdefaults);
}

// Defaults are bound when the module is built; a write changes only what
// Python reads back, and says so.
int replace_defaults(PyObject *&field, PyObject *value, const char *warning) {
    if (value == Py_None) value = nullptr;
    if (PyErr_WarnEx(PyExc_RuntimeWarning, warning, 1) < 0) return -1;
    Py_XINCREF(value);
    Py_XSETREF(field, value);
    return 0;
}

int set_defaults_attribute(PyObject *self, PyObject *value, void *) {
    if (value && value != Py_None && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    return replace_defaults(as_function(self)->defaults, value,
                            "changes to view_function.__defaults__ will not currently affect the "
                            "values used in function calls");
}

int set_kwdefaults(PyObject *self, PyObject *value, void *) {
    if (value && value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    return replace_defaults(as_function(self)->kwdefaults, value,
                            "changes to view_function.__kwdefaults__ will not currently affect the "
                            "values used in function calls");
}

PyObject *get_annotations(PyObject *self, void *) {
    Function *function = as_function(self);
    if (!function->annotations) {
        PyObject *annotations = PyDict_New();
        if (!annotations) return nullptr;
        settle(function->annotations, annotations);
    }
    return new_ref(function->annotations);
}

int set_annotations_attribute(PyObject *self, PyObject *value, void *) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XINCREF(value);
    Py_XSETREF(as_function(self)->annotations, value);
    return 0;
}

PyObject *get_is_coroutine(PyObject *self, void *) {
    Function *function = as_function(self);
    if (!function->is_coroutine) {
        PyObject *marker = Py_False;
        Ref found;
        if (function->flags & function_coroutine) {
            marker = Py_True;
            Ref coroutines = Ref::steal(PyImport_ImportModule("asyncio.coroutines"));
            if (coroutines)
                found = Ref::steal(PyObject_GetAttrString(coroutines.get(), "_is_coroutine"));
            PyErr_Clear();
            if (found) marker = found.get();
        }
        settle(function->is_coroutine, new_ref(marker));
    }
    return new_ref(function->is_coroutine);
}

// Any object; a deleted __module__ reads as None.
PyObject *get_module(PyObject *self, void *) {
    return or_none(as_function(self)->module_name);
}

int set_module(PyObject *self, PyObject *value, void *) {
    Py_XINCREF(value);
    Py_XSETREF(as_function(self)->module_name, value);
    return 0;
}

PyGetSetDef getset[] = {
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"func_name", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"func_doc", get_doc, set_doc, nullptr, nullptr},
    {"__dict__", get_dict, set_dict, nullptr, nullptr},
    {"func_dict", get_dict, set_dict, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"func_globals", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"func_closure", get_closure, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"func_code", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults_attribute, nullptr, nullptr},
    {"func_defaults", get_defaults, set_defaults_attribute, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations_attribute, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- methods, protocols -----------------------------------------------------------

// Pickling and copying treat a function as a global: its module and qualified name.
PyObject *reduce(PyObject *self, PyObject *) {
    return new_ref(as_function(self)->qualname);
}

PyMethodDef methods[] = {
    {"__reduce__", reduce, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject *repr(PyObject *self) {
    return PyUnicode_FromFormat("<%s %U at %p>", shared_type_name, as_function(self)->qualname,
                                self);
}

PyObject *descr_get(PyObject *self, PyObject *instance, PyObject *) {
    if (!instance || instance == Py_None) return new_ref(self);
    return PyMethod_New(self, instance);
}

int traverse(PyObject *self, visitproc visit, void *arg) {
    Function *function = as_function(self);
    Py_VISIT(function->module_name);
    Py_VISIT(function->dict);
    Py_VISIT(function->name);
    Py_VISIT(function->qualname);
    Py_VISIT(function->doc);
    Py_VISIT(function->globals);
    Py_VISIT(function->code);
    Py_VISIT(function->closure);
    Py_VISIT(function->defaults);
    Py_VISIT(function->kwdefaults);
    Py_VISIT(function->annotations);
    Py_VISIT(function->is_coroutine);
    Py_VISIT(function->bound_defaults);
    Py_VISIT(function->in_order_names);
    return 0;
}

int clear(PyObject *self) {
    Function *function = as_function(self);
    Py_CLEAR(function->module_name);
    Py_CLEAR(function->dict);
    Py_CLEAR(function->name);
    Py_CLEAR(function->qualname);
    Py_CLEAR(function->doc);
    Py_CLEAR(function->globals);
    Py_CLEAR(function->code);
    Py_CLEAR(function->closure);
    Py_CLEAR(function->defaults);
    Py_CLEAR(function->kwdefaults);
    Py_CLEAR(function->annotations);
    Py_CLEAR(function->is_coroutine);
    Py_CLEAR(function->bound_defaults);
    Py_CLEAR(function->in_order_names);
    return 0;
}

void dealloc(PyObject *self) {
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs) PyObject_ClearWeakRefs(self);
    clear(self);
    PyObject_GC_Del(self);
}

PyTypeObject function_type = {
    .ob_base = {.ob_base = {.ob_refcnt = 1, .ob_type = nullptr}, .ob_size = 0},
    .tp_name = shared_type_name,
    .tp_basicsize = sizeof(Function),
    .tp_dealloc = dealloc,
    .tp_vectorcall_offset = offsetof(Function, vectorcall),
    .tp_repr = repr,
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE |
                Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR,
    .tp_traverse = traverse,
    .tp_clear = clear,
    .tp_weaklistoffset = offsetof(Function, weakrefs),
    .tp_methods = methods,
    .tp_getset = getset,
    .tp_descr_get = descr_get,
    .tp_dictoffset = offsetof(Function, dict),
};

// Binding takes the parameters after the required ones from the defaults, so
// a defaults tuple of any other length than the table says would leave a
// parameter unbound or bind one from past its end: the body is refused.
[[gnu::cold]] bool defaults_mismatch(Module &module, const FunctionSpec &spec, PyObject *defaults) {
    const char *full_name = module.table.full_name, *qualname = module.table.names[spec.qualname];
    int with_default = spec.argcount() - spec.required;
    if (defaults && !PyTuple_CheckExact(defaults))
        PyErr_Format(PyExc_SystemError, "%s.%s: the module body passes defaults that are not a tuple",
                     full_name, qualname);
    else
        PyErr_Format(PyExc_SystemError,
                     "%s.%s: the function table gives %d of %d parameters a default, but the "
                     "module body passes %zd defaults",
                     full_name, qualname, with_default, spec.argcount(),
                     defaults ? PyTuple_GET_SIZE(defaults) : 0);
    return false;
}

bool defaults_fit(Module &module, const FunctionSpec &spec, PyObject *defaults) {
    if (defaults && !PyTuple_CheckExact(defaults)) return defaults_mismatch(module, spec, defaults);
    Py_ssize_t given = defaults ? PyTuple_GET_SIZE(defaults) : 0;
    if (given != spec.argcount() - spec.required) return defaults_mismatch(module, spec, defaults);
    return true;
}

}  // namespace

PyTypeObject *shared_function_type() {
    PyObject *shared = PyImport_AddModule(shared_module_name);  // borrowed
    if (!shared) return nullptr;
    Ref found = Ref::steal(PyObject_GetAttrString(shared, shared_type_name));
    if (!found) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
        PyErr_Clear();
        if (PyType_Ready(&function_type) < 0) return nullptr;
        PyObject *type = reinterpret_cast<PyObject *>(&function_type);
        if (PyObject_SetAttrString(shared, shared_type_name, type) < 0) return nullptr;
        return &function_type;
    }
    if (!PyType_Check(found.get())) {
        PyErr_Format(PyExc_TypeError, "Shared %s type is not a type object", shared_type_name);
        return nullptr;
    }
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(found.get());
    if (type->tp_basicsize != static_cast<Py_ssize_t>(sizeof(Function))) {
        PyErr_Format(PyExc_TypeError,
                     "Shared %s type has the wrong size (%zd, expected %zd); rebuild the module",
                     shared_type_name, type->tp_basicsize,
                     static_cast<Py_ssize_t>(sizeof(Function)));
        return nullptr;
    }
    // The shared module keeps the type alive for the life of the process.
    return type;
}

int build_code(Module &module) {
    const ModuleTable &table = module.table;
    if (allocate_table(module.code, table.functions.count) < 0) return -1;
    Ref file_name = Ref::steal(PyUnicode_FromString(table.code_path));
    if (!file_name) return -1;
    for (int i = 0; i < table.functions.count; ++i) {
        const FunctionSpec &spec = table.functions[i];
        // The code object's local names: the parameters, then the other locals.
        int argcount = spec.argcount(), nlocals = argcount + spec.locals.count;
        Ref locals = Ref::steal(PyTuple_New(nlocals));
        if (!locals) return -1;
        for (int k = 0; k < nlocals; ++k) {
            int id = k < argcount ? spec.parameters[k] : spec.locals[k - argcount];
            PyTuple_SET_ITEM(locals.get(), k, new_ref(module.names[id]));
        }
        Ref name = Ref::steal(PyUnicode_InternFromString(spec.name));
        if (!name) return -1;
        PyObject *code = make_code_object(argcount, nlocals, CO_OPTIMIZED | CO_NEWLOCALS,
                                          locals.get(), file_name.get(), name.get(), spec.line,
                                          module.empty_tuple, module.empty_bytes);
        if (!code) return -1;
        Py_XSETREF(module.code[i], code);
    }
    return 0;
}

Ref new_function(Module &module, int index, PyObject *defaults) {
    const FunctionSpec &spec = module.table.functions[index];
    if (!defaults_fit(module, spec, defaults)) return Ref();
    Function *function = PyObject_GC_New(Function, module.function_type);
    if (!function) return Ref();
    function->spec = &spec;
    function->module_name = new_ref(module.full_name);
    function->dict = nullptr;
    function->name = nullptr;
    function->qualname = new_ref(module.names[spec.qualname]);
    function->doc = nullptr;
    function->globals = new_ref(module.globals);
    function->code = new_ref(module.code[index]);
    function->closure = nullptr;
    function->flags = spec.flags;
    function->index = index;
    Py_XINCREF(defaults);
    function->defaults = defaults;
    function->kwdefaults = nullptr;
    function->annotations = nullptr;
    function->is_coroutine = nullptr;
    function->weakrefs = nullptr;
    function->vectorcall = spec.entry;
    Py_XINCREF(defaults);
    function->bound_defaults = defaults;
    function->module = &module;
    function->in_order_names = nullptr;
    function->in_order_nargs = 0;
    PyObject_GC_Track(reinterpret_cast<PyObject *>(function));
    return Ref::steal(reinterpret_cast<PyObject *>(function));
}

void set_annotations(PyObject *self, PyObject *annotations) {
    Py_XINCREF(annotations);
    Py_XSETREF(as_function(self)->annotations, annotations);
}

}  // namespace frame
