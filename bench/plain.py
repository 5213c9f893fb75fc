"""The measured functions written in plain Python, statement for statement, so that the
same interpreter runs them the way it runs any Python code. Only the functions that the
benchmark calls are here. Globals are read at call time, as in the native modules, so the
harness can replace `jsonify` here and there alike."""
import os

from flask import jsonify


def allowed_file(t, filename):
    extensions = ""
    if t == "plugin":
        extensions = ".tar.gz"
    elif t == "api_module":
        extensions = ".py"
    if extensions == "":
        return False
    return filename.endswith(extensions)


def get_path(t, filename=None):
    if t != "plugin":
        folder = "temp"
    elif filename:
        folder = "plugin"
    else:
        folder = "uploads"
    p = os.path.join(os.getcwd(), folder)
    if not os.path.exists(p):
        os.mkdir(p)
    if filename is None:
        return p
    return os.path.join(p, filename)


class View:
    @staticmethod
    def index(t):
        # The native method refuses anything but an exact str before its body runs.
        if type(t) is not str:
            raise TypeError(
                "Argument 't' has incorrect type (expected str, got %.200s)" % type(t).__name__
            )
        # The listing itself is never reached by the benchmark.
        return None

    @staticmethod
    def approve(t, o, module=None):
        pass


class SchedulerView:
    def get(self):
        print(os.getcwd())
        return jsonify({"asdfsd": "dfdf"})
