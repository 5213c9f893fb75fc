"""Shared stand-ins and probes for the view tests."""
import importlib

import pytest
from support.paths import BUILD, built


def load(kind, name):
    """The native module View.<name> or its plain-Python twin."""
    if kind == "twin":
        return importlib.import_module("twin.view_" + name)
    if not built(name):
        pytest.skip("native View.%s is not built (no %s/View/%s*.so)" % (name, BUILD, name))
    return importlib.import_module("View." + name)


def is_native(module):
    return module.__name__.startswith("View.")


class Spy(object):
    """Stand-in whose attribute reads and calls land in a shared log, in order."""

    def __init__(self, log, name, **attrs):
        object.__setattr__(self, "_spy", (log, name, attrs))

    def __getattr__(self, attr):
        log, name, attrs = object.__getattribute__(self, "_spy")
        log.append("get %s.%s" % (name, attr))
        value = attrs[attr]
        if not callable(value) or isinstance(value, Spy):
            return value

        def call(*args, **kwargs):
            log.append(("call", "%s.%s" % (name, attr)) + args + tuple(kwargs.items()))
            return value(*args, **kwargs)

        return call


def recorder(log, name, result=None):
    def record(*args, **kwargs):
        log.append(("call", name) + args + tuple(kwargs.items()))
        return result

    return record


class LogStream(object):
    """sys.stdout replacement that puts printed lines into the log."""

    def __init__(self, log):
        self.log = log

    def write(self, text):
        if text != "\n":
            self.log.append(("print", text))

    def flush(self):
        pass
