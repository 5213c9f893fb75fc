# Plain-Python twin of the native module View.scheduler; trailing comments give
# the source line the native module reports for each statement.
from flask import jsonify, abort  # 2  # noqa: F401 (as the native module imports them)
import os  # 3

# Taken from the builtins once, as the native module does at import.
_print = print


class View:  # 6
    def get(self):  # 7
        _print(os.getcwd())  # 8
        return jsonify({"asdfsd": "dfdf"})  # 9


__test__ = {}  # 1
