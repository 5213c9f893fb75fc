"""Eight threads call every function while another keeps rewriting the module namespaces:
each call must give what it gives single-threaded, and nothing may crash."""
import io
import os
import sys
import threading
import time
import types

import pytest

from reliability_support import SCALE, NullOut, make_jsonify, make_render_template
from support.archives import member, tar

THREADS = 8
SECONDS = max(0.5, 3.0 * SCALE)


def outcome(thunk):
    try:
        result = thunk()
    except Exception as exc:
        return (type(exc).__name__, str(exc))
    return ("ok", result)


def make_round(i, mod, sched, app):
    View = mod.View
    api_name, plugin_name = "t%d.py" % i, "p%d.tar.gz" % i
    blob = tar([member("pkg%d/f.txt" % i, b"payload")])

    def upload(kind, name, data):
        form = {"type": kind, "formFile": (io.BytesIO(data), name)}
        with app.test_request_context("/", method="POST", data=form):
            return View.upload()

    steps = [
        lambda: mod.allowed_file("plugin", plugin_name),
        lambda: mod.allowed_file("api_module", "x.txt"),
        lambda: mod.allowed_file("plugin", None),
        lambda: mod.get_path("api_module", api_name),
        lambda: mod.get_path("plugin", "../escape%d" % i),
        lambda: mod.unzip_plugin("plugin", "missing%d.tar.gz" % i),
        lambda: View.index("api_module"),
        lambda: View.index("other"),
        lambda: View.index(None),
        lambda: View.index(),
        lambda: upload("api_module", api_name, b"print(%d)\n" % i),
        lambda: os.path.getsize(mod.get_path("api_module", api_name)),
        lambda: View.remove("api_module", api_name),
        lambda: View.remove("api_module", api_name),
        lambda: upload("plugin", plugin_name, blob),
        lambda: sorted(os.listdir(os.path.join("plugin", "pkg%d" % i))),
        lambda: View.remove("plugin", "pkg%d" % i),
        lambda: View.remove("plugin", ""),
        lambda: View.upload(1),
        lambda: View.approve("plugin", "x", module=i),
        lambda: View.approve("plugin"),
        lambda: sched.View().get(),
        lambda: sched.View.get(),
    ]

    def run_round():
        with app.test_request_context("/", method="GET"):
            return [outcome(step) for step in steps]
    return run_round


def mutator(mod, sched, stop, mode):
    real_os = mod.os
    os_copy = types.ModuleType("os")  # an equivalent object, not the same one
    os_copy.__dict__.update(real_os.__dict__)
    n = 0
    while not stop.is_set():
        n += 1
        for module in (mod, sched):
            module.__dict__["_reliability_unused"] = n  # a write that changes the dict version
            del module.__dict__["_reliability_unused"]
        if mode == "same-object":
            mod.os = mod.os
            mod.get_path = mod.get_path
            sched.jsonify = sched.jsonify
        else:
            # Fresh equivalent objects: the replaced ones die at once, so a cache that
            # kept a stale borrowed value would read freed memory.
            mod.os = os_copy if n % 2 else real_os
            sched.os = os_copy if n % 2 else real_os
            mod.jsonify, sched.jsonify = make_jsonify(), make_jsonify()
            mod.render_template = make_render_template()
        if n % 64 == 0:
            time.sleep(0)
    return n


@pytest.mark.parametrize("mode", ["same-object", "equivalent-objects"])
def test_concurrent_calls_match_single_threaded(mode, file_mod, sched_mod, store, app, monkeypatch):
    listing = store / "listing"
    listing.mkdir()
    for name in ("a.py", "b.py"):
        (listing / name).write_text("x")
    monkeypatch.setattr(file_mod, "TEMP_FOLDER", str(listing))
    for module in (file_mod, sched_mod):
        monkeypatch.setattr(module, "jsonify", make_jsonify())
        monkeypatch.setattr(module, "os", os)
    monkeypatch.setattr(file_mod, "render_template", make_render_template())
    monkeypatch.setattr(file_mod, "get_path", file_mod.get_path)
    monkeypatch.setattr(sys, "stdout", NullOut())
    rounds = [make_round(i, file_mod, sched_mod, app) for i in range(THREADS)]
    expected = [run() for run in rounds]
    assert expected[0][0] == ("ok", True) and expected[0][13][0] == "FileNotFoundError"

    stop, failures, counts = threading.Event(), [], [0] * THREADS

    def worker(i):
        deadline = time.monotonic() + SECONDS
        try:
            while time.monotonic() < deadline:
                got = rounds[i]()
                counts[i] += 1
                if got != expected[i]:
                    failures.append((i, [(s, e, g) for s, (e, g) in enumerate(zip(expected[i], got))
                                         if e != g]))
                    return
        except BaseException as exc:  # pragma: no cover - reported below
            failures.append((i, repr(exc)))

    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        changes = []
        writer = threading.Thread(target=lambda: changes.append(mutator(file_mod, sched_mod, stop, mode)))
        workers = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
        writer.start()
        for w in workers:
            w.start()
        for w in workers:
            w.join()
        stop.set()
        writer.join()
    finally:
        sys.setswitchinterval(old_interval)
    assert not failures, failures[:3]
    assert min(counts) > 0 and changes[0] > 0
