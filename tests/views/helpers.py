"""Shared stand-ins and probes for the view tests."""
import glob
import importlib
import io
import os
import tarfile

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.environ.get("VIEW_BUILD_DIR", os.path.join(ROOT, "build"))
# Traceback entries of the native modules name their file with two backslashes.
TB_FILE = {"file": r"View\\file.py", "scheduler": r"View\\scheduler.py"}


def load(kind, name):
    """The native module View.<name> or its plain-Python twin."""
    if kind == "twin":
        return importlib.import_module("twin.view_" + name)
    if not glob.glob(os.path.join(BUILD, "View", name + "*.so")):
        pytest.skip("native View.%s is not built (no %s/View/%s*.so)" % (name, BUILD, name))
    return importlib.import_module("View." + name)


def is_native(module):
    return module.__name__.startswith("View.")


def native_entries(exc, name="file"):
    """(function, line) of the native module's traceback entries, outermost first.

    `exc` is an exception or a traceback."""
    entries, tb = [], getattr(exc, "__traceback__", exc)
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == TB_FILE[name]:
            entries.append((code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return entries


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


def make_tar(path, members, mode="w:gz"):
    """members: (kind, name[, data or link target]) with kind file/dir/sym/hard/chr/blk/fifo."""
    kinds = {"dir": tarfile.DIRTYPE, "sym": tarfile.SYMTYPE, "hard": tarfile.LNKTYPE,
             "chr": tarfile.CHRTYPE, "blk": tarfile.BLKTYPE, "fifo": tarfile.FIFOTYPE}
    with tarfile.open(path, mode) as tar:
        for kind, name, *rest in members:
            info = tarfile.TarInfo(name)
            info.mode = 0o755 if kind == "dir" else 0o644
            if kind == "file":
                data = rest[0]
                info.size = len(data)
                tar.addfile(info, io.BytesIO(data))
                continue
            info.type = kinds[kind]
            if kind in ("sym", "hard"):
                info.linkname = rest[0]
            if kind in ("chr", "blk"):
                info.devmajor, info.devminor = 1, 3
            tar.addfile(info)
    return path


def tar_bytes(tmp_dir, members, name="p.tar.gz"):
    path = make_tar(os.path.join(str(tmp_dir), name), members)
    with open(path, "rb") as f:
        return f.read()


def snapshot(root, skip=()):
    """Every entry below root: kind plus content or link target; `skip` subtrees left out."""
    found = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            full = os.path.join(folder, name)
            rel = os.path.relpath(full, root)
            if any(rel == s or rel.startswith(s + os.sep) for s in skip):
                continue
            if os.path.islink(full):
                found[rel] = ("link", os.readlink(full))
            elif os.path.isdir(full):
                found[rel] = ("dir",)
            elif os.path.isfile(full):
                with open(full, "rb") as f:
                    found[rel] = ("file", f.read())
            else:
                found[rel] = ("special", os.lstat(full).st_mode)
    return found
