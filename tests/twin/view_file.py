# Plain-Python twin of the native module View.file. Each statement carries, as a
# trailing comment, the source line the native module reports for it, so that a
# twin traceback can be read against a native one. It imports only the standard
# library and flask, so it can be loaded on its own (benchmarks use it as the
# plain-Python baseline).
import os  # 2
import shutil  # 3
import tarfile  # 4

from flask import jsonify, request, render_template, redirect, current_app  # 6  # noqa: F401 (as the native module imports them)

# The native module takes `print` from the builtins once, before its body runs;
# later changes to builtins.print do not reach View.remove.
_print = print

UNZIP_FOLDER = os.path.join(os.getcwd(), "uploads")  # 8
PLUGIN_FOLDER = os.path.join(os.getcwd(), "plugin")  # 9
TEMP_FOLDER = os.path.join(os.getcwd(), "temp")  # 10


def _make_store_filter(tarfile_module):
    # Built once at import, from the tarfile module of that moment: replacing the
    # module global `tarfile` later must not weaken what extraction lets through.
    data_filter = getattr(tarfile_module, "data_filter", None)
    refusal = tarfile_module.FilterError if data_filter else tarfile_module.TarError

    def store_filter(member, dest_path):
        # Absolute and ".." names are refused whatever the interpreter's own
        # filter makes of them; a link member could make later members, or other
        # plug-ins' files, writable through it.
        if isinstance(member.name, str) and _unsafe_name(member.name):
            raise refusal("%r has an absolute name or a '..' component; "
                          "plug-in archives may not contain such paths" % (member.name,))
        if member.islnk() or member.issym():
            raise refusal("%r is a link; plug-in archives may not contain links" % (member.name,))
        if data_filter:
            return data_filter(member, dest_path)
        if member.ischr() or member.isblk() or member.isfifo():
            raise refusal("%r is a special file; plug-in archives may not contain one"
                          % (member.name,))
        return member

    return store_filter


def _check_members(tar_ref, folder):
    # Every member passes the filter before anything is written: a refused
    # member or a truncated archive (getmembers reads every header) fails first.
    try:
        getmembers = tar_ref.getmembers
    except AttributeError:
        return
    for member in getmembers():
        _store_filter(member, folder)


# Fixed at import: the checks must not go through the replaceable global `os`.
_SEPARATORS = ("/", os.sep)


_fspath = os.fspath


def _path_text(name):
    # A path object meets the same refusals as the text it stands for.
    if isinstance(name, str):
        return name
    if isinstance(name, bytes) or not hasattr(type(name), "__fspath__"):
        return None
    text = _fspath(name)
    return text if isinstance(text, str) else None


_store_filter = _make_store_filter(tarfile)
_has_filters = hasattr(tarfile, "data_filter")


def _unsafe_name(filename):
    # Names come from the client: an absolute name or a ".." component would let
    # get_path point outside the working folders.
    text = _path_text(filename)
    if text is None:
        return None
    if text.startswith(_SEPARATORS) or ".." in text.replace(_SEPARATORS[1], "/").split("/"):
        return text
    return None


def _names_folder_itself(o):
    # None, "", "." (or "./") make get_path answer the folder itself, and
    # View.remove would then delete every stored entry of that kind.
    if o is None:
        return True
    text = _path_text(o)
    if text is None:
        return False
    return all(part in ("", ".") for part in text.replace(_SEPARATORS[1], "/").split("/"))

def _special(manager, name):
    # `with` finds __enter__/__exit__ on the type, never on the instance.
    for klass in type(manager).__mro__:
        if name in vars(klass):
            attribute = vars(klass)[name]
            get = getattr(type(attribute), "__get__", None)
            return attribute if get is None else get(attribute, manager, type(manager))
    raise AttributeError(name)


class _With(object):
    # The native module looks up __exit__ before __enter__ (the interpreter's own
    # `with` does it the other way round); this wrapper keeps that order.
    __slots__ = ("_manager", "_exit", "_enter")

    def __init__(self, manager):
        self._manager = manager
        self._exit = _special(manager, "__exit__")
        self._enter = _special(manager, "__enter__")

    def __enter__(self):
        return self._enter()

    def __exit__(self, exc_type, exc_value, exc_tb):
        return self._exit(exc_type, exc_value, exc_tb)


def allowed_file(t, filename):  # 13
    extensions = ""
    if t == "plugin":  # 15
        extensions = ".tar.gz"
    elif t == "api_module":  # 17
        extensions = ".py"
    return False if extensions == "" else filename.endswith(extensions)  # 19


def unzip_plugin(t, filename):  # 22
    """
    指定文件解压到插件目录
    :param t:
    :type t:
    :param filename: 指定压缩文件
    :type filename: str
    :return: 返回成功（True）或报错
    :rtype: bool | Exception
    """
    try:
        with _With(tarfile.open(get_path(t, filename), "r")) as tar_ref:  # 33
            _extract(tar_ref)  # 34
        os.remove(get_path(t, filename))  # 35
        return True
    except Exception as ex:  # 37
        raise ex  # 38


def _extract(tar_ref):
    # Line 34, in the native module's order: filter set, extractall looked up,
    # PLUGIN_FOLDER resolved, every member checked, then the one call.
    if _has_filters:
        tar_ref.extraction_filter = _store_filter
    extractall = tar_ref.extractall
    folder = PLUGIN_FOLDER
    _check_members(tar_ref, folder)
    extractall(folder)


def get_path(t, filename=None):  # 41
    unsafe = _unsafe_name(filename)  # 42
    if unsafe is not None:
        raise ValueError("unsafe file name %r: absolute names and '..' components are not allowed"
                         % (unsafe,))
    if t != "plugin":  # 42
        folder = "temp"
    elif filename:  # 44
        folder = "plugin"
    else:
        folder = "uploads"
    p = os.path.join(os.getcwd(), folder)  # 48
    if not os.path.exists(p):  # 49
        os.mkdir(p)  # 50
    return p if filename is None else os.path.join(p, filename)  # 51


class View:  # 54
    @staticmethod
    def index(t):  # 55
        if type(t) is not str:
            raise TypeError("Argument 't' has incorrect type (expected str, got %.200s)"
                            % type(t).__name__)
        if request.method == "GET":  # 57
            if t == "plugin":  # 58
                folder = _as_list(os.listdir(PLUGIN_FOLDER))  # 59
                return render_template("upload.html", plugin_list=folder)  # 61
            elif t == "api_module":  # 62
                keys = current_app.blueprints.keys()  # 63
                mods = [m for m in list(keys) if m.find(".") == -1]  # 64
                folder = _as_list(os.listdir(TEMP_FOLDER))  # 65
                return render_template("upload.html", temp_list=folder, plugin_list=mods)  # 66
        return None

    @staticmethod
    def upload():  # 68
        if request.method == "POST":  # 70
            file = request.files.get("formFile")  # 71
            t = request.form.get("type")  # 72
            if file and allowed_file(t, file.filename):  # 73
                file.save(get_path(t, file.filename))  # 74
                if t == "plugin":  # 75
                    unzip_plugin(t, file.filename)  # 76
            return jsonify({"state": "ok"})  # 79
        return None

    @staticmethod
    def remove(t, o):  # 81
        if request.method == "GET":  # 83
            if _names_folder_itself(o):  # 84
                shown = o if _path_text(o) is None else _path_text(o)
                raise ValueError("refusing to remove %r: it names the whole folder" % (shown,))
            path = get_path(t, o)  # 84
            _print(path)  # 85
            if os.path.isdir(path):  # 86
                shutil.rmtree(path)  # 87
            else:
                os.remove(path)  # 89
            return jsonify({"state": "ok"})  # 90
        return None

    @staticmethod
    def approve(t, o, module=None):  # 92
        return None


def _as_list(value):
    # `folder` is declared as a list in the native module: it holds a list or None.
    if value is not None and type(value) is not list:
        raise TypeError("Expected list, got %.200s" % type(value).__name__)
    return value


__test__ = {}  # 1
