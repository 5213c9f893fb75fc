/* The reference cost of a call: a C function of the fast-call-with-keywords kind that
 * looks at nothing and returns None. Whatever a measured function costs beyond this is
 * its own binding and body, since the interpreter's share of the call is the same. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

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
    return PyModule_Create(&floor_module);
}
