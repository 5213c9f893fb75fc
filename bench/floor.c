/* The reference cost of a call: a C function of the fast-call-with-keywords kind that
 * looks at nothing and returns None. Whatever a measured function costs beyond this is
 * its own binding and body, since the interpreter's share of the call is the same. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stddef.h>

static PyObject *
floor_impl(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    (void)self;
    (void)args;
    (void)nargs;
    (void)kwnames;
    Py_RETURN_NONE;
}

static PyMethodDef floor_methods[] = {
    {"floor", (PyCFunction)(void (*)(void))floor_impl, METH_FASTCALL | METH_KEYWORDS, NULL},
    {NULL, NULL, 0, NULL},
};

/* The same cost for a callable that is not a built-in function: an object whose type offers
 * vectorcall, as our function type does. From 3.11 the interpreter specialises calls of
 * built-in functions (the floor above) but calls every other callable through its generic
 * path; this floor shows what that path costs by itself. */
typedef struct {
    PyObject_HEAD
    vectorcallfunc vectorcall;
} generic_floor_object;

static PyObject *
generic_floor_call(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames)
{
    (void)self;
    (void)args;
    (void)nargsf;
    (void)kwnames;
    Py_RETURN_NONE;
}

static PyTypeObject generic_floor_type = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "_bench_floor.generic_floor",
    .tp_basicsize = sizeof(generic_floor_object),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL,
    .tp_vectorcall_offset = offsetof(generic_floor_object, vectorcall),
    .tp_call = PyVectorcall_Call,
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT,
    "_bench_floor",
    NULL,
    -1,
    floor_methods,
    NULL,
    NULL,
    NULL,
    NULL,
};

PyMODINIT_FUNC
PyInit__bench_floor(void)
{
    if (PyType_Ready(&generic_floor_type) < 0)
        return NULL;
    PyObject *module = PyModule_Create(&floor_module);
    if (!module)
        return NULL;
    generic_floor_object *generic = PyObject_New(generic_floor_object, &generic_floor_type);
    if (!generic) {
        Py_DECREF(module);
        return NULL;
    }
    generic->vectorcall = generic_floor_call;
    if (PyModule_AddObject(module, "generic_floor", (PyObject *)generic) < 0) {
        Py_DECREF(generic);
        Py_DECREF(module);
        return NULL;
    }
    return module;
}
