"""Helpers shared by the application tests (a unique module name: conftest.py is not importable
by name once several test folders have one)."""
import glob
import io
import os
import sys
import tarfile

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.abspath(os.environ.get("VIEW_BUILD_DIR", os.path.join(ROOT, "build")))
# After the build folder (put first by tests/conftest.py), so that the source View/ never wins.
if ROOT not in sys.path:
    sys.path.append(ROOT)

native = pytest.mark.skipif(not glob.glob(os.path.join(BUILD, "View", "file*.so")),
                            reason="View.file is not built in %s (run scripts/setup)" % BUILD)


def archive(members):
    """A .tar.gz in memory; members maps a name to bytes, or to ("symlink", target)."""
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w:gz") as tar:
        for name, content in members.items():
            info = tarfile.TarInfo(name)
            if isinstance(content, tuple):
                info.type, info.linkname = tarfile.SYMTYPE, content[1]
                tar.addfile(info)
            else:
                info.size = len(content)
                tar.addfile(info, io.BytesIO(content))
    return buf.getvalue()


def plugin_archive(top):
    return archive({top + "/__init__.py": b"NAME = %r\n" % top.encode(),
                    top + "/static/readme.txt": b"plug-in " + top.encode()})


def all_files(folder):
    return sorted(os.path.relpath(os.path.join(d, f), folder)
                  for d, _, files in os.walk(folder) for f in files)
