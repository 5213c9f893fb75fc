// View.file: the plug-in file views.
//
// Each function below is the statement-by-statement form of its Python
// source (View\file.py); the number beside a statement is its source line,
// which is what a traceback entry shows when the statement fails.
#include "View/store_rules.h"
#include "frame/body.h"

// The bodies keep each statement, its error check and its source line on one
// line, side by side with the Python they implement; the formatter leaves
// that layout alone.
// clang-format off

namespace view_file {

using frame::call;
using frame::Method;
using frame::Ref;
using frame::Scope;

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
    X(listdir, "listdir")                                                          \
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
    X(m, "m") X(n, "n") X(file, "file") X(o, "o") X(module, "module")

FRAME_MODULE_NAMES(VIEW_FILE_NAMES)

// The kept built-ins, in the order of the table below.
namespace builtin {
enum Id : int { staticmethod, print };
}
// Integer constants, in the order of the table below.
namespace int_constant {
enum Id : int { not_found, count };  // not_found: what str.find answers for no match
}
// Constant tuples of names, in the order of the table below.
namespace tuple {
enum Id : int { from_flask, plugin_keywords, api_keywords };
}
// `from flask import ...`: the from-list, and the names bound, in this order.
constexpr int from_flask[] = {n::jsonify, n::request, n::render_template, n::redirect, n::current_app};

// jsonify's argument: a new dict {"state": "ok"} at each call.
Ref acknowledgement() {
    Ref dict = Ref::steal(PyDict_New());
    if (dict && PyDict_SetItem(dict.get(), N(n::state), N(n::ok)) < 0) return Ref();
    return dict;
}

// --- the functions -------------------------------------------------------------

// filename.endswith(suffix). An exact str's endswith is the str type's own and
// cannot be replaced, so its answer is computed directly; any other object's
// method is looked up and called.
// `suffix` is one of the names below, whose texts are ASCII.
static_assert(frame::ascii_text(n::texts[n::tar_gz]) && frame::ascii_text(n::texts[n::py]));
inline Ref ends_with(PyObject *filename, PyObject *suffix) {
    if (PyUnicode_CheckExact(filename)) {
        int match = frame::text_ends_with_name(filename, suffix);
        if (match < 0) return Ref();
        return Ref::steal(frame::new_bool(match));
    }
    Method endswith = frame::method(filename, N(n::endswith));
    if (!endswith) return Ref();
    return call(endswith, suffix);
}

// def allowed_file(t, filename):                                              13
PyObject *allowed_file(Scope &here, PyObject *t, PyObject *filename) {
    PyObject *extensions = module.empty_str;                                  // 14
    here.at(15);
    int plugin = frame::equal_name(t, N(n::plugin));                         if (plugin < 0) return here.fail();
    if (plugin) {
        extensions = N(n::tar_gz);                                           // 16
    } else {
        here.at(17);
        int api = frame::equal_name(t, N(n::api_module));                    if (api < 0) return here.fail();
        if (api) extensions = N(n::py);                                      // 18
    }
    here.at(19);
    if (extensions == module.empty_str) return frame::new_bool(false);
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
Ref unzip_plugin_try(Scope &here, PyObject *t, PyObject *filename) {
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
        int guarded = store_rules::guard_extraction(tar_ref.get());
        Method extractall = guarded == 0 ? frame::method(tar_ref.get(), N(n::extractall)) : Method();
        Ref folder = extractall ? G(here, n::PLUGIN_FOLDER) : Ref();
        if (folder && store_rules::check_members(tar_ref.get(), folder.get()) == 0)
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

PyObject *unzip_plugin(Scope &here, PyObject *t, PyObject *filename) {
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
PyObject *get_path(Scope &here, PyObject *t, PyObject *filename) {
    PyObject *folder;
    here.at(42);
    if (store_rules::refuse_unsafe_name(filename) < 0) return here.fail();
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
Ref list_folder(Scope &here, n::Id folder_global) {
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
int request_method_is(const Scope &here, n::Id method) {
    Ref request = G(here, n::request);                                       if (!request) return -1;
    Ref current = frame::attr(request, N(n::method));                        if (!current) return -1;
    return frame::equal_name(current.get(), N(method));
}

// class View:                                                                 54
//     @staticmethod
//     def index(t: str):                                                      55
PyObject *index(Scope &here, PyObject *t) {
    here.at(57);
    int get = request_method_is(here, n::GET);                               if (get < 0) return here.fail();
    if (!get) return frame::none();
    here.at(58);
    int plugin = frame::equal_name(t, N(n::plugin));                         if (plugin < 0) return here.fail();
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
    int api = frame::equal_name(t, N(n::api_module));                        if (api < 0) return here.fail();
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
        int top_level = frame::equal(position.get(), module.ints[int_constant::not_found]);
        if (top_level < 0) return here.fail();
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
PyObject *upload(Scope &here) {
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
        int plugin = frame::equal_name(t.get(), N(n::plugin));               if (plugin < 0) return here.fail();
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
PyObject *remove(Scope &here, PyObject *t, PyObject *o) {
    here.at(83);
    int get = request_method_is(here, n::GET);                               if (get < 0) return here.fail();
    if (!get) return frame::none();
    here.at(84);
    if (store_rules::refuse_folder_itself(o) < 0) return here.fail();
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
PyObject *approve(Scope &, PyObject *, PyObject *, PyObject *) {
    return frame::none();                                                    // 93
}

// --- the function table --------------------------------------------------------

constexpr char unzip_plugin_doc[] =
    "\n"
    "    指定文件解压到插件目录\n"
    "    :param t:\n"
    "    :type t:\n"
    "    :param filename: 指定压缩文件\n"
    "    :type filename: str\n"
    "    :return: 返回成功（True）或报错\n"
    "    :rtype: bool | Exception\n"
    "    ";

using frame::function;
using frame::ids;

constexpr frame::FunctionSpec functions[] = {
    function<allowed_file>({.name = "allowed_file", .qualname = n::allowed_file, .line = 13,
                            .parameters = ids<n::t, n::filename>, .locals = ids<n::extensions>}),
    function<unzip_plugin>({.name = "unzip_plugin", .qualname = n::unzip_plugin, .line = 22,
                            .parameters = ids<n::t, n::filename>, .locals = ids<n::tar_ref, n::ex>,
                            .doc = unzip_plugin_doc}),
    function<get_path>({.name = "get_path", .qualname = n::get_path, .line = 41,
                        .parameters = ids<n::t, n::filename>, .defaults = 1,
                        .locals = ids<n::p, n::folder>}),
    function<index>({.name = "index", .qualname = n::View_index, .line = 55,
                     .parameters = ids<n::t>, .locals = ids<n::folder, n::mods, n::keys, n::m, n::n>,
                     .declared = frame::types<&PyUnicode_Type>, .flags = frame::function_static}),
    function<upload>({.name = "upload", .qualname = n::View_upload, .line = 68,
                      .parameters = ids<>, .locals = ids<n::file, n::t>,
                      .flags = frame::function_static}),
    function<remove>({.name = "remove", .qualname = n::View_remove, .line = 81,
                      .parameters = ids<n::t, n::o>, .locals = ids<n::path>,
                      .flags = frame::function_static}),
    function<approve>({.name = "approve", .qualname = n::View_approve, .line = 92,
                       .parameters = ids<n::t, n::o, n::module>, .defaults = 1,
                       .flags = frame::function_static}),
};

template <auto Body>
constexpr int fn = frame::index_of<Body>(functions);

// --- the module body -------------------------------------------------------------

// <folder global> = os.path.join(os.getcwd(), <folder>)
int bind_folder(const Scope &here, n::Id global, n::Id folder) {
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
int add_static_method(PyObject *namespace_, n::Id name, int function_index, PyObject *defaults,
                      PyObject *annotations) {
    Ref function = frame::new_function(module, function_index, defaults);   if (!function) return -1;
    if (annotations) frame::set_annotations(function.get(), annotations);
    Ref method = call(module.builtin(builtin::staticmethod), function);      if (!method) return -1;
    return PyDict_SetItem(namespace_, N(name), method.get());
}

int bind_function(n::Id name, int function_index, PyObject *defaults) {
    Ref function = frame::new_function(module, function_index, defaults);   if (!function) return -1;
    return bind(name, function);
}

int body() {
    Scope here = frame::module_scope(module);
    here.at(2);                                                              // import os
    Ref os = frame::import_module(module, n::os);                            if (!os || bind(n::os, os) < 0) return here.fail_status();
    here.at(3);                                                              // import shutil
    Ref shutil = frame::import_module(module, n::shutil);                    if (!shutil || bind(n::shutil, shutil) < 0) return here.fail_status();
    here.at(4);                                                              // import tarfile
    Ref tarfile = frame::import_module(module, n::tarfile);                  if (!tarfile || bind(n::tarfile, tarfile) < 0) return here.fail_status();
    if (store_rules::prepare(tarfile.get()) < 0) return here.fail_status();
    here.at(6);                              // from flask import jsonify, request, render_template, redirect, current_app
    Ref flask = frame::import_names(module, n::flask, tuple::from_flask);    if (!flask) return here.fail_status();
    for (int name : from_flask) {
        Ref value = frame::import_from(flask.get(), N(n::Id(name)));         if (!value || bind(n::Id(name), value) < 0) return here.fail_status();
    }
    here.at(8);                                                              // UNZIP_FOLDER = os.path.join(os.getcwd(), "uploads")
    if (bind_folder(here, n::UNZIP_FOLDER, n::uploads) < 0) return here.fail_status();
    here.at(9);                                                              // PLUGIN_FOLDER = os.path.join(os.getcwd(), "plugin")
    if (bind_folder(here, n::PLUGIN_FOLDER, n::plugin) < 0) return here.fail_status();
    here.at(10);                                                             // TEMP_FOLDER = os.path.join(os.getcwd(), "temp")
    if (bind_folder(here, n::TEMP_FOLDER, n::temp) < 0) return here.fail_status();
    here.at(13);                                                             // def allowed_file(t, filename)
    if (bind_function(n::allowed_file, fn<allowed_file>, nullptr) < 0) return here.fail_status();
    here.at(22);                                                             // def unzip_plugin(t, filename)
    if (bind_function(n::unzip_plugin, fn<unzip_plugin>, nullptr) < 0) return here.fail_status();
    here.at(41);                                                             // def get_path(t, filename=None)
    if (bind_function(n::get_path, fn<get_path>, module.one_none) < 0) return here.fail_status();
    here.at(54);                                                             // class View:
    Ref namespace_ = frame::class_namespace(module, N(n::View));             if (!namespace_) return here.fail_status();
    here.at(55);                                                             // def index(t: str)
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations || PyDict_SetItem(annotations.get(), N(n::t), N(n::str)) < 0) return here.fail_status();
    if (add_static_method(namespace_.get(), n::index, fn<index>, nullptr, annotations.get()) < 0) return here.fail_status();
    here.at(68);                                                             // def upload()
    if (add_static_method(namespace_.get(), n::upload, fn<upload>, nullptr, nullptr) < 0) return here.fail_status();
    here.at(81);                                                             // def remove(t, o)
    if (add_static_method(namespace_.get(), n::remove, fn<remove>, nullptr, nullptr) < 0) return here.fail_status();
    here.at(92);                                                             // def approve(t, o, module=None)
    if (add_static_method(namespace_.get(), n::approve, fn<approve>, module.one_none, nullptr) < 0) return here.fail_status();
    here.at(54);
    Ref view = frame::make_class(module, N(n::View), namespace_.get());     if (!view || bind(n::View, view) < 0) return here.fail_status();
    here.at(1);                                                              // __test__ = {}
    Ref test = Ref::steal(PyDict_New());                                     if (!test || bind(n::test_, test) < 0) return here.fail_status();
    return 0;
}

// --- the module table --------------------------------------------------------------

const int kept_builtins[] = {n::staticmethod, n::print};
const long int_constants[] = {/* not_found */ -1};
static_assert(sizeof int_constants / sizeof *int_constants == int_constant::count,
              "one integer constant per name of int_constant");
const int plugin_keywords[] = {n::plugin_list};
const int api_keywords[] = {n::temp_list, n::plugin_list};
const frame::NameTuple tuples[] = {from_flask, plugin_keywords, api_keywords};

const frame::ModuleTable table = {
    .def_name = "file",
    .full_name = "View.file",
    .code_path = "View\\file.py",
    .traceback_path = "View\\\\file.py",
    .names = n::texts,
    .builtins = kept_builtins,
    .ints = int_constants,
    .tuples = tuples,
    .functions = functions,
    .body = body,
};

}  // namespace view_file

FRAME_MODULE(file, view_file, table)
