// View.file: the plug-in file views.
//
// Each function below is the statement-by-statement form of its Python
// source (View\file.py); the number beside a statement is its source line,
// which is what a traceback entry shows when the statement fails.
#include "frame/frame.h"

#include <initializer_list>

// The bodies keep each statement, its error check and its source line on one
// line, side by side with the Python they implement; the formatter leaves
// that layout alone.
// clang-format off

namespace view_file {

using frame::call;
using frame::Call;
using frame::Method;
using frame::Ref;

#define VIEW_FILE_NAMES(X)                                                         \
    X(os, "os") X(shutil, "shutil") X(tarfile, "tarfile") X(flask, "flask")        \
    X(jsonify, "jsonify") X(request, "request") X(render_template, "render_template") \
    X(redirect, "redirect") X(current_app, "current_app")                          \
    X(UNZIP_FOLDER, "UNZIP_FOLDER") X(PLUGIN_FOLDER, "PLUGIN_FOLDER")              \
    X(TEMP_FOLDER, "TEMP_FOLDER") X(allowed_file, "allowed_file")                  \
    X(unzip_plugin, "unzip_plugin") X(get_path, "get_path") X(View, "View")        \
    X(test_, "__test__") X(staticmethod, "staticmethod") X(print, "print")         \
    X(index, "index") X(upload, "upload") X(remove, "remove") X(approve, "approve") \
    X(View_index, "View.index") X(View_upload, "View.upload")                      \
    X(View_remove, "View.remove") X(View_approve, "View.approve")                  \
    X(path, "path") X(join, "join") X(getcwd, "getcwd") X(exists, "exists")        \
    X(mkdir, "mkdir") X(open, "open") X(extractall, "extractall")                  \
    X(extraction_filter, "extraction_filter") X(listdir, "listdir")                \
    X(method, "method") X(blueprints, "blueprints") X(keys, "keys") X(find, "find") \
    X(files, "files") X(get, "get") X(form, "form") X(save, "save")                \
    X(filename, "filename") X(isdir, "isdir") X(rmtree, "rmtree")                  \
    X(endswith, "endswith") X(enter_, "__enter__") X(exit_, "__exit__")            \
    X(uploads, "uploads") X(plugin, "plugin") X(temp, "temp")                      \
    X(api_module, "api_module") X(tar_gz, ".tar.gz") X(py, ".py") X(GET, "GET")    \
    X(POST, "POST") X(upload_html, "upload.html") X(formFile, "formFile")          \
    X(type, "type") X(state, "state") X(ok, "ok") X(r, "r") X(dot, ".")            \
    X(plugin_list, "plugin_list") X(temp_list, "temp_list") X(str, "str")          \
    X(t, "t") X(extensions, "extensions")                 \
    X(tar_ref, "tar_ref") X(ex, "ex") X(p, "p") X(folder, "folder") X(mods, "mods") \
    X(m, "m") X(n, "n") X(file, "file") X(o, "o") X(module, "module")             \
    X(View_file, "View.file") X(source, "View\\file.py")                           \
    X(data_filter, "data_filter") X(FilterError, "FilterError") X(TarError, "TarError") \
    X(name, "name") X(islnk, "islnk") X(issym, "issym") X(ischr, "ischr")          \
    X(isblk, "isblk") X(isfifo, "isfifo") X(getmembers, "getmembers") X(fspath_, "__fspath__")

namespace n {
enum Id : int {
#define X(id, text) id,
    VIEW_FILE_NAMES(X)
#undef X
        count
};
const char *const texts[] = {
#define X(id, text) text,
    VIEW_FILE_NAMES(X)
#undef X
};
}  // namespace n

// The functions, in the order of the table below.
namespace fn {
enum Id : int { allowed_file, unzip_plugin, get_path, index, upload, remove, approve };
}
// The kept built-ins, in the order of the table below.
namespace builtin {
enum Id : int { staticmethod, print };
}
// Constant tuples of names.
namespace tuple {
enum Id : int { from_flask, plugin_keywords, api_keywords };
}

extern frame::Module module;

inline PyObject *N(n::Id id) { return module.names[id]; }
inline Ref G(const Call &here, n::Id id) { return frame::global(here, id); }

// Binds a module global, as an assignment at module level does.
inline int bind(n::Id id, const Ref &value) {
    return PyDict_SetItem(module.globals, N(id), value.get());
}

// jsonify's argument: a new dict {"state": "ok"} at each call.
Ref acknowledgement() {
    Ref dict = Ref::steal(PyDict_New());
    if (dict && PyDict_SetItem(dict.get(), N(n::state), N(n::ok)) < 0) return Ref();
    return dict;
}

// --- the plug-in store's safety rules ------------------------------------------

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

// A file name that would leave its folder is refused before anything is
// created: an absolute name, or one with a ".." component.
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

// Removing must never remove a whole folder of the store: an entry that
// names the folder itself (None, "", ".") is refused.
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

Ref member_test(PyObject *member, n::Id test) {
    Method method = frame::method(member, N(test));
    if (!method) return Ref();
    return call(method);
}

// Which of the tests is true of the member: -1 on error, else the index of
// the first true test, or tests.size() when none is.
int first_true(PyObject *member, std::initializer_list<n::Id> tests) {
    int index = 0;
    for (n::Id test : tests) {
        Ref result = member_test(member, test);
        if (!result) return -1;
        int yes = frame::truth(result);
        if (yes) return yes < 0 ? -1 : index;
        ++index;
    }
    return index;
}

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
// without it, special files are refused here.
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
        if (shape.absolute || shape.parent)
            return refuse_member(name.get(), "has an absolute name or a '..' component; "
                                             "plug-in archives may not contain such paths");
    }
    int link = first_true(member, {n::islnk, n::issym});
    if (link < 0) return nullptr;
    if (link < 2) return refuse_member(name.get(), "is a link; plug-in archives may not contain links");
    if (store.data_filter) return call(store.data_filter, member, args[1]).release();
    int special = first_true(member, {n::ischr, n::isblk, n::isfifo});
    if (special < 0) return nullptr;
    if (special < 3)
        return refuse_member(name.get(), "is a special file; plug-in archives may not contain one");
    return Ref::borrow(member).release();
}

PyMethodDef store_filter_def = {"plugin_store_filter", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(store_filter)),
                                METH_FASTCALL, nullptr};

// Made once, right after `import tarfile`, from the module found there.
int make_store_filter(PyObject *tarfile) {
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

// Runs every member of the archive through the store's filter before
// anything is written, so that a refused member, or a truncated or corrupt
// archive (getmembers reads every header), fails with the store untouched.
// An archive object without getmembers is extracted as it is.
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

// --- the functions -------------------------------------------------------------

// filename.endswith(suffix). An exact str's endswith is the str type's own and
// cannot be replaced, so its answer is computed directly; any other object's
// method is looked up and called.
Ref ends_with(PyObject *filename, PyObject *suffix) {
    if (PyUnicode_CheckExact(filename)) {
        Py_ssize_t match = PyUnicode_Tailmatch(filename, suffix, 0, PY_SSIZE_T_MAX, +1);
        if (match < 0) return Ref();
        return Ref::borrow(match ? Py_True : Py_False);
    }
    Method endswith = frame::method(filename, N(n::endswith));
    if (!endswith) return Ref();
    return call(endswith, suffix);
}

// def allowed_file(t, filename):                                              13
PyObject *allowed_file(Call &here, PyObject *t, PyObject *filename) {
    PyObject *extensions = module.empty_str;                                  // 14
    here.at(15);
    int plugin = frame::equal(t, N(n::plugin));                              if (plugin < 0) return here.fail();
    if (plugin) {
        extensions = N(n::tar_gz);                                           // 16
    } else {
        here.at(17);
        int api = frame::equal(t, N(n::api_module));                         if (api < 0) return here.fail();
        if (api) extensions = N(n::py);                                      // 18
    }
    here.at(19);
    if (extensions == module.empty_str) return Ref::borrow(Py_False).release();
    Ref result = ends_with(filename, extensions);                            if (!result) return here.fail();
    return result.release();
}

// def unzip_plugin(t, filename):                                              22
//     try:                                                                    32
//         with tarfile.open(get_path(t, filename), "r") as tar_ref:           33
//             tar_ref.extractall(PLUGIN_FOLDER)                               34
//         os.remove(get_path(t, filename))                                    35
//         return True                                                         36
//     except Exception as ex:                                                 37
//         raise ex                                                            38
Ref unzip_plugin_try(Call &here, PyObject *t, PyObject *filename) {
    here.at(33);
    Ref tarfile = G(here, n::tarfile);                                       if (!tarfile) return here.fail();
    Method open = frame::method(tarfile.get(), N(n::open));                  if (!open) return here.fail();
    Ref get_path = G(here, n::get_path);                                     if (!get_path) return here.fail();
    Ref archive = call(get_path, t, filename);                               if (!archive) return here.fail();
    Ref manager = call(open, archive, N(n::r));                              if (!manager) return here.fail();
    Ref exit = frame::special_method(manager.get(), N(n::exit_));            if (!exit) return here.fail();
    Ref enter = frame::special_method(manager.get(), N(n::enter_));          if (!enter) return here.fail();
    manager.reset();
    Ref tar_ref = call(enter);                                               if (!tar_ref) return here.fail();
    {
        frame::SavedHandled with_statement;
        here.at(34);
        bool extracted = false;
        int guarded = store.data_filter ? PyObject_SetAttr(tar_ref.get(), N(n::extraction_filter), store.filter) : 0;
        Method extractall = guarded == 0 ? frame::method(tar_ref.get(), N(n::extractall)) : Method();
        Ref folder = extractall ? G(here, n::PLUGIN_FOLDER) : Ref();
        if (folder && check_members(tar_ref.get(), folder.get()) == 0)
            extracted = bool(call(extractall, folder));
        if (!extracted) {
            here.fail();
            frame::Caught caught = frame::catch_raised();
            here.at(33);
            PyObject *traceback = caught.traceback ? caught.traceback.get() : Py_None;
            Ref suppress = call(exit, caught.type, caught.value, traceback);     if (!suppress) return here.fail();
            int drop = frame::truth(suppress);                                   if (drop < 0) return here.fail();
            if (!drop) {
                caught.raise_again();
                return here.fail();
            }
        } else {
            here.at(33);
            Ref result = call(exit, Py_None, Py_None, Py_None);                  if (!result) return here.fail();
        }
    }
    here.at(35);
    Ref os = G(here, n::os);                                                 if (!os) return here.fail();
    Method remove = frame::method(os.get(), N(n::remove));                   if (!remove) return here.fail();
    get_path = G(here, n::get_path);                                         if (!get_path) return here.fail();
    archive = call(get_path, t, filename);                                   if (!archive) return here.fail();
    Ref removed = call(remove, archive);                                     if (!removed) return here.fail();
    return Ref::borrow(Py_True);                                             // 36
}

PyObject *unzip_plugin(Call &here, PyObject *t, PyObject *filename) {
    frame::SavedHandled try_statement;
    Ref result = unzip_plugin_try(here, t, filename);
    if (result) return result.release();
    frame::Caught ex = frame::catch_raised();                                // 37
    if (!frame::matches(ex, PyExc_Exception)) {
        ex.raise_again();
        return nullptr;
    }
    here.at(38);
    frame::raise(ex.value.get());
    return here.fail();
}

// def get_path(t, filename=None):                                             41
PyObject *get_path(Call &here, PyObject *t, PyObject *filename) {
    PyObject *folder;
    here.at(42);
    if (refuse_unsafe_name(filename) < 0) return here.fail();
    int other = frame::not_equal(t, N(n::plugin));                           if (other < 0) return here.fail();
    if (other) {
        folder = N(n::temp);                                                 // 43
    } else {
        here.at(44);
        int named = frame::truth(filename);                                  if (named < 0) return here.fail();
        folder = named ? N(n::plugin) : N(n::uploads);                       // 45, 47
    }
    here.at(48);
    Ref os = G(here, n::os);                                                 if (!os) return here.fail();
    Ref os_path = frame::attr(os, N(n::path));                               if (!os_path) return here.fail();
    Method join = frame::method(os_path.get(), N(n::join));                  if (!join) return here.fail();
    os = G(here, n::os);                                                     if (!os) return here.fail();
    Method getcwd = frame::method(os.get(), N(n::getcwd));                   if (!getcwd) return here.fail();
    Ref cwd = call(getcwd);                                                  if (!cwd) return here.fail();
    Ref p = call(join, cwd, folder);                                         if (!p) return here.fail();
    here.at(49);
    os = G(here, n::os);                                                     if (!os) return here.fail();
    os_path = frame::attr(os, N(n::path));                                   if (!os_path) return here.fail();
    Method exists = frame::method(os_path.get(), N(n::exists));              if (!exists) return here.fail();
    Ref found = call(exists, p);                                             if (!found) return here.fail();
    int present = frame::truth(found);                                       if (present < 0) return here.fail();
    if (!present) {
        here.at(50);
        os = G(here, n::os);                                                 if (!os) return here.fail();
        Method mkdir = frame::method(os.get(), N(n::mkdir));                 if (!mkdir) return here.fail();
        Ref made = call(mkdir, p);                                           if (!made) return here.fail();
    }
    here.at(51);
    if (filename == Py_None) return p.release();
    os = G(here, n::os);                                                     if (!os) return here.fail();
    os_path = frame::attr(os, N(n::path));                                   if (!os_path) return here.fail();
    join = frame::method(os_path.get(), N(n::join));                         if (!join) return here.fail();
    Ref joined = call(join, p, filename);                                    if (!joined) return here.fail();
    return joined.release();
}

// folder = os.listdir(<folder global>), where `folder` is declared a list.
Ref list_folder(Call &here, n::Id folder_global) {
    Ref os = G(here, n::os);                                                 if (!os) return here.fail();
    Method listdir = frame::method(os.get(), N(n::listdir));                 if (!listdir) return here.fail();
    Ref folder = G(here, folder_global);                                     if (!folder) return here.fail();
    Ref listing = call(listdir, folder);                                     if (!listing) return here.fail();
    if (!PyList_CheckExact(listing.get()) && listing.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(listing.get())->tp_name);
        return here.fail();
    }
    return listing;
}

// request.method == <method>, looked up anew at each call.
int request_method_is(const Call &here, n::Id method) {
    Ref request = G(here, n::request);                                       if (!request) return -1;
    Ref current = frame::attr(request, N(n::method));                        if (!current) return -1;
    return frame::equal(current.get(), N(method));
}

// class View:                                                                 54
//     @staticmethod
//     def index(t: str):                                                      55
PyObject *index(Call &here, PyObject *t) {
    here.at(57);
    int get = request_method_is(here, n::GET);                               if (get < 0) return here.fail();
    if (!get) return frame::none();
    here.at(58);
    int plugin = frame::equal(t, N(n::plugin));                              if (plugin < 0) return here.fail();
    if (plugin) {
        here.at(59);
        Ref folder = list_folder(here, n::PLUGIN_FOLDER);                    if (!folder) return nullptr;
        here.at(61);
        Ref render_template = G(here, n::render_template);                   if (!render_template) return here.fail();
        Ref page = frame::call_keywords(render_template.get(), module.tuples[tuple::plugin_keywords],
                                        N(n::upload_html), folder);          if (!page) return here.fail();
        return page.release();
    }
    here.at(62);
    int api = frame::equal(t, N(n::api_module));                             if (api < 0) return here.fail();
    if (!api) return frame::none();
    here.at(63);
    Ref current_app = G(here, n::current_app);                               if (!current_app) return here.fail();
    Ref blueprints = frame::attr(current_app, N(n::blueprints));             if (!blueprints) return here.fail();
    Method keys_method = frame::method(blueprints.get(), N(n::keys));        if (!keys_method) return here.fail();
    Ref keys = call(keys_method);                                            if (!keys) return here.fail();
    here.at(64);
    Ref names = Ref::steal(PySequence_List(keys.get()));                     if (!names) return here.fail();
    Ref mods = Ref::steal(PyList_New(0));                                    if (!mods) return here.fail();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.get()); ++i) {
        Ref m = Ref::borrow(PyList_GET_ITEM(names.get(), i));
        Method find = frame::method(m.get(), N(n::find));                    if (!find) return here.fail();
        Ref position = call(find, N(n::dot));                                if (!position) return here.fail();
        int top_level = frame::equal(position.get(), module.ints[0]);        if (top_level < 0) return here.fail();
        if (top_level && PyList_Append(mods.get(), m.get()) < 0) return here.fail();
    }
    here.at(65);
    Ref folder = list_folder(here, n::TEMP_FOLDER);                          if (!folder) return nullptr;
    here.at(66);
    Ref render_template = G(here, n::render_template);                       if (!render_template) return here.fail();
    Ref page = frame::call_keywords(render_template.get(), module.tuples[tuple::api_keywords],
                                    N(n::upload_html), folder, mods);        if (!page) return here.fail();
    return page.release();
}

//     @staticmethod
//     def upload():                                                           68
PyObject *upload(Call &here) {
    here.at(70);
    int post = request_method_is(here, n::POST);                             if (post < 0) return here.fail();
    if (!post) return frame::none();
    here.at(71);
    Ref request = G(here, n::request);                                       if (!request) return here.fail();
    Ref files = frame::attr(request, N(n::files));                           if (!files) return here.fail();
    Method get = frame::method(files.get(), N(n::get));                      if (!get) return here.fail();
    Ref file = call(get, N(n::formFile));                                    if (!file) return here.fail();
    here.at(72);
    request = G(here, n::request);                                           if (!request) return here.fail();
    Ref form = frame::attr(request, N(n::form));                             if (!form) return here.fail();
    get = frame::method(form.get(), N(n::get));                              if (!get) return here.fail();
    Ref t = call(get, N(n::type));                                           if (!t) return here.fail();
    here.at(73);
    int accepted = frame::truth(file);                                       if (accepted < 0) return here.fail();
    if (accepted) {
        Ref allowed_file = G(here, n::allowed_file);                         if (!allowed_file) return here.fail();
        Ref filename = frame::attr(file, N(n::filename));                    if (!filename) return here.fail();
        Ref allowed = call(allowed_file, t, filename);                       if (!allowed) return here.fail();
        accepted = frame::truth(allowed);                                    if (accepted < 0) return here.fail();
    }
    if (accepted) {
        here.at(74);
        Method save = frame::method(file.get(), N(n::save));                 if (!save) return here.fail();
        Ref get_path = G(here, n::get_path);                                 if (!get_path) return here.fail();
        Ref filename = frame::attr(file, N(n::filename));                    if (!filename) return here.fail();
        Ref path = call(get_path, t, filename);                              if (!path) return here.fail();
        Ref saved = call(save, path);                                        if (!saved) return here.fail();
        here.at(75);
        int plugin = frame::equal(t.get(), N(n::plugin));                    if (plugin < 0) return here.fail();
        if (plugin) {
            here.at(76);
            Ref unzip_plugin = G(here, n::unzip_plugin);                     if (!unzip_plugin) return here.fail();
            filename = frame::attr(file, N(n::filename));                    if (!filename) return here.fail();
            Ref unzipped = call(unzip_plugin, t, filename);                  if (!unzipped) return here.fail();
        }
    }
    here.at(79);
    Ref jsonify = G(here, n::jsonify);                                       if (!jsonify) return here.fail();
    Ref state = acknowledgement();                                           if (!state) return here.fail();
    Ref answer = call(jsonify, state);                                       if (!answer) return here.fail();
    return answer.release();
}

//     @staticmethod
//     def remove(t, o):                                                       81
PyObject *remove(Call &here, PyObject *t, PyObject *o) {
    here.at(83);
    int get = request_method_is(here, n::GET);                               if (get < 0) return here.fail();
    if (!get) return frame::none();
    here.at(84);
    if (refuse_folder_itself(o) < 0) return here.fail();
    Ref get_path = G(here, n::get_path);                                     if (!get_path) return here.fail();
    Ref path = call(get_path, t, o);                                         if (!path) return here.fail();
    here.at(85);
    Ref printed = call(module.builtin(builtin::print), path);                if (!printed) return here.fail();
    here.at(86);
    Ref os = G(here, n::os);                                                 if (!os) return here.fail();
    Ref os_path = frame::attr(os, N(n::path));                               if (!os_path) return here.fail();
    Method isdir = frame::method(os_path.get(), N(n::isdir));                if (!isdir) return here.fail();
    Ref found = call(isdir, path);                                           if (!found) return here.fail();
    int directory = frame::truth(found);                                     if (directory < 0) return here.fail();
    if (directory) {
        here.at(87);
        Ref shutil = G(here, n::shutil);                                     if (!shutil) return here.fail();
        Method rmtree = frame::method(shutil.get(), N(n::rmtree));           if (!rmtree) return here.fail();
        Ref removed = call(rmtree, path);                                    if (!removed) return here.fail();
    } else {
        here.at(89);
        os = G(here, n::os);                                                 if (!os) return here.fail();
        Method remove = frame::method(os.get(), N(n::remove));               if (!remove) return here.fail();
        Ref removed = call(remove, path);                                    if (!removed) return here.fail();
    }
    here.at(90);
    Ref jsonify = G(here, n::jsonify);                                       if (!jsonify) return here.fail();
    Ref state = acknowledgement();                                           if (!state) return here.fail();
    Ref answer = call(jsonify, state);                                       if (!answer) return here.fail();
    return answer.release();
}

//     @staticmethod
//     def approve(t, o, module=None):                                         92
PyObject *approve(Call &, PyObject *, PyObject *, PyObject *) {
    return frame::none();                                                    // 93
}

// --- the module body -------------------------------------------------------------

// <folder global> = os.path.join(os.getcwd(), <folder>)
int bind_folder(const Call &here, n::Id global, n::Id folder) {
    Ref os = G(here, n::os);                                                 if (!os) return -1;
    Ref os_path = frame::attr(os, N(n::path));                               if (!os_path) return -1;
    Ref join = frame::attr(os_path, N(n::join));                             if (!join) return -1;
    os = G(here, n::os);                                                     if (!os) return -1;
    Ref getcwd = frame::attr(os, N(n::getcwd));                              if (!getcwd) return -1;
    Ref cwd = call(getcwd);                                                  if (!cwd) return -1;
    Ref path = call(join, cwd, N(folder));                                   if (!path) return -1;
    return bind(global, path);
}

// A method of class View: a function object wrapped in the kept staticmethod.
int add_static_method(PyObject *namespace_, n::Id name, fn::Id function_id, PyObject *defaults,
                      PyObject *annotations) {
    Ref function = frame::new_function(module, function_id);                 if (!function) return -1;
    if (annotations) frame::set_annotations(function.get(), annotations);
    if (defaults) frame::set_defaults(function.get(), defaults);
    Ref method = call(module.builtin(builtin::staticmethod), function);      if (!method) return -1;
    return PyDict_SetItem(namespace_, N(name), method.get());
}

int bind_function(n::Id name, fn::Id function_id, PyObject *defaults) {
    Ref function = frame::new_function(module, function_id);                 if (!function) return -1;
    if (defaults) frame::set_defaults(function.get(), defaults);
    return bind(name, function);
}

int body() {
    Call here(module, module.body_entry(), module.globals);
    here.at(2);                                                              // import os
    Ref os = frame::import_module(module, n::os);                            if (!os || bind(n::os, os) < 0) return here.fail_status();
    here.at(3);                                                              // import shutil
    Ref shutil = frame::import_module(module, n::shutil);                    if (!shutil || bind(n::shutil, shutil) < 0) return here.fail_status();
    here.at(4);                                                              // import tarfile
    Ref tarfile = frame::import_module(module, n::tarfile);                  if (!tarfile || bind(n::tarfile, tarfile) < 0) return here.fail_status();
    if (make_store_filter(tarfile.get()) < 0) return here.fail_status();
    here.at(6);                              // from flask import jsonify, request, render_template, redirect, current_app
    Ref flask = frame::import_names(module, n::flask, tuple::from_flask);    if (!flask) return here.fail_status();
    for (n::Id name : {n::jsonify, n::request, n::render_template, n::redirect, n::current_app}) {
        Ref value = frame::import_from(flask.get(), N(name));                if (!value || bind(name, value) < 0) return here.fail_status();
    }
    here.at(8);                                                              // UNZIP_FOLDER = os.path.join(os.getcwd(), "uploads")
    if (bind_folder(here, n::UNZIP_FOLDER, n::uploads) < 0) return here.fail_status();
    here.at(9);                                                              // PLUGIN_FOLDER = os.path.join(os.getcwd(), "plugin")
    if (bind_folder(here, n::PLUGIN_FOLDER, n::plugin) < 0) return here.fail_status();
    here.at(10);                                                             // TEMP_FOLDER = os.path.join(os.getcwd(), "temp")
    if (bind_folder(here, n::TEMP_FOLDER, n::temp) < 0) return here.fail_status();
    here.at(13);                                                             // def allowed_file(t, filename)
    if (bind_function(n::allowed_file, fn::allowed_file, nullptr) < 0) return here.fail_status();
    here.at(22);                                                             // def unzip_plugin(t, filename)
    if (bind_function(n::unzip_plugin, fn::unzip_plugin, nullptr) < 0) return here.fail_status();
    here.at(41);                                                             // def get_path(t, filename=None)
    if (bind_function(n::get_path, fn::get_path, module.one_none) < 0) return here.fail_status();
    here.at(54);                                                             // class View:
    Ref namespace_ = frame::class_namespace(module, N(n::View));             if (!namespace_) return here.fail_status();
    here.at(55);                                                             // def index(t: str)
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations || PyDict_SetItem(annotations.get(), N(n::t), N(n::str)) < 0) return here.fail_status();
    if (add_static_method(namespace_.get(), n::index, fn::index, nullptr, annotations.get()) < 0) return here.fail_status();
    here.at(68);                                                             // def upload()
    if (add_static_method(namespace_.get(), n::upload, fn::upload, nullptr, nullptr) < 0) return here.fail_status();
    here.at(81);                                                             // def remove(t, o)
    if (add_static_method(namespace_.get(), n::remove, fn::remove, nullptr, nullptr) < 0) return here.fail_status();
    here.at(92);                                                             // def approve(t, o, module=None)
    if (add_static_method(namespace_.get(), n::approve, fn::approve, module.one_none, nullptr) < 0) return here.fail_status();
    here.at(54);
    Ref view = frame::make_class(module, N(n::View), namespace_.get());     if (!view || bind(n::View, view) < 0) return here.fail_status();
    here.at(1);                                                              // __test__ = {}
    Ref test = Ref::steal(PyDict_New());                                     if (!test || bind(n::test_, test) < 0) return here.fail_status();
    return 0;
}

// --- the table -------------------------------------------------------------------

const int allowed_file_locals[] = {n::t, n::filename, n::extensions};
const int unzip_plugin_locals[] = {n::t, n::filename, n::tar_ref, n::ex};
const int get_path_locals[] = {n::t, n::filename, n::p, n::folder};
const int index_locals[] = {n::t, n::folder, n::mods, n::keys, n::m, n::n};
const int upload_locals[] = {n::file, n::t};
const int remove_locals[] = {n::t, n::o, n::path};
const int approve_locals[] = {n::t, n::o, n::module};
PyTypeObject *const index_declared[] = {&PyUnicode_Type};

const char unzip_plugin_doc[] =
    "\n"
    "    指定文件解压到插件目录\n"
    "    :param t:\n"
    "    :type t:\n"
    "    :param filename: 指定压缩文件\n"
    "    :type filename: str\n"
    "    :return: 返回成功（True）或报错\n"
    "    :rtype: bool | Exception\n"
    "    ";

const frame::FunctionSpec functions[] = {
    {"allowed_file", n::allowed_file, frame::entry<allowed_file>, nullptr, 13, allowed_file_locals, 2, 3, 2, nullptr, 0},
    {"unzip_plugin", n::unzip_plugin, frame::entry<unzip_plugin>, unzip_plugin_doc, 22, unzip_plugin_locals, 2, 4, 2, nullptr, 0},
    {"get_path", n::get_path, frame::entry<get_path>, nullptr, 41, get_path_locals, 2, 4, 1, nullptr, 0},
    {"index", n::View_index, frame::entry<index>, nullptr, 55, index_locals, 1, 6, 1, index_declared, frame::function_static},
    {"upload", n::View_upload, frame::entry<upload>, nullptr, 68, upload_locals, 0, 2, 0, nullptr, frame::function_static},
    {"remove", n::View_remove, frame::entry<remove>, nullptr, 81, remove_locals, 2, 3, 2, nullptr, frame::function_static},
    {"approve", n::View_approve, frame::entry<approve>, nullptr, 92, approve_locals, 3, 3, 2, nullptr, frame::function_static},
};

const int kept_builtins[] = {n::staticmethod, n::print};
const long ints[] = {-1};
const int from_flask[] = {n::jsonify, n::request, n::render_template, n::redirect, n::current_app};
const int plugin_keywords[] = {n::plugin_list};
const int api_keywords[] = {n::temp_list, n::plugin_list};
const frame::NameTuple tuples[] = {{from_flask, 5}, {plugin_keywords, 1}, {api_keywords, 2}};

const frame::ModuleTable table = {
    .def_name = "file",
    .full_name = "View.file",
    .code_path = "View\\file.py",
    .traceback_path = "View\\\\file.py",
    .names = n::texts,
    .name_count = n::count,
    .builtins = kept_builtins,
    .builtin_count = 2,
    .ints = ints,
    .int_count = 1,
    .tuples = tuples,
    .tuple_count = 3,
    .functions = functions,
    .function_count = 7,
    .body = body,
};

frame::Module module(table, frame::create_slot<module>, frame::exec_slot<module>);

}  // namespace view_file

PyMODINIT_FUNC PyInit_file() { return PyModuleDef_Init(&view_file::module); }
