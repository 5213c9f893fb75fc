"""The two distributions as a user gets them: the modules' wheels for every supported interpreter,
their sdist, isolated and editable installs, the stubs and the README's host example; the
manager's pure-Python wheel, its metadata and its command."""
import os
import re
import shutil
import socket
import subprocess
import tarfile
import time
import urllib.request
import zipfile

import pytest

from package_support import (HERE, MANAGER, clean_env, modules_version, newest, primary,
                             python_value, run, tool, unsupported)
from support.paths import ROOT

SMOKE = os.path.join(HERE, "smoke.py")
APP_FILES = sorted(
    os.path.relpath(os.path.join(folder, name), os.path.join(MANAGER, "view_plugin_manager"))
    for folder, dirs, files in os.walk(os.path.join(MANAGER, "view_plugin_manager"))
    for name in files
    if "__pycache__" not in folder and not name.endswith((".pyc", ".pyo")))


def wheel_metadata(wheel):
    """{file name: text} of the wheel's .dist-info, and the names of every other file."""
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        dist_info = next(n.split("/")[0] for n in names if n.endswith(".dist-info/WHEEL"))
        meta = {n.split("/", 1)[1]: archive.read(n).decode() for n in names
                if n.startswith(dist_info + "/")}
    return meta, [n for n in names if not n.startswith(dist_info + "/")]


def metadata_field(metadata, field):
    return re.findall(r"^%s: (.*)$" % field, metadata, re.M)


def readme_host(folder):
    """Writes the files of the README's host example (each fenced block that starts with a
    comment naming its file) into folder."""
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        readme = f.read()
    section = readme.split("## Use the modules in your own Flask application", 1)[1]
    section = section.split("\n## ", 1)[0]
    written = []
    for block in re.findall(r"^```\w*\n(.*?)^```", section, re.S | re.M):
        name = re.match(r"(?:# |\{# )([\w./]+)", block)
        if name:
            path = os.path.join(folder, name.group(1))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w", encoding="utf-8") as f:
                f.write(block)
            written.append(name.group(1))
    assert sorted(written) == ["host.py", "templates/upload.html"], written
    return folder


def smoke(python, tmp_path, prefix):
    """Runs smoke.py in the venv, from /, with the README's host example."""
    host = readme_host(str(tmp_path / "host"))
    work = tmp_path / "work"
    work.mkdir()
    out = run([python, SMOKE, host, work, prefix]).stdout
    assert out.rstrip().endswith("smoke ok"), out


# --- wheels ---------------------------------------------------------------------------------

# The policy of the published wheels: manylinux2014 (glibc 2.17), which every pip since 19.3
# installs. The modules link libstdc++ statically and need only old C library symbols, so a
# build on this machine's (newer) glibc satisfies it.
MANYLINUX = "manylinux2014_x86_64.manylinux_2_17_x86_64"


def wheel_tag(python):
    return python_value(python, "'cp%d%d-cp%d%d' % (sys.version_info[:2] * 2)")


def test_repaired_wheel_is_manylinux_and_passes_twine_check(builds, minor):
    wheel = builds.wheel(minor)
    tag = wheel_tag(builds.venv(minor, "builder"))
    assert os.path.basename(wheel) == "view_modules-%s-%s-%s.whl" % (
        modules_version(), tag, MANYLINUX)
    shown = run([tool("auditwheel"), "show", wheel]).stdout
    assert 'consistent with the following platform tag: "manylinux_2_17_x86_64"' in \
        " ".join(shown.split()), shown
    # Nothing grafted: the modules need no library that a manylinux system lacks.
    with zipfile.ZipFile(wheel) as archive:
        assert not [n for n in archive.namelist() if ".libs/" in n]
    checked = run([tool("twine"), "check", "--strict", wheel, builds.sdist()]).stdout
    assert checked.count("PASSED") == 2, checked


def test_wheel_has_the_interpreters_tag_and_only_the_package(builds, minor):
    python = builds.venv(minor, "builder")
    tag = wheel_tag(python) + "-" + python_value(
        python, "sysconfig.get_platform().replace('-', '_').replace('.', '_')")
    suffix = python_value(python, "sysconfig.get_config_var('EXT_SUFFIX')")
    wheel = builds.raw_wheel(minor)
    assert re.fullmatch(r"view_modules-[\d.]+-%s\.whl" % re.escape(tag), os.path.basename(wheel))
    meta, names = wheel_metadata(wheel)
    assert "Tag: %s\n" % tag in meta["WHEEL"] and "Root-Is-Purelib: false" in meta["WHEEL"]
    assert metadata_field(meta["METADATA"], "Version") == [modules_version()]
    assert metadata_field(meta["METADATA"], "Requires-Python")
    # The modules alone: no command, and only the extra a user of the modules installs (the
    # repository's linters and release tools are no extra of it).
    assert "entry_points.txt" not in meta
    assert metadata_field(meta["METADATA"], "Provides-Extra") == ["test"]
    assert [r for r in metadata_field(meta["METADATA"], "Requires-Dist") if "extra ==" not in r] \
        == ["Flask>=2.2"]
    package = ["View/__init__.py", "View/py.typed", "View/file.pyi", "View/scheduler.pyi",
               "View/member_rules.def",
               "View/file" + suffix, "View/scheduler" + suffix]
    # Exactly these: no manager, C++ sources, objects, CMake files, bytecode or stale output.
    assert sorted(names) == sorted(package)
    assert {"METADATA", "WHEEL", "RECORD"} <= set(meta)
    # Nor the path of the tree it was built in.
    with zipfile.ZipFile(wheel) as archive:
        assert [name for name in package if ROOT.encode() in archive.read(name)] == []


def test_wheel_installs_and_serves_from_a_neutral_directory(builds, minor, tmp_path):
    python = builds.installed_wheel(minor)
    smoke(python, tmp_path, python_value(python, "sysconfig.get_paths()['platlib']"))
    # The version is said once, in the package, and is the installed distribution's.
    said = run([python, "-c", "import View, importlib.metadata as m; "
                "print(View.__version__, m.version('view-modules'))"]).stdout.split()
    assert said == [modules_version()] * 2
    assert run([python, "-c", "import view_plugin_manager"], check=False).returncode != 0


# --- the manager's distribution -------------------------------------------------------------

def test_manager_wheel_is_pure_python_with_its_files_command_and_dependencies(builds):
    wheel = builds.manager_wheel()
    assert re.fullmatch(r"view_plugin_manager-[\d.]+-py3-none-any\.whl", os.path.basename(wheel))
    meta, names = wheel_metadata(wheel)
    assert "Root-Is-Purelib: true" in meta["WHEEL"]
    assert sorted(names) == sorted("view_plugin_manager/" + name for name in APP_FILES)
    assert {"templates/upload.html", "templates/signin.html"} <= set(APP_FILES)
    assert [n for n in APP_FILES if n.startswith("static/")]
    assert "view-plugin-manager = view_plugin_manager.__main__:main" in meta["entry_points.txt"]
    requires = metadata_field(meta["METADATA"], "Requires-Dist")
    plain = [r.replace(" ", "") for r in requires if "extra ==" not in r]
    assert "view-modules" in plain and "Flask>=3.1" in plain, requires
    assert {"workers", "postgres"} <= set(metadata_field(meta["METADATA"], "Provides-Extra"))
    checked = run([tool("twine"), "check", "--strict", wheel]).stdout
    assert "PASSED" in checked, checked


# --- sdist, isolated and editable installs --------------------------------------------------

def test_sdist_holds_what_a_build_needs_and_nothing_built(builds):
    with tarfile.open(builds.sdist()) as sdist:
        names = {name.split("/", 1)[1] for name in sdist.getnames() if "/" in name}
    needed = {"pyproject.toml", "CMakeLists.txt", "README.md", "View/__init__.py",
              "View/file.cpp", "View/scheduler.cpp", "View/file.pyi", "View/scheduler.pyi",
              "View/py.typed", "View/member_rules.def"}
    needed |= {os.path.join("frame", name) for name in os.listdir(os.path.join(ROOT, "frame"))}
    assert needed <= names, sorted(needed - names)
    leftovers = [n for n in names if re.search(
        r"\.(so|o|a|pyc)$|__pycache__|^build|^\.venv|^manager/|^noxfile|^scripts/", n)]
    assert leftovers == []


def test_build_makes_the_same_wheel_from_the_sdist(builds, minor):
    # `python -m build` builds the wheel from the sdist it made: what the sdist lacks, it lacks.
    if minor != primary():
        pytest.skip("python -m build runs under the reference interpreter only")
    with zipfile.ZipFile(builds.dist()[1]) as built, \
            zipfile.ZipFile(builds.raw_wheel(minor)) as direct:
        assert sorted(built.namelist()) == sorted(direct.namelist())


def test_sdist_builds_isolated_and_serves(builds, tmp_path):
    python = builds.venv(primary(), "sdist-install")
    run([python, "-m", "pip", "install", builds.sdist()])
    smoke(python, tmp_path, python_value(python, "sysconfig.get_paths()['platlib']"))


def test_editable_install_imports_from_the_source_folder(builds, tmp_path):
    with tarfile.open(builds.sdist()) as sdist:
        sdist.extractall(tmp_path / "src")
    source = str(next((tmp_path / "src").iterdir()))
    python = builds.venv(primary(), "editable")
    run([python, "-m", "pip", "install", "-e", source + "[test]"])
    smoke(python, tmp_path, source)
    # The package's Python files are the source folder's own: a change there shows at once.
    with open(os.path.join(source, "View", "__init__.py"), "a") as f:
        f.write("EDITED = True\n")
    assert run([python, "-c", "import View; print(View.EDITED)"]).stdout.strip() == "True"


# --- the demo application's command ---------------------------------------------------------

def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.mark.parametrize("workers", ["0", "2"])
def test_console_command_serves_the_demo_application(builds, tmp_path, workers):
    python = builds.installed_manager()
    command = os.path.join(os.path.dirname(python), "view-plugin-manager")
    assert run([command, "--help"]).stdout.startswith("usage: view-plugin-manager")
    port = free_port()
    # No --data: an installed application keeps its data in data/ of the folder it starts in.
    server = subprocess.Popen([command, "--port", str(port), "--workers", workers], cwd=tmp_path,
                              env=clean_env(), start_new_session=True,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    status, deadline = None, time.monotonic() + 30
    try:
        while status is None and server.poll() is None and time.monotonic() < deadline:
            try:
                with urllib.request.urlopen("http://127.0.0.1:%d/scheduler" % port,
                                            timeout=5) as answer:
                    status = answer.status
            except OSError:
                time.sleep(0.2)
    finally:
        server.terminate()
        output = server.communicate(timeout=30)[0]
    assert status == 200, output
    assert {"plugin", "temp", "uploads"} <= set(os.listdir(tmp_path / "data")), output
    assert str(tmp_path / "data") in output


# --- stubs ----------------------------------------------------------------------------------

def stubtest(builds, tmp_path, stub_path=None):
    """stubtest of both modules against the installed wheel; flask is not analysed (it would
    take minutes, and the check is about the modules' own signatures)."""
    config = tmp_path / "stubtest.ini"
    config.write_text("[mypy]\n[mypy-flask,flask.*]\nfollow_imports = skip\n")
    python = builds.installed_wheel(newest())
    run([python, "-m", "pip", "install", "mypy"])
    env = {"MYPYPATH": str(stub_path)} if stub_path else {}
    return run([python, "-m", "mypy.stubtest", "--mypy-config-file", config,
                "View.file", "View.scheduler"], check=False, **env)


def test_stubs_match_the_built_modules(builds, tmp_path):
    result = stubtest(builds, tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success" in result.stdout


# Each edit changes one signature in a copy of the stubs; stubtest must name every one.
DRIFT = [
    ("file.pyi", "def unzip_plugin(t: str | None, filename: str)",
     "def unzip_plugin(t: str | None)", "View.file.unzip_plugin"),
    ("file.pyi", "def remove(t: str, o: str)", "def remove(t: str, o: str, force: bool)",
     "View.file.View.remove"),
    ("file.pyi", "def get_path(t: str | None, filename: str | None = None)",
     "def get_path(t: str | None, filename: str | None)", "View.file.get_path"),
    ("file.pyi", "    @staticmethod\n    def upload()", "    def upload(self)",
     "View.file.View.upload"),
    ("scheduler.pyi", "def get(self)", "def get(self, when: int)", "View.scheduler.View.get"),
]


def test_stubtest_fails_on_each_changed_signature(builds, tmp_path):
    stubs = tmp_path / "stubs" / "View"
    shutil.copytree(os.path.join(ROOT, "View"), stubs,
                    ignore=lambda folder, names: [n for n in names if not n.endswith(".pyi")])
    (stubs / "__init__.pyi").write_text("")
    for name, old, new, _ in DRIFT:
        text = (stubs / name).read_text()
        assert text.count(old) == 1, (name, old)
        (stubs / name).write_text(text.replace(old, new))
    result = stubtest(builds, tmp_path, stub_path=stubs.parent)
    assert result.returncode != 0
    reported = set(re.findall(r"^error: (\S+) is inconsistent", result.stdout, re.M))
    assert reported == {target for *_, target in DRIFT}, result.stdout


# --- which interpreters ---------------------------------------------------------------------

@pytest.mark.parametrize("version", list(unsupported()))
def test_frame_refuses_interpreters_that_requires_python_leaves_out(version, tmp_path):
    # requires-python is the one list of supported versions; if the frame starts building for
    # another interpreter, this fails until requires-python admits it (and wheels follow).
    python = unsupported()[version]
    result = run(["cmake", "-S", ROOT, "-B", tmp_path, "-DPython3_EXECUTABLE=" + python],
                 check=False)
    assert result.returncode != 0, "CMake accepts %s: widen requires-python" % python
    assert "Python3" in result.stderr, result.stderr
