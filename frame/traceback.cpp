#include "frame/traceback.h"

#include <cstdio>
#include <cstring>

namespace frame {
namespace {

constexpr int cache_step = 64;

const char *base_name(const char *path) {
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// The entry's name: the function's module-qualified name, or "init <module>".
void entry_name(Module &module, int function, char *out, size_t size) {
    const ModuleTable &table = module.table;
    if (function >= table.functions.count) {
        std::snprintf(out, size, "init %s", table.full_name);
        return;
    }
    const char *qualname = table.names[table.functions[function].qualname];
    std::snprintf(out, size, "%s.%s", table.full_name, qualname);
}

// Reads the switch of the runtime module, caching its truth per dict version.
// Called with no exception set; leaves none set.
int read_switch(Module &module) {
    PyObject *runtime = module.runtime;
    if (!runtime) return 0;
    PyObject *key = module.switch_name;
    if (!key) return 0;
    PyObject *dict = PyModule_Check(runtime) ? PyModule_GetDict(runtime) : nullptr;
    int on = 0;
    if (dict) {
        uint64_t version = namespace_version(dict);
        if (version && version == module.switch_version) return module.switch_value;
        Ref value = Ref::borrow(PyDict_GetItemWithError(dict, key));
        if (value) {
            on = PyObject_IsTrue(value.get());
        } else if (!PyErr_Occurred()) {
            PyDict_SetItem(dict, key, Py_False);
        }
        module.switch_version = namespace_version(dict);
    } else {
        Ref value = Ref::steal(PyObject_GetAttr(runtime, key));
        if (value) {
            on = PyObject_IsTrue(value.get());
        } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyObject_SetAttr(runtime, key, Py_False);
        }
    }
    if (on < 0 || PyErr_Occurred()) {
        PyErr_Clear();
        on = 0;
    }
    module.switch_value = on;
    return on;
}

// Entries are ordered by (key, function, line). With the switch off the key is
// the line itself; with it on the key is the implementation position, which
// one helper may share between several source lines, so the line stays part
// of the identity: a cached code object never shows another line.
struct EntryId {
    long key;
    int function;
    int line;
};

bool before(const TracebackEntry &entry, const EntryId &id) {
    if (entry.key != id.key) return entry.key < id.key;
    if (entry.function != id.function) return entry.function < id.function;
    return entry.line < id.line;
}

bool same(const TracebackEntry &entry, const EntryId &id) {
    return entry.key == id.key && entry.function == id.function && entry.line == id.line;
}

// Bisection: the first index whose entry is not before `id`.
int find(const TracebackCache &cache, const EntryId &id) {
    int low = 0, high = cache.count;
    while (low < high) {
        int middle = (low + high) / 2;
        if (before(cache.entries[middle], id))
            low = middle + 1;
        else
            high = middle;
    }
    return low;
}

// The cached code object for `id`, or null.
PyObject *cached(const TracebackCache &cache, const EntryId &id) {
    int index = find(cache, id);
    if (index < cache.count && same(cache.entries[index], id)) return cache.entries[index].code;
    return nullptr;
}

// Keeps `code` in the cache; when the cache cannot grow the entry is simply
// not cached.
void insert(TracebackCache &cache, const EntryId &id, PyObject *code) {
    if (cache.count == cache.capacity) {
        int capacity = cache.capacity + cache_step;
        void *grown = PyMem_Realloc(cache.entries, sizeof(TracebackEntry) * capacity);
        if (!grown) return;
        cache.entries = static_cast<TracebackEntry *>(grown);
        cache.capacity = capacity;
    }
    int index = find(cache, id);
    std::memmove(cache.entries + index + 1, cache.entries + index,
                 sizeof(TracebackEntry) * (cache.count - index));
    Py_INCREF(code);
    cache.entries[index] = TracebackEntry{id.key, id.function, id.line, code};
    cache.count++;
}

// A code object for the entry, from the cache or new. The exception being
// raised is set aside by the caller.
Ref entry_code(Module &module, int function, int line, int position, const char *file) {
    int on = read_switch(module);
    EntryId id{on ? -static_cast<long>(position) : line, function, line};
    TracebackCache &cache = module.tracebacks;
    if (PyObject *code = cached(cache, id)) return Ref::borrow(code);

    char name[512];
    entry_name(module, function, name, sizeof name);
    if (on) {
        char with_position[700];
        std::snprintf(with_position, sizeof with_position, "%s (%s:%d)", name, base_name(file),
                      position);
        std::memcpy(name, with_position, sizeof name - 1);
        name[sizeof name - 1] = '\0';
    }
    Ref code = Ref::steal(
        reinterpret_cast<PyObject *>(PyCode_NewEmpty(module.table.traceback_path, name, line)));
    if (!code) return code;
    // Making the code object may have run a collection, and with it other
    // threads that added entries: look again before inserting.
    if (PyObject *raced = cached(cache, id)) return Ref::borrow(raced);
    insert(cache, id, code.get());
    return code;
}

}  // namespace

void add_traceback(Module &module, int function, int line, int position, const char *file,
                   PyObject *globals_dict) {
    // The exception being raised is set aside while the entry is made: the
    // calls below must not see it, nor replace it.
    SetAside raised;
    Ref code = entry_code(module, function, line, position, file);
    Ref globals = Ref::borrow(globals_dict);
    if (!globals) globals = Ref::steal(PyDict_New());
    PyFrameObject *frame = nullptr;
    if (code && globals) frame = traceback_frame(code.get(), globals.get(), line);
    // No entry can be made without a frame; the original exception matters more.
    PyErr_Clear();
    raised.restore();
    if (!frame) return;
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

}  // namespace frame
