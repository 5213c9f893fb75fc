"""Random call shapes against every function of both modules, judged by binding_model."""
import random
import types

import pytest

from binding_model import SIGNATURES, Bound, Signature, bind
from reliability_support import scaled
from support.tracebacks import native_entries

CASES_PER_FUNCTION = scaled(750, minimum=100)
KEYWORD_POOL = ["t", "filename", "o", "module", "self", "x", "T", "file_name"]


class StrSub(str):
    pass


INDEX_VALUES = ["plugin", "api_module", "Plugin", "", None, 1, b"plugin", StrSub("plugin")]


class Marker:
    """An argument that records what the body does with it, so bound values are observable."""

    log = []

    def __init__(self, tag):
        self.tag = tag

    def __eq__(self, other):
        Marker.log.append(("eq", self.tag, other))
        return other == "plugin"

    def __ne__(self, other):
        Marker.log.append(("ne", self.tag, other))
        return other != "plugin"

    __hash__ = object.__hash__

    def __bool__(self):
        Marker.log.append(("bool", self.tag))
        return True

    def endswith(self, suffix):
        Marker.log.append(("endswith", self.tag, suffix))
        return ("endswith", self.tag, suffix)


class Probe(Exception):
    """Raised by a stand-in global: the body ran, so binding succeeded, with these values."""


def probe(*args):
    raise Probe(*args)


def tags(value):
    if isinstance(value, Marker):
        return ("M", value.tag)
    return tuple(tags(v) for v in value) if isinstance(value, (tuple, list)) else value


@pytest.fixture
def functions(monkeypatch, file_mod, sched_mod):
    """Every function, with the globals its body reads replaced: no disk, Flask or stdout."""
    found = {name: getattr(file_mod, name) for name in ("allowed_file", "get_path", "unzip_plugin")}
    found.update({"View." + n: getattr(file_mod.View, n) for n in ("index", "upload", "remove", "approve")})
    found["scheduler View.get"] = sched_mod.View.get
    NS = types.SimpleNamespace
    for name, value in {
        "os": NS(sep="/", getcwd=lambda: "/cwd", listdir=lambda p: ["p"], mkdir=probe, remove=probe,
                 path=NS(join=lambda *a: ("join",) + a, exists=lambda p: True)),
        "request": NS(method="GET"),
        "render_template": lambda name, **kw: ("render", name, tuple(kw.items())),
        "current_app": NS(blueprints={"a": 1, "b.c": 2}),
        "get_path": probe,  # read by unzip_plugin and remove only
    }.items():
        monkeypatch.setattr(file_mod, name, value)
    monkeypatch.setattr(sched_mod, "os", NS(getcwd=lambda: probe("cwd")))
    return found


def expected(name, outcome):
    """What the call gives, with the stand-ins, once the model has bound (or refused) it."""
    if not isinstance(outcome, Bound):
        qualname = "View.scheduler.View.get" if name.startswith("scheduler") else "View.file." + name
        entries = [(qualname, SIGNATURES[name][1])] if outcome.traceback_entry else []
        return ("raise", outcome.exc_type, outcome.message, entries)
    v = outcome.values
    if name == "allowed_file":
        f = v["filename"].tag
        return ("ok", ("endswith", f, ".tar.gz"), (("eq", v["t"].tag, "plugin"), ("endswith", f, ".tar.gz")))
    if name == "get_path" and v["filename"] is None:
        return ("ok", ("join", "/cwd", "uploads"), (("ne", v["t"].tag, "plugin"),))
    if name == "get_path":
        f = v["filename"].tag
        return ("ok", ("join", ("join", "/cwd", "plugin"), ("M", f)),
                (("ne", v["t"].tag, "plugin"), ("bool", f)))
    if name == "unzip_plugin":
        return ("probe", (tags(v["t"]), tags(v["filename"])), ())
    if name == "View.remove":  # the guard against removing the folder itself may look at `o` first
        return ("probe", (tags(v["t"]), tags(v["o"])), None)
    if name == "View.index" and v["t"] in ("plugin", "api_module"):
        context = (("plugin_list", ("p",)),) if v["t"] == "plugin" else (
            ("temp_list", ("p",)), ("plugin_list", ("a",)))
        return ("ok", ("render", "upload.html", context), ())
    if name == "scheduler View.get":
        return ("probe", ("cwd",), ())
    return ("ok", None, ())  # index of another kind, upload (not a POST here), approve


def observe(name, function, args, kwargs):
    Marker.log = []
    try:
        outcome = ("ok", tags(function(*args, **kwargs)))
    except Probe as exc:
        outcome = ("probe", tags(exc.args))
    except Exception as exc:
        return ("raise", type(exc), str(exc), native_entries(exc))
    return outcome + (None if name == "View.remove" else tags(Marker.log),)


def random_call(rng, name, counter):
    def value():
        counter[0] += 1
        return rng.choice(INDEX_VALUES) if name == "View.index" else Marker(counter[0])

    params = SIGNATURES[name][0].params
    # Half the shapes stay within the signature, so that successes are common too.
    args = [value() for _ in range(rng.randint(0, len(params) if rng.random() < 0.5 else 5))]
    names = [p for p in params if rng.random() < 0.5]
    if rng.random() < 0.3:
        names.append(rng.choice([k for k in KEYWORD_POOL if k not in names]))
    rng.shuffle(names)
    # Half the keywords are equal copies of the name, not the interned object itself.
    return args, [(k if rng.random() < 0.5 else "".join(list(k)), value()) for k in names]


@pytest.mark.parametrize("name", sorted(SIGNATURES))
def test_random_call_shapes_bind_as_the_model_says(name, functions):
    rng, counter, mismatches = random.Random("1234-" + name), [0], []
    for _ in range(CASES_PER_FUNCTION):
        args, keywords = random_call(rng, name, counter)
        want = expected(name, bind(SIGNATURES[name][0], args, keywords))
        got = observe(name, functions[name], args, dict(keywords))
        if got != want:
            mismatches.append("args=%r kwargs=%r\n  expected %r\n  got      %r"
                              % (tags(args), [(k, tags(v)) for k, v in keywords], want, got))
    assert not mismatches, "%d of %d shapes differ:\n%s" % (
        len(mismatches), CASES_PER_FUNCTION, "\n".join(mismatches[:8]))


THREE, TWO = Signature("f", ("a", "b", "c"), 2, {}), Signature("g", ("a", "b"), 2, {})


@pytest.mark.parametrize("sig, args, keywords, message", [
    (THREE, (), (), "f() takes at least 2 positional arguments (0 given)"),
    (THREE, (), (("a", 1),), "f() takes at least 2 positional arguments (1 given)"),
    (THREE, (1, 2, 3, 4), (("c", 1),), "f() takes at most 3 positional arguments (4 given)"),
    (TWO, (), (("b", 1),), "g() takes exactly 2 positional arguments (0 given)"),
    (TWO, (1,), (("zz", 1),), "g() takes exactly 2 positional arguments (1 given)"),
    (TWO, (1,), (("b", 1), ("zz", 2), ("a", 3)), "g() got an unexpected keyword argument 'zz'"),
    (TWO, (1,), (("b", 1), ("a", 2), ("zz", 3)), "g() got multiple values for keyword argument 'a'"),
])
def test_model_matches_worked_examples(sig, args, keywords, message):
    """The oracle itself, against the worked examples that come with the binding rules."""
    assert bind(sig, args, keywords).message == message
