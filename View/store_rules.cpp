#include "View/store_rules.h"

#include "frame/body.h"

namespace store_rules {
namespace {

#define STORE_RULES_NAMES(X)                                                               \
    X(name, "name") X(islnk, "islnk") X(issym, "issym") X(ischr, "ischr")                  \
    X(isblk, "isblk") X(isfifo, "isfifo") X(getmembers, "getmembers")                      \
    X(fspath_, "__fspath__") X(TarError, "TarError") X(data_filter, "data_filter")         \
    X(FilterError, "FilterError") X(extraction_filter, "extraction_filter")

FRAME_NAMES(STORE_RULES_NAMES)

using frame::call;
using frame::Method;
using frame::Ref;

// The rules' own names, interned: the very objects of the module's names
// table where both hold a name. Made once, kept until the process ends.
PyObject *names[n::count];

PyObject *N(n::Id id) {
    return names[id];
}

int make_names() {
    for (int i = 0; i < n::count; ++i)
        if (!names[i] && !(names[i] = PyUnicode_InternFromString(n::texts[i]))) return -1;
    return 0;
}

// Process-wide state of the store beside the frame's module state: the
// extraction filter made at import, and the error class it reports with.
struct Store {
    PyObject *filter = nullptr;       // the store's filter, on every interpreter
    PyObject *data_filter = nullptr;  // tarfile.data_filter; null where tarfile has no filters
    PyObject *refusal = nullptr;      // tarfile.FilterError, else tarfile.TarError
} store;

// Splits a str path on "/" (and the platform's own separator) and reports
// whether it is absolute and whether any component is "..".
struct PathShape {
    bool absolute = false;
    bool parent = false;
    bool only_here = true;  // every component is "" or "."
};

bool is_separator(Py_UCS4 c) {
#ifdef _WIN32
    return c == '/' || c == '\\';
#else
    return c == '/';
#endif
}

PathShape shape_of(PyObject *text) {
    PathShape shape;
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    int kind = PyUnicode_KIND(text);
    const void *data = PyUnicode_DATA(text);
    shape.absolute = length > 0 && is_separator(PyUnicode_READ(kind, data, 0));
    Py_ssize_t start = 0;
    for (Py_ssize_t i = 0; i <= length; ++i) {
        if (i < length && !is_separator(PyUnicode_READ(kind, data, i))) continue;
        Py_ssize_t size = i - start;
        bool dot = size >= 1 && PyUnicode_READ(kind, data, start) == '.';
        bool dot_dot = size == 2 && dot && PyUnicode_READ(kind, data, start + 1) == '.';
        if (dot_dot) shape.parent = true;
        if (size > 1 || (size == 1 && !dot)) shape.only_here = false;
        start = i + 1;
    }
    return shape;
}

// What a name stands for as a path: a str itself, or what os.fspath gives for
// an os.PathLike object, so that a path object meets the same refusals as its
// text. Null without an exception for anything else (bytes included: joining
// it to a str folder fails later on its own).
Ref path_text(PyObject *name) {
    if (PyUnicode_Check(name)) return Ref::borrow(name);
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(name));
    if (PyBytes_Check(name) || !PyObject_HasAttr(type, N(n::fspath_))) return Ref();
    Ref text = Ref::steal(PyOS_FSPath(name));
    if (text && !PyUnicode_Check(text.get())) return Ref();
    return text;
}

Ref member_test(PyObject *member, n::Id test) {
    Method method = frame::method(member, N(test));
    if (!method) return Ref();
    return call(method);
}

// The member rules (View/member_rules.def): the reasons, and the tests in their order.
enum class Rule {
#define MEMBER_REASON(rule, why) rule,
#include "View/member_rules.def"
};

const char *reason(Rule rule) {
    switch (rule) {
#define MEMBER_REASON(rule, why) \
    case Rule::rule:             \
        return why;
#include "View/member_rules.def"
    }
    return "";
}

struct MemberTest {
    n::Id test;
    Rule rule;
};

const MemberTest member_tests[] = {
#define MEMBER_TEST(test, rule) {n::test, Rule::rule},
#include "View/member_rules.def"
};

PyObject *refuse_member(PyObject *name, const char *why) {
    Ref message = Ref::steal(PyUnicode_FromFormat("%R %s", name, why));
    if (message) PyErr_SetObject(store.refusal ? store.refusal : PyExc_ValueError, message.get());
    return nullptr;
}

// The store's filter, set on the archive and run over every member before
// anything is written. A name that is absolute or has a ".." component is
// refused whatever the interpreter's own filter makes of it (some versions
// strip the "/" or accept "a/../b"): the archive is not the one its author
// meant to ship. Every link is refused, since a link, even one pointing inside
// the store, lets a later member write through it. The rest goes to the
// interpreter's data filter where there is one (escapes, device files, modes);
// without it, special files are refused here. The rules and their words are
// the manager's too (member_rules.def).
PyObject *store_filter(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "filter() takes exactly 2 arguments (%zd given)", nargs);
        return nullptr;
    }
    PyObject *member = args[0];
    Ref name = frame::attr(member, N(n::name));
    if (!name) return nullptr;
    if (PyUnicode_Check(name.get())) {
        if (frame::ready_text(name.get()) < 0) return nullptr;
        PathShape shape = shape_of(name.get());
        if (shape.absolute || shape.parent) return refuse_member(name.get(), reason(Rule::path));
    }
    for (const MemberTest &rule : member_tests) {
        // The data filter refuses special files itself, in its own words.
        if (rule.rule == Rule::special && store.data_filter) break;
        Ref result = member_test(member, rule.test);
        if (!result) return nullptr;
        int yes = frame::truth(result);
        if (yes < 0) return nullptr;
        if (yes) return refuse_member(name.get(), reason(rule.rule));
    }
    if (store.data_filter) return call(store.data_filter, member, args[1]).release();
    return Ref::borrow(member).release();
}

PyMethodDef store_filter_def = {"plugin_store_filter", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(store_filter)),
                                METH_FASTCALL, nullptr};

}  // namespace

int refuse_unsafe_name(PyObject *filename) {
    Ref text = path_text(filename);
    if (!text) return PyErr_Occurred() ? -1 : 0;
    if (frame::ready_text(text.get()) < 0) return -1;
    PathShape shape = shape_of(text.get());
    if (!shape.absolute && !shape.parent) return 0;
    PyErr_Format(PyExc_ValueError,
                 "unsafe file name %R: absolute names and '..' components are not allowed",
                 text.get());
    return -1;
}

int refuse_folder_itself(PyObject *o) {
    bool folder = o == Py_None;
    Ref text = path_text(o);
    if (text) {
        if (frame::ready_text(text.get()) < 0) return -1;
        folder = shape_of(text.get()).only_here;
    } else if (PyErr_Occurred()) {
        return -1;
    }
    if (!folder) return 0;
    PyErr_Format(PyExc_ValueError, "refusing to remove %R: it names the whole folder",
                 text ? text.get() : o);
    return -1;
}

int prepare(PyObject *tarfile) {
    if (make_names() < 0) return -1;
    Ref tar_error = frame::attr(tarfile, N(n::TarError));
    Ref data_filter = frame::attr(tarfile, N(n::data_filter));
    Ref filter_error = frame::attr(tarfile, N(n::FilterError));
    PyErr_Clear();
    Py_CLEAR(store.data_filter);
    if (data_filter && filter_error) store.data_filter = data_filter.release();
    Py_XSETREF(store.refusal, store.data_filter ? filter_error.release() : tar_error.release());
    if (!store.filter) store.filter = PyCFunction_New(&store_filter_def, nullptr);
    return store.filter ? 0 : -1;
}

int guard_extraction(PyObject *tar_ref) {
    if (!store.data_filter) return 0;
    return PyObject_SetAttr(tar_ref, N(n::extraction_filter), store.filter);
}

int check_members(PyObject *tar_ref, PyObject *folder) {
    Method getmembers = frame::method(tar_ref, N(n::getmembers));
    if (!getmembers) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    Ref members = call(getmembers);
    if (!members) return -1;
    Ref iterator = Ref::steal(PyObject_GetIter(members.get()));
    if (!iterator) return -1;
    while (Ref member = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!call(store.filter, member, folder)) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace store_rules
