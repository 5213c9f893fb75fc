"""allowed_file and get_path: kinds, suffixes, folders, lookup order."""
import os
import pathlib

import pytest

from support.tracebacks import native_entries

from .helpers import Spy, is_native


@pytest.mark.parametrize("t, filename, expected", [
    ("plugin", "p.tar.gz", True),
    ("plugin", ".tar.gz", True),
    ("plugin", "p.TAR.GZ", False),
    ("plugin", "p.tar.gz.bak", False),
    ("plugin", "p.py", False),
    ("api_module", "m.py", True),
    ("api_module", ".py", True),
    ("api_module", "m.pyc", False),
    ("api_module", "m.tar.gz", False),
    ("Plugin", "p.tar.gz", False),
    ("other", "m.py", False),
    (None, "m.py", False),
])
def test_allowed_file_by_kind(mod, t, filename, expected):
    assert mod.allowed_file(t, filename) is expected
    assert mod.allowed_file(filename=filename, t=t) is expected


# Filenames of every str width, around the suffixes' lengths; a UCS-2 name
# whose last bytes spell ".py" in memory but not in characters.
NAMES = ["", "p", "py", ".py", "a.py", "gz", ".tar.gz", "a.tar.gz", "xtar.gz", "a.tar.gz ",
         "a" * 70 + ".tar.gz", "a" * 70 + ".py", "\xe9.py", "\xe9.tar.gz", "\xe9py",
         "\u0100.py", "\u0100.tar.gz", "\u0100.tar.g\u017a", "\u2e41\u7970",
         "\U0001f600.py", "\U0001f600.tar.gz", "\U0001f600", ".tar.gz\U0001f600"]


@pytest.mark.parametrize("filename", NAMES)
@pytest.mark.parametrize("t, suffix", [("plugin", ".tar.gz"), ("api_module", ".py")])
def test_allowed_file_answers_as_str_endswith(mod, t, suffix, filename):
    # A name made at run time, not a constant the compiler may share.
    made = "".join(list(filename))
    assert mod.allowed_file(t, made) is filename.endswith(suffix)


class Suffixed(str):
    def endswith(self, suffix):
        return ("own", suffix)


@pytest.mark.parametrize("filename, expected", [
    (Suffixed("a.py"), ("own", ".py")),
    (type("Plain", (str,), {})("a.py"), True),
    (type("Plain", (str,), {})("a.pyc"), False),
])
def test_allowed_file_str_subclass_keeps_its_endswith(mod, filename, expected):
    assert mod.allowed_file("api_module", filename) == expected


# Kinds equal to the constants but made at run time, and every one-character
# miss of each, each with a name its kind would allow, so the comparison reads
# the whole text.
ALLOWED = {"plugin": "a.tar.gz", "api_module": "a.py"}
KINDS = [("".join(list(k)), name, True) for k, name in ALLOWED.items()] + [
    (k[:i] + chr(ord(k[i]) ^ 1) + k[i + 1:], name, False)
    for k, name in ALLOWED.items() for i in range(len(k))
] + [("api_modul", "a.py", False), ("api_module_", "a.py", False),
     ("plug\u012bn", "a.tar.gz", False)]


@pytest.mark.parametrize("t, filename, expected", KINDS)
def test_allowed_file_kind_compares_by_text(mod, t, filename, expected):
    assert mod.allowed_file(t, filename) is expected


def test_allowed_file_unknown_kind_never_touches_filename(mod):
    class Untouchable(object):
        def __getattribute__(self, name):
            raise AssertionError("filename was read: " + name)

    assert mod.allowed_file("other", Untouchable()) is False
    assert mod.allowed_file(None, None) is False


def test_allowed_file_passes_endswith_result_unchanged(mod):
    seen = []

    class Name(object):
        def endswith(self, suffix):
            seen.append(suffix)
            return "yes"

    assert mod.allowed_file("api_module", Name()) == "yes"
    assert mod.allowed_file("plugin", Name()) == "yes"
    assert seen == [".py", ".tar.gz"]


@pytest.mark.parametrize("filename, error", [(None, AttributeError), (b"p.tar.gz", TypeError)])
def test_allowed_file_unusable_name_fails_at_line_19(mod, filename, error):
    with pytest.raises(error) as info:
        mod.allowed_file("plugin", filename)
    if is_native(mod):
        assert native_entries(info.value) == [("View.file.allowed_file", 19)]


@pytest.mark.parametrize("t, filename, rel, folder", [
    ("plugin", "a.tar.gz", "plugin/a.tar.gz", "plugin"),
    ("plugin", "sub/a.tar.gz", "plugin/sub/a.tar.gz", "plugin"),
    ("plugin", "a..b.tar.gz", "plugin/a..b.tar.gz", "plugin"),
    ("plugin", None, "uploads", "uploads"),
    ("plugin", "", "uploads/", "uploads"),
    ("api_module", "m.py", "temp/m.py", "temp"),
    ("api_module", None, "temp", "temp"),
    ("other", "m.py", "temp/m.py", "temp"),
    (None, "m.py", "temp/m.py", "temp"),
])
def test_get_path_picks_and_creates_the_folder(mod, work, t, filename, rel, folder):
    expected = os.path.join(work.cwd, *rel.split("/"))
    assert mod.get_path(t, filename) == expected
    assert os.listdir(work.cwd) == [folder]
    assert os.path.isdir(os.path.join(work.cwd, folder))
    assert mod.get_path(t=t, filename=filename) == expected  # second call: same, nothing new
    assert os.listdir(work.cwd) == [folder]
    if filename is None:
        assert mod.get_path(t) == expected


def test_get_path_keeps_a_regular_file_in_the_folders_place(mod, work):
    with open("temp", "w") as f:
        f.write("not a folder")
    assert mod.get_path("api_module", "m.py") == os.path.join(work.cwd, "temp", "m.py")
    assert os.path.isfile("temp")


@pytest.mark.parametrize("exists", [False, True])
def test_get_path_lookup_and_call_order(mod, monkeypatch, exists):
    log = []
    path = Spy(log, "path", join=lambda *parts: "/".join(parts), exists=lambda p: exists)
    monkeypatch.setattr(mod, "os", Spy(log, "os", path=path, getcwd=lambda: "/cwd",
                                       mkdir=lambda p: None))
    assert mod.get_path("plugin", "a.tar.gz") == "/cwd/plugin/a.tar.gz"
    create = [] if exists else ["get os.mkdir", ("call", "os.mkdir", "/cwd/plugin")]
    assert log == [
        "get os.path", "get path.join", "get os.getcwd", ("call", "os.getcwd"),
        ("call", "path.join", "/cwd", "plugin"),
        "get os.path", "get path.exists", ("call", "path.exists", "/cwd/plugin"),
    ] + create + [
        "get os.path", "get path.join", ("call", "path.join", "/cwd/plugin", "a.tar.gz"),
    ]


class _BadTruth(object):
    def __bool__(self):
        raise ZeroDivisionError("no truth")


@pytest.mark.parametrize("filename, error, line, created", [
    (5, TypeError, 51, ["plugin"]),
    (b"a.tar.gz", TypeError, 51, ["plugin"]),
    (_BadTruth(), ZeroDivisionError, 44, []),
])
def test_get_path_failures(mod, work, filename, error, line, created):
    with pytest.raises(error) as info:
        mod.get_path("plugin", filename)
    assert os.listdir(work.cwd) == created
    if is_native(mod):
        assert native_entries(info.value) == [("View.file.get_path", line)]


@pytest.mark.parametrize("t", ["plugin", "api_module"])
@pytest.mark.parametrize("filename", [
    "..", "../x.py", "a/../../x.py", "a/..", "./../x", "/etc/passwd", "/x.tar.gz", "//x",
])
@pytest.mark.parametrize("as_path", [str, pathlib.PurePosixPath], ids=["str", "path"])
def test_get_path_refuses_names_leaving_the_folder(mod, work, t, filename, as_path):
    with pytest.raises(ValueError) as info:
        mod.get_path(t, as_path(filename))
    assert repr(str(as_path(filename))) in str(info.value)
    assert os.listdir(work.cwd) == []  # refused before any folder is created
