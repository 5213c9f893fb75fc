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
    if (allocate_table(module.names, table.name_count) < 0 ||
        allocate_table(module.ints, table.int_count) < 0)
        return -1;
    clear(module.names, table.name_count);
    clear(module.ints, table.int_count);
    for (int i = 0; i < table.name_count; ++i) {
        const char *text = table.names[i];
        PyObject *name = is_identifier(text)
                             ? PyUnicode_InternFromString(text)
                             : PyUnicode_Decode(text, strlen(text), "utf-8", nullptr);
        if (!name) return -1;
        module.names[i] = name;
        if (PyObject_Hash(name) == -1) return -1;
    }
    for (int i = 0; i < table.int_count; ++i) {
        module.ints[i] = PyLong_FromLong(table.ints[i]);
        if (!module.ints[i]) return -1;
    }
    return 0;
}

int build_tuples(Module &module) {
    const ModuleTable &table = module.table;
    if (allocate_table(module.tuples, table.tuple_count) < 0) return -1;
    clear(module.tuples, table.tuple_count);
    Py_CLEAR(module.one_none);
    Py_CLEAR(module.three_none);
    module.one_none = PyTuple_Pack(1, Py_None);
    if (!module.one_none) return -1;
    module.three_none = PyTuple_Pack(3, Py_None, Py_None, Py_None);
    if (!module.three_none) return -1;
    for (int i = 0; i < table.tuple_count; ++i) {
        const NameTuple &spec = table.tuples[i];
        PyObject *tuple = PyTuple_New(spec.size);
        if (!tuple) return -1;
        module.tuples[i] = tuple;
        for (int k = 0; k < spec.size; ++k) {
            PyObject *item = module.names[spec.items[k]];
            Py_INCREF(item);
            PyTuple_SET_ITEM(tuple, k, item);
        }
    }
    return 0;
}

}  // namespace frame
