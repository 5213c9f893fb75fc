"""Helpers shared by the reliability suites (fuzz, leaks, threads, hostile input)."""
import io
import os
import tarfile

# The sanitizer and valgrind passes run the same suites several times slower;
# VIEW_RELIABILITY_SCALE overrides the factor for either.
_DEFAULT_SCALE = 0.2 if os.environ.get("VIEW_SANITIZER_PASS") == "1" else 1.0
SCALE = float(os.environ.get("VIEW_RELIABILITY_SCALE", _DEFAULT_SCALE))


def scaled(count, minimum=1):
    return max(minimum, int(count * SCALE))


def fresh(text):
    """An equal str that is not the interned literal, so identity shortcuts cannot hide a fault."""
    return "".join([text[:1], text[1:]]) if len(text) > 1 else text


def native_entries(exc):
    """(name, line) of the traceback entries the modules added, outermost first."""
    entries, tb = [], exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_name.startswith(("View.file.", "View.scheduler.")):
            entries.append((code.co_name, tb.tb_lineno))
        tb = tb.tb_next
    return entries


class NullOut:
    """Stand-in for sys.stdout: keeps nothing, so printed paths cannot look like leaks."""

    encoding = "utf-8"
    errors = "strict"

    def write(self, text):
        return len(text)

    def flush(self):
        pass


def make_jsonify():
    """A trivial jsonify: keeps Flask's own caches out of the measurements."""
    def jsonify(value):
        return ("json", dict(value))
    return jsonify


def make_render_template():
    def render_template(name, **context):
        return ("render", name, tuple(context.items()))
    return render_template


def snapshot(root, skip=()):
    """Every path under root (except those under `skip`) with what identifies its content."""
    skip = tuple(os.path.join(path, "") for path in skip)
    seen = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(folder, name)
            if os.path.join(path, "").startswith(skip) or path in skip:
                continue
            st = os.lstat(path)
            target = os.readlink(path) if os.path.islink(path) else None
            seen[path] = (st.st_mode, st.st_size, st.st_mtime_ns, target)
    return seen


def member(name, data=b"", kind=b"0", linkname="", device=(0, 0)):
    info = tarfile.TarInfo(name)
    info.type, info.linkname = kind, linkname
    info.devmajor, info.devminor = device
    info.size = len(data) if kind == tarfile.REGTYPE else 0
    return info, data


def tar_gz(members, **options):
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w:gz", compresslevel=1, **options) as tar:
        for info, data in members:
            tar.addfile(info, io.BytesIO(data) if info.isreg() else None)
    return buf.getvalue()
