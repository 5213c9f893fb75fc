/* Built-in callables that break the call protocol: each returns a result
   with an exception set. The tests build it for the interpreter that runs
   them. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject *pending(void) {
    PyErr_SetString(PyExc_ValueError, "pending");
    Py_RETURN_NONE;
}

static PyObject *no_args(PyObject *self, PyObject *unused) { return pending(); }

static PyObject *one_arg(PyObject *self, PyObject *arg) { return pending(); }

static PyObject *fast(PyObject *self, PyObject *const *args, Py_ssize_t nargs) { return pending(); }

static PyMethodDef methods[] = {
    {"no_args", no_args, METH_NOARGS, NULL},
    {"one_arg", one_arg, METH_O, NULL},
    {"fast", (PyCFunction)(void (*)(void))fast, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef definition = {PyModuleDef_HEAD_INIT, "misbehaving", NULL, -1, methods};

PyMODINIT_FUNC PyInit_misbehaving(void) { return PyModule_Create(&definition); }
