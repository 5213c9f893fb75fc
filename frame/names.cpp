#include "frame/names.h"

#include <cctype>
#include <cstring>

namespace frame {
namespace {

bool is_identifier(const char *text) {
    if (!*text || std::isdigit(static_cast<unsigned char>(*text))) return false;
    for (const char *c = text; *c; ++c)
        if (!std::isalnum(static_cast<unsigned char>(*c)) && *c != '_') return false;
    return true;
}

// Releases what an earlier, failed initialisation left, before it is made anew.
void clear(PyObject **objects, int count) {
    for (int i = 0; i < count; ++i)
        Py_CLEAR(objects[i]);
}

}  // namespace

int build_names(Module &module) {
    const ModuleTable &table = module.table;
    if (allocate_table(module.names, table.names.count) < 0 ||
        allocate_table(module.ints, table.ints.count) < 0)
        return -1;
    clear(module.names, table.names.count);
    clear(module.ints, table.ints.count);
    for (int i = 0; i < table.names.count; ++i) {
        const char *text = table.names[i];
        PyObject *name = is_identifier(text)
                             ? PyUnicode_InternFromString(text)
                             : PyUnicode_Decode(text, strlen(text), "utf-8", nullptr);
        if (!name) return -1;
        module.names[i] = name;
        if (PyObject_Hash(name) == -1) return -1;
    }
    for (int i = 0; i < table.ints.count; ++i) {
        module.ints[i] = PyLong_FromLong(table.ints[i]);
        if (!module.ints[i]) return -1;
    }
    return 0;
}

int build_tuples(Module &module) {
    const ModuleTable &table = module.table;
    if (allocate_table(module.tuples, table.tuples.count) < 0) return -1;
    clear(module.tuples, table.tuples.count);
    Py_CLEAR(module.one_none);
    module.one_none = PyTuple_Pack(1, Py_None);
    if (!module.one_none) return -1;
    for (int i = 0; i < table.tuples.count; ++i) {
        const NameTuple &spec = table.tuples[i];
        PyObject *tuple = PyTuple_New(spec.count);
        if (!tuple) return -1;
        module.tuples[i] = tuple;
        for (int k = 0; k < spec.count; ++k) {
            PyObject *item = module.names[spec[k]];
            Py_INCREF(item);
            PyTuple_SET_ITEM(tuple, k, item);
        }
    }
    return 0;
}

}  // namespace frame
