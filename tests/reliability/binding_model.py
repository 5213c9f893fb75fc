"""Plain-Python statement of how the native function objects bind call arguments.

The oracle of the binding fuzz: given a signature and a call shape it says which
TypeError the call raises (message, and whether the function adds a traceback
entry at its definition line), or which value every parameter receives.
"""
from collections import namedtuple

Signature = namedtuple("Signature", "name params required types")
Bound = namedtuple("Bound", "values")
Refused = namedtuple("Refused", "exc_type message traceback_entry")


class _Failure(Exception):
    pass


def _count_error(sig, reported):
    r, n = sig.required, len(sig.params)
    word, stated = ("exactly", r) if r == n else ("at least", r) if reported < r else ("at most", n)
    return _Failure("%s() takes %s %d positional argument%s (%d given)"
                    % (sig.name, word, stated, "" if stated == 1 else "s", reported))


def _names(key, params):
    """The parameter that a keyword names: the very same object first, then an equal str."""
    same = [p for p in params if key is p]
    equal = [p for p in params if isinstance(key, str) and key == p]
    return (same + equal + [None])[0]


def _find(keywords, unused, param):
    same = [i for i in unused if keywords[i][0] is param]
    equal = [i for i in unused if isinstance(keywords[i][0], str) and keywords[i][0] == param]
    return (same + equal + [None])[0]


def _bind_parameters(sig, args, keywords):
    params, n, r, k = sig.params, len(sig.params), sig.required, len(args)
    if k > n or (not keywords and k < r):
        raise _count_error(sig, k)
    values = dict(zip(params, args))
    unused = list(range(len(keywords)))
    for position in range(k, r):
        found = _find(keywords, unused, params[position])
        if found is None:
            raise _count_error(sig, position)
        values[params[position]] = keywords[found][1]
        unused.remove(found)
    for position in range(max(k, r), n) if unused else ():
        found = _find(keywords, unused, params[position])
        if found is not None:
            values[params[position]] = keywords[found][1]
            unused.remove(found)
    for key, value in keywords if unused else ():
        later = _names(key, params[k:])
        if later is not None:
            values[later] = value
        elif not isinstance(key, str):
            raise _Failure("%.200s() keywords must be strings" % sig.name)
        elif _names(key, params[:k]) is not None:
            raise _Failure("%s() got multiple values for keyword argument '%s'" % (sig.name, key))
        else:
            raise _Failure("%s() got an unexpected keyword argument '%s'" % (sig.name, key))
    # Optional parameters always default to None in both modules.
    return {p: values.get(p) for p in params}


def bind(sig, args, keywords=()):
    """`keywords`: (name, value) pairs in the caller's order, names kept as the caller's objects."""
    args, keywords = tuple(args), list(keywords)
    if not sig.params:  # called directly by the calling protocol: no traceback entry
        if keywords:
            return Refused(TypeError, "%.200s() takes no keyword arguments" % sig.name, False)
        if args:
            return Refused(TypeError, "%.200s() takes no arguments (%d given)" % (sig.name, len(args)), False)
        return Bound({})
    try:
        values = _bind_parameters(sig, args, keywords)
    except _Failure as failure:
        return Refused(TypeError, str(failure), True)
    for param, declared in sig.types.items():
        if type(values[param]) is not declared:  # exact type: no subclass, no None
            return Refused(TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
                           % (param, declared.__name__, type(values[param]).__name__), False)
    return Bound(values)


# Every function of both modules: signature and definition line.
SIGNATURES = {
    "allowed_file": (Signature("allowed_file", ("t", "filename"), 2, {}), 13),
    "unzip_plugin": (Signature("unzip_plugin", ("t", "filename"), 2, {}), 22),
    "get_path": (Signature("get_path", ("t", "filename"), 1, {}), 41),
    "View.index": (Signature("index", ("t",), 1, {"t": str}), 55),
    "View.upload": (Signature("upload", (), 0, {}), 68),
    "View.remove": (Signature("remove", ("t", "o"), 2, {}), 81),
    "View.approve": (Signature("approve", ("t", "o", "module"), 2, {}), 92),
    "scheduler View.get": (Signature("get", ("self",), 1, {}), 7),
}
