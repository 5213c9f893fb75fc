"""The passes of the test command, one nox session each (`nox -l` lists them):

  modules-3.X       the modules' tests (every folder of tests/ but the manager's and packaging)
                    on each supported CPython, with the newest Flask; a version this machine
                    lacks runs in the Debian testing root (scripts/test-root)
  oldest-flask-3.9  the modules' tests with the oldest Flask and Werkzeug the modules admit
  sanitizer-3.9     the modules' tests on an ASan+UBSan build
  manager-3.X       the manager's tests (tests/app), on the oldest and the newest supported
                    CPython (the newest, too, in the Debian testing root if this machine lacks it)
  packaging         wheels, sdists and installs of both distributions (tests/packaging)
  lint              ruff, ShellCheck and clang-tidy
  summary           the counts, times and skip reasons of the sessions that ran

Arguments after `--` go to pytest. Each session writes its outcome to build/nox/reports/, which
`summary` prints; scripts/test runs them all.
"""
import contextlib
import fcntl
import functools
import glob
import json
import os
import re
import shutil
import subprocess
import time

import nox
import nox.command
import nox.registry

ROOT = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(ROOT, "build", "nox")
REPORTS = os.path.join(OUT, "reports")
PYPROJECT = nox.project.load_toml(os.path.join(ROOT, "pyproject.toml"))
MANAGER_PYPROJECT = nox.project.load_toml(os.path.join(ROOT, "manager", "pyproject.toml"))

# The supported CPython versions, oldest first (requires-python says the same, and a packaging
# test holds the two together).
VERSIONS = ["3.9", "3.10", "3.11", "3.12", "3.13", "3.14", "3.15"]
OLDEST = VERSIONS[0]
# The manager's tests are pure Python above the modules: its ends of the range suffice.
MANAGER_FOLDER = "tests/app"
# Every folder of tests but the manager's and packaging's holds the modules' tests.
MODULE_TESTS = sorted(
    os.path.relpath(folder, ROOT) for folder in glob.glob(os.path.join(ROOT, "tests", "*"))
    if glob.glob(os.path.join(folder, "test_*.py"))
    and os.path.relpath(folder, ROOT) not in (MANAGER_FOLDER, "tests/packaging"))

nox.options.default_venv_backend = "venv"
nox.options.reuse_venv = "yes"
nox.options.download_python = "never"
# The pip that 3.9 to 3.11 bring backtracks for minutes through releases of the tests' needs; a
# current one resolves them at once.
FRESH_PIP = ["--upgrade-deps"]
nox.options.error_on_missing_interpreters = True


def pyenv_root():
    try:
        return subprocess.run(["pyenv", "root"], capture_output=True, text=True,
                              check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")


def interpreter(version):
    """This machine's CPython `version` with its headers (python3.X on PATH, then pyenv's newest
    patch release), or None: then the Debian testing root provides it."""
    patch = lambda path: int(re.search(r"/3\.\d+\.(\d+)/", path).group(1))  # noqa: E731
    candidates = [shutil.which("python" + version)] + sorted(
        glob.glob(os.path.join(pyenv_root(), "versions", version + ".*[0-9]", "bin",
                               "python" + version)), key=patch, reverse=True)
    for python in filter(None, candidates):
        # The interpreter's own path: a pyenv shim runs whichever version pyenv has chosen.
        try:
            return subprocess.run([python, "-c", "import os, sys, sysconfig; assert os.path."
                                   "isfile(os.path.join(sysconfig.get_paths()['include'], "
                                   "'Python.h')); print(os.path.realpath(sys.executable))"],
                                  capture_output=True, text=True, check=True,
                                  timeout=30).stdout.strip()
        except (OSError, subprocess.SubprocessError):
            continue
    return None


HOST = {version: interpreter(version) for version in VERSIONS}


def requirements(pyproject, *extras):
    project = pyproject["project"]
    needs = [r for r in project.get("dependencies", []) if not r.startswith("view-modules")]
    for extra in extras:
        needs += project["optional-dependencies"][extra]
    return needs


def oldest_flask():
    """The floor of Flask the modules state, with the Werkzeug released beside it."""
    floor = next(re.fullmatch(r"Flask\s*>=\s*(\d+\.\d+)", r) for r in
                 PYPROJECT["project"]["dependencies"] if r.startswith("Flask"))
    return ["Flask==%s.*" % floor.group(1), "Werkzeug==%s.*" % floor.group(1)]


# scripts/test runs two lanes side by side (the machine has two cores). Every session that holds
# tests marked `timed` (live servers held to deadlines: the manager's) is in lane1, so that no two
# of them share the machine; the rest is spread so that the lanes end at about the same time.
LANE1 = {"manager-" + OLDEST, "manager-" + VERSIONS[-1]}


def lane(name):
    return ["lane1" if name in LANE1 else "lane2"]


# --- what every pass shares ------------------------------------------------------------------

def recorded(func):
    """Writes the session's outcome, time and pytest's counts to build/nox/reports/NAME.json."""
    @functools.wraps(func)
    def run(session, *args, **kwargs):
        os.makedirs(REPORTS, exist_ok=True)
        base = os.path.join(REPORTS, session.name)
        for stale in (base + ".json", base + ".pytest.json"):
            with contextlib.suppress(FileNotFoundError):
                os.remove(stale)
        outcome, reason, start = "failed", "", time.monotonic()
        try:
            func(session, *args, **kwargs)
            outcome = "ok"
        except BaseException as e:
            reason = str(e)
            # A session that cannot run here (an interpreter or the root missing) skips.
            outcome = "not tested" if type(e).__name__ == "_SessionSkip" else "failed"
            raise
        finally:
            with open(base + ".json", "w") as f:
                json.dump({"session": session.name, "outcome": outcome, "reason": reason,
                           "seconds": round(time.monotonic() - start)}, f)
    return run


@contextlib.contextmanager
def locked(path):
    """Two sessions of one interpreter share its build: one builds while the other waits."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield


def cmake_build(session, name, python, *defines):
    build = os.path.join(OUT, name)
    with locked(build):
        session.run("cmake", "-S", ROOT, "-B", build, "-DPython3_EXECUTABLE=" + python,
                    *defines, external=True, silent=True)
        session.run("cmake", "--build", build, "-j2", external=True, silent=True)
    return build


def pytest(session, build, folders, *args, env=None):
    """pytest on `folders`, or on the tests that the session's arguments name."""
    if any(arg.startswith("tests") for arg in session.posargs):
        folders = []
    report = os.path.join(REPORTS, session.name + ".pytest.json")
    session.run("python", "-m", "pytest", "-p", "no:cacheprovider", *folders, *args,
                *session.posargs, env=dict(env or {}, VIEW_BUILD_DIR=build,
                                           VIEW_TEST_REPORT=report, PYTHONUNBUFFERED="1"))


# --- the passes ------------------------------------------------------------------------------

def modules_here(session, version):
    session.install("-U", *requirements(PYPROJECT, "test"))
    build = cmake_build(session, version, HOST[version], "-DCMAKE_BUILD_TYPE=Release")
    pytest(session, build, MODULE_TESTS, "-q")


def in_root(session, version, folders):
    """`folders` of tests on the Debian testing root's python3.X, on a clean copy of the tree
    built there (Debian's own Flask, pytest, servers and database)."""
    test_root = os.path.join(ROOT, "scripts", "test-root")
    probe = subprocess.run(["bash", test_root, "run", "/", "python" + version, "-c",
                            "import os, sysconfig; assert os.path.isfile(os.path.join("
                            "sysconfig.get_paths()['include'], 'Python.h'))"],
                           capture_output=True, text=True)
    if probe.returncode == 3:  # no root here
        session.skip("no CPython %s here, and %s" % (
            version, probe.stdout.strip().replace("NOT TESTED: ", "")))
    if probe.returncode:
        session.skip("neither this machine nor the Debian testing root has CPython %s with its "
                     "headers" % version)
    # A work folder (copy, build, report) of the session's own: the modules' and the manager's
    # sessions of one version run in the two lanes at once.
    work = os.path.join(ROOT, "build-root", session.name)
    report = os.path.join(work, "report-%s.json" % version)
    with contextlib.suppress(FileNotFoundError):
        os.remove(report)
    try:
        named = any(arg.startswith("tests") for arg in session.posargs)
        session.run("bash", test_root, "test", version, *([] if named else folders), "-q",
                    *session.posargs, external=True, env={"VIEW_ROOT_WORK": work})
    finally:
        if os.path.exists(report):
            shutil.copy(report, os.path.join(REPORTS, session.name + ".pytest.json"))


def modules_session(version):
    def modules(session):
        if HOST[version]:
            modules_here(session, version)
        else:
            in_root(session, version, MODULE_TESTS)
    modules.__doc__ = "The modules' tests on CPython %s, the newest Flask." % version
    return modules


for _version in VERSIONS:
    nox.session(name="modules-" + _version, python=HOST[_version] or False,
                venv_params=FRESH_PIP, tags=lane("modules-" + _version))(
        recorded(modules_session(_version)))


@nox.session(name="oldest-flask-" + OLDEST, python=HOST[OLDEST], venv_params=FRESH_PIP,
             tags=lane("oldest-flask"))
@recorded
def oldest_flask_session(session):
    """The modules' tests with the oldest Flask and Werkzeug that the modules admit."""
    session.install(*requirements(PYPROJECT, "test"), *oldest_flask())
    build = cmake_build(session, OLDEST, HOST[OLDEST], "-DCMAKE_BUILD_TYPE=Release")
    pytest(session, build, MODULE_TESTS, "-q")


@nox.session(name="sanitizer-" + OLDEST, python=HOST[OLDEST], venv_params=FRESH_PIP,
             tags=lane("sanitizer"))
@recorded
def sanitizer(session):
    """The modules' tests on an ASan+UBSan build (RelWithDebInfo)."""
    session.install("-U", *requirements(PYPROJECT, "test"))
    build = cmake_build(session, "asan", HOST[OLDEST], "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                        "-DVIEW_SANITIZE=ON")
    runtimes = [subprocess.run(["g++", "-print-file-name=lib%s.so" % name], text=True,
                               capture_output=True).stdout.strip() for name in ("asan", "ubsan")]
    if not all(os.path.isabs(path) for path in runtimes):
        session.error("the sanitizers' runtimes are not found: %s" % runtimes)
    reports = os.path.join(build, "sanitizer-reports")
    shutil.rmtree(reports, ignore_errors=True)
    os.makedirs(reports)
    # The interpreter is not instrumented, so the runtimes are preloaded, ASan's first.
    # detect_leaks=0: the interpreter keeps objects alive at exit by design. PYTHONMALLOC=malloc:
    # every object comes from malloc, where ASan sees an overrun or a use after free. A halted
    # process never hands pytest its captured output back, so reports go to files. -v names
    # each test before it runs: the last one named is where a halt happened.
    options = "halt_on_error=1:log_path=%s/report" % reports
    try:
        pytest(session, build, MODULE_TESTS, "-v", env={
            "VIEW_SANITIZER_PASS": "1", "LD_PRELOAD": ":".join(runtimes),
            "ASAN_OPTIONS": "detect_leaks=0:" + options,
            "UBSAN_OPTIONS": "print_stacktrace=1:" + options, "PYTHONMALLOC": "malloc"})
    finally:
        found = sorted(glob.glob(os.path.join(reports, "report.*")))
        for path in found:
            with open(path) as f:
                print("---- sanitizer report %s ----\n%s" % (path, f.read()))
    if found:
        session.error("sanitizer reports in " + reports)


def manager_session(version):
    @recorded
    def manager(session):
        if not HOST[version]:
            return in_root(session, version, [MANAGER_FOLDER])
        session.install("-U", *requirements(PYPROJECT, "test"),
                        *requirements(MANAGER_PYPROJECT, "workers", "postgres"))
        build = cmake_build(session, version, HOST[version], "-DCMAKE_BUILD_TYPE=Release")
        pytest(session, build, [MANAGER_FOLDER], "-q")
    manager.__doc__ = "The manager's tests on CPython %s." % version
    return manager


for _version in (OLDEST, VERSIONS[-1]):
    nox.session(name="manager-" + _version, python=HOST[_version] or False, venv_params=FRESH_PIP,
                tags=lane("manager-" + _version))(manager_session(_version))


@nox.session(python=HOST[OLDEST], venv_params=FRESH_PIP, tags=lane("packaging"))
@recorded
def packaging(session):
    """Wheels, sdists and installs of both distributions for every supported interpreter."""
    session.install(*requirements(PYPROJECT, "test"),
                    *nox.project.dependency_groups(PYPROJECT, "dev"))
    pytest(session, os.path.join(OUT, OLDEST), ["tests/packaging"], "-q",
           env={"VIEW_PACKAGING_TESTS": "1"})


SHELL_SCRIPTS = ["scripts/lib.sh", "scripts/root.sh", "scripts/setup", "scripts/test",
                 "scripts/test-root", "scripts/run", "scripts/valgrind", "bench/run", ".ci/run"]


@nox.session(python=HOST[OLDEST], venv_params=FRESH_PIP, tags=lane("lint"))
@recorded
def lint(session):
    """ruff, ShellCheck (following what the scripts source) and clang-tidy with the build's
    compile commands."""
    tools = [r for r in nox.project.dependency_groups(PYPROJECT, "dev")
             if r.startswith(("ruff", "shellcheck", "clang-tidy"))]
    session.install(*tools)
    failed = []
    for tool, *args in (["ruff", "check", "--no-cache", "--output-format", "concise", "."],
                        ["shellcheck", "-x", "-f", "gcc", *[
                            s for s in SHELL_SCRIPTS if os.path.exists(os.path.join(ROOT, s))]]):
        try:
            session.run(tool, *args)
        except nox.command.CommandFailed:
            failed.append(tool)
    build = os.path.join(OUT, "lint")
    with locked(build):
        session.run("cmake", "-S", ROOT, "-B", build, "-DPython3_EXECUTABLE=" + HOST[OLDEST],
                    "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON", external=True, silent=True)
    sources = sorted(glob.glob(os.path.join(ROOT, "frame", "*.cpp")) +
                     glob.glob(os.path.join(ROOT, "View", "*.cpp")))
    # Two at a time, as the machine has two cores; a finding is a non-empty report.
    for pair in (sources[i:i + 2] for i in range(0, len(sources), 2)):
        runs = [subprocess.Popen(["clang-tidy", "-p", build, "--quiet", source], text=True,
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                 env=dict(os.environ, PATH=os.path.join(session.bin) + ":" +
                                          os.environ["PATH"])) for source in pair]
        for source, proc in zip(pair, runs):
            out = proc.communicate()[0]
            if proc.returncode or re.search(r":\d+:\d+: (warning|error):", out):
                failed.append("clang-tidy " + os.path.relpath(source, ROOT))
                print(out)
    if failed:
        session.error("findings of " + ", ".join(failed))


@nox.session(python=False, default=False)
def summary(session):
    """Per session: outcome, pytest's counts and time; NOT TESTED with its reason; the skips by
    reason; the total; `result: ok` or the failures. Fails if a session failed."""
    outcomes = []
    for name, func in nox.registry.get().items():
        if not set(getattr(func, "tags", None) or ()) & {"lane1", "lane2"}:
            continue
        try:
            with open(os.path.join(REPORTS, name + ".json")) as f:
                outcomes.append(json.load(f))
        except FileNotFoundError:  # nox could not start it: no interpreter or no venv
            outcomes.append({"session": name, "outcome": "failed", "seconds": 0,
                             "reason": "did not run (see its lane's log)"})
    total = {"passed": 0, "failed": 0, "skipped": 0}
    reasons, failures = {}, []
    for outcome in outcomes:
        name, counts = outcome["session"], {"passed": 0, "failed": 0, "skipped": 0}
        with contextlib.suppress(FileNotFoundError):
            with open(os.path.join(REPORTS, name + ".pytest.json")) as f:
                counts = json.load(f)
        for key in total:
            total[key] += counts[key]
        for reason, n in counts.get("skip_reasons", {}).items():
            reasons[reason] = reasons.get(reason, 0) + n
        if outcome["outcome"] == "not tested":
            print("%-22s NOT TESTED: %s" % (name, outcome["reason"]))
            continue
        line = "%-22s %s: %d passed, %d failed, %d skipped, %d s" % (
            name, outcome["outcome"], counts["passed"], counts["failed"], counts["skipped"],
            outcome["seconds"])
        if outcome["outcome"] != "ok":
            line += " (%s)" % outcome["reason"]
            failures.append(name)
        print(line)
    for reason, n in sorted(reasons.items(), key=lambda item: -item[1]):
        print("skipped %d: %s" % (n, reason))
    if not outcomes:
        failures.append("no session ran")
    print("result: " + ("ok" if not failures else "FAILED: " + ", ".join(failures)))
    print("%(passed)d passed, %(failed)d failed, %(skipped)d skipped" % total)
    if failures:
        session.error()


# --- memcheck: by hand, not part of the test command ------------------------------------------

MEMORY_ERRORS = {"InvalidRead", "InvalidWrite", "InvalidFree", "MismatchedFree", "UninitCondition",
                 "UninitValue", "SyscallParam", "ClientCheck", "InvalidJump", "Overlap"}


def memcheck_reports(out):
    """Every memory error, and every definite leak whose stack passes through the modules' own
    shared objects (a leak wholly inside the interpreter is only counted), from valgrind's XML
    logs; and how many processes left a log."""
    import xml.etree.ElementTree as ET

    ours = re.compile(r"(^|/)(file|scheduler)\.cpython-[^/]*\.so$")
    reported, interpreter_leaks, processes = [], 0, 0
    for path in sorted(glob.glob(os.path.join(out, "memcheck.*.xml"))):
        try:
            root = ET.parse(path).getroot()
        except ET.ParseError:  # a process that exec'd something else or was killed
            continue
        processes += 1
        for error in root.findall("error"):
            kind = error.findtext("kind")
            frames = [f for stack in error.findall("stack") for f in stack.findall("frame")]
            if kind == "Leak_DefinitelyLost" and not any(
                    ours.search(f.findtext("obj") or "") for f in frames):
                interpreter_leaks += 1
            elif kind in MEMORY_ERRORS or kind == "Leak_DefinitelyLost":
                where = ["%s (%s:%s)" % (f.findtext("fn") or f.findtext("ip"),
                                         f.findtext("file") or f.findtext("obj"),
                                         f.findtext("line")) for f in frames[:25]]
                reported.append("%s in %s: %s\n    %s" % (
                    kind, os.path.basename(path),
                    error.findtext("what") or error.findtext("xwhat/text") or kind,
                    "\n    ".join(where)))
    return reported, interpreter_leaks, processes


@nox.session(python=HOST[OLDEST], venv_params=FRESH_PIP, default=False)
def memcheck(session):
    """The modules' tests (or the tests that the arguments name) under valgrind's memcheck, on a
    RelWithDebInfo build, with fewer iterations (VIEW_RELIABILITY_SCALE, default 0.05)."""
    session.install("-U", *requirements(PYPROJECT, "test"))
    build = cmake_build(session, "valgrind", HOST[OLDEST], "-DCMAKE_BUILD_TYPE=RelWithDebInfo")
    out = os.path.join(build, "valgrind")
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    # PYTHONMALLOC=malloc: memcheck sees every object; --trace-children: the lifecycle tests
    # import the modules in fresh interpreters.
    try:
        session.run("valgrind", "--tool=memcheck", "--trace-children=yes",
                    "--leak-check=full", "--show-leak-kinds=definite",
                    "--errors-for-leak-kinds=definite", "--num-callers=40", "--xml=yes",
                    "--xml-file=%s/memcheck.%%p.xml" % out,
                    "python", "-m", "pytest", "-q", "-p", "no:cacheprovider",
                    *(session.posargs or MODULE_TESTS), external=True,
                    env={"VIEW_BUILD_DIR": build, "VIEW_SANITIZER_PASS": "1",
                         "PYTHONMALLOC": "malloc", "VIEW_RELIABILITY_SCALE":
                         os.environ.get("VIEW_RELIABILITY_SCALE", "0.05")})
    finally:
        reported, interpreter_leaks, processes = memcheck_reports(out)
        print("\n\n".join(reported))
        print("memcheck: %d processes, %d reports, %d definite leaks inside the interpreter only"
              % (processes, len(reported), interpreter_leaks))
    if reported or not processes:
        session.error("memcheck found errors (logs in %s)" % out)
