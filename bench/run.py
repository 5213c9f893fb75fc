"""Time per call of the native functions of View.file and View.scheduler against the same
functions in plain Python and against a C function that returns None at once (the floor),
all measured in one run of one interpreter, and the ratios between them.

Run it through bench/run, which builds the modules and the floor first. Modes:

  run.py                        the table, the targets and the allocated-blocks check
  run.py --single CASE ...      one loop of one case for one callable (used under callgrind)
  run.py --callgrind CASE       instructions per call of native, floor and plain under callgrind
"""
import argparse
import concurrent.futures
import contextlib
import gc
import io
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# Where the tree and the build under test are: the same place the test suites take them from.
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))
from support.paths import BUILD  # noqa: E402
FLOOR_DIR = os.environ.get("VIEW_FLOOR_DIR", os.path.join(BUILD, "bench"))

CALLABLES = ("native", "plain", "floor")


class Case:
    def __init__(self, key, label, stmt, pick, exc=None, stdout=False, cwd=False):
        self.key = key  # short name for the command line
        self.label = label
        self.stmt = stmt  # the same source text for all three callables
        self.pick = pick  # implementation namespace -> dict of local names the stmt uses
        self.exc = exc  # exception the stmt raises (caught in the loop for all three)
        self.stdout = stdout  # the stmt prints: standard output goes to os.devnull
        self.cwd = cwd  # the stmt works under the working directory: use a temp one


CASES = [
    Case("approve", "approve(1, 2)", "f(1, 2)", lambda ns: {"f": ns.approve}),
    Case("approve_kw", "approve(t=1, o=2)", "f(t=1, o=2)", lambda ns: {"f": ns.approve}),
    Case("approve_mixed", "approve(1, o=2)", "f(1, o=2)", lambda ns: {"f": ns.approve}),
    Case("approve_cls", "View.approve(1, 2) via class", "C.approve(1, 2)",
         lambda ns: {"C": ns.View}),
    Case("allowed", 'allowed_file("plugin", "a.tar.gz")', 'f("plugin", "a.tar.gz")',
         lambda ns: {"f": ns.allowed_file}),
    Case("allowed_kw", 'allowed_file(t=, filename=)', 'f(t="plugin", filename="a.tar.gz")',
         lambda ns: {"f": ns.allowed_file}),
    Case("get_path", 'get_path("plugin", "x.tar.gz")', 'f("plugin", "x.tar.gz")',
         lambda ns: {"f": ns.get_path}, cwd=True),
    Case("index_type", "View.index(1) -> TypeError", "f(1)",
         lambda ns: {"f": ns.View.index}, exc=TypeError),
    Case("bind_error", "approve() -> TypeError", "f()",
         lambda ns: {"f": ns.approve}, exc=TypeError),
    Case("tb_error", 'allowed_file("plugin", None) -> AttributeError', 'f("plugin", None)',
         lambda ns: {"f": ns.allowed_file}, exc=AttributeError),
    Case("name_doc", "f.__name__; f.__doc__", "f.__name__; f.__doc__",
         lambda ns: {"f": ns.allowed_file}),
    Case("get", "View().get() (stdout to devnull)", "C().get()",
         lambda ns: {"C": ns.SchedulerView}, stdout=True, cwd=True),
]
CASE_BY_KEY = {case.key: case for case in CASES}

# The loop is generated from the call expression and compiled once per callable, with every
# name the expression uses bound to a local, so that all three pay the same loop overhead.
LOOP_TEMPLATE = """
def loop(_n, _clock, _exc, {names}):
    _rng = range(_n)
    _t0 = _clock()
    for _ in _rng:
{body}
    return _clock() - _t0
"""


def make_loop(case, names):
    if case.exc is None:
        body = "        " + case.stmt
    else:
        body = "        try:\n            %s\n        except _exc:\n            pass" % case.stmt
    source = LOOP_TEMPLATE.format(names=", ".join(names), body=body)
    namespace = {}
    exec(compile(source, "<bench %s>" % case.key, "exec"), namespace)
    return namespace["loop"]


class Impl:
    """The names a case may use, for one of the three callables."""

    def __init__(self, approve, allowed_file, get_path, View, SchedulerView):
        self.approve = approve
        self.allowed_file = allowed_file
        self.get_path = get_path
        self.View = View
        self.SchedulerView = SchedulerView


def jsonify_stand_in(obj):
    return obj


def load_impls(args):
    sys.path.insert(0, FLOOR_DIR)
    sys.path.insert(0, HERE)
    import _bench_floor
    import plain

    floor = _bench_floor.generic_floor if args.generic_floor else _bench_floor.floor

    # The class cases read through a class (static methods) or call on an instance; the floor
    # gets the same shape, with the C function in place of the method.
    class FloorView:
        index = staticmethod(floor)
        approve = staticmethod(floor)

    class FloorSchedulerView:
        get = floor

    impls = {
        "plain": Impl(plain.View.approve, plain.allowed_file, plain.get_path, plain.View,
                      plain.SchedulerView),
        "floor": Impl(floor, floor, floor, FloorView, FloorSchedulerView),
    }
    if args.native_is_plain:
        # Only to try the harness before the native modules exist.
        native_file = native_scheduler = plain
        impls["native"] = impls["plain"]
    else:
        sys.path.insert(0, BUILD)
        import View.file as native_file
        import View.scheduler as native_scheduler

        impls["native"] = Impl(native_file.View.approve, native_file.allowed_file,
                               native_file.get_path, native_file.View, native_scheduler.View)
    if not args.flask_context:
        native_scheduler.jsonify = jsonify_stand_in
        plain.jsonify = jsonify_stand_in
    return impls, native_file, native_scheduler


@contextlib.contextmanager
def case_environment(case, workdir):
    old_cwd = os.getcwd()
    with contextlib.ExitStack() as stack:
        if case.cwd:
            os.chdir(workdir)
            stack.callback(os.chdir, old_cwd)
        if case.stdout:
            # Written through at once, so no chunks wait in the text layer: their number
            # would otherwise swing the allocated-blocks count from one reading to the next.
            sink = stack.enter_context(
                io.TextIOWrapper(open(os.devnull, "wb"), write_through=True))
            stack.enter_context(contextlib.redirect_stdout(sink))
        yield


def bind(case, impl):
    names = case.pick(impl)
    loop = make_loop(case, sorted(names))
    exc = case.exc or Exception
    return lambda n: loop(n, time.perf_counter, exc, **names)


def calibrate(run, target):
    n = 1000
    while True:
        elapsed = run(n)
        if elapsed >= target or n >= 10 ** 8:
            return n
        n = int(n * min(10.0, max(1.5, 1.2 * target / max(elapsed, 1e-9))))


def time_case(case, impls, repeat, target):
    runs = {name: bind(case, impls[name]) for name in CALLABLES}
    for run in runs.values():
        run(2000)  # warm-up: caches, lazily created attributes, zombie frames
    # One loop count for all three, set by the slowest, so each timed loop lasts >= target.
    n = max(calibrate(runs[name], target) for name in ("native", "plain"))
    best = {name: float("inf") for name in CALLABLES}
    gc_was_enabled = gc.isenabled()
    gc.disable()
    try:
        for r in range(repeat):
            # Rotate the order so drifting machine load does not favour one callable.
            order = CALLABLES[r % 3:] + CALLABLES[:r % 3]
            for name in order:
                best[name] = min(best[name], runs[name](n))
    finally:
        if gc_was_enabled:
            gc.enable()
    return {name: best[name] / n * 1e9 for name in CALLABLES}


def blocks_growth(case, impl, calls):
    run = bind(case, impl)

    def growth_over(n):
        gc.collect()
        before = sys.getallocatedblocks()
        run(n)
        gc.collect()
        return sys.getallocatedblocks() - before

    run(calls)  # warm-up
    # The readings themselves leave ints behind; a run of no calls, read the same way,
    # measures that share, and it is taken off.
    return growth_over(calls) - growth_over(0)


def empty_loop_ns(repeat, target):
    case = Case("empty", "empty loop", "pass", lambda ns: {})
    run = bind(case, None)
    n = calibrate(run, target)
    return min(run(n) for _ in range(repeat)) / n * 1e9


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def print_header(args, native_file, native_scheduler):
    print("interpreter: %s %s (%s)" % (platform.python_implementation(), sys.version.split()[0],
                                      sys.executable))
    print("processor:   %s (%d logical CPUs)" % (cpu_model(), os.cpu_count() or 0))
    print("jsonify:     %s" % ("real, in a pushed Flask app context" if args.flask_context else
                               "module global replaced by a trivial Python stand-in "
                               "(returns its argument) for native and plain alike"))
    print("method:      min of %d repeats; loop >= %.0f ms; gc off while timing; "
          "same generated loop for all three" % (args.repeat, args.target * 1e3))
    print("modules:     %s, %s" % (native_file.__file__, native_scheduler.__file__))
    if args.native_is_plain:
        print("NOTE:        --native-is-plain: the 'native' column is the plain Python code")
    print()


def main_table(args):
    impls, native_file, native_scheduler = load_impls(args)
    print_header(args, native_file, native_scheduler)
    workdir = tempfile.mkdtemp(prefix="view-bench-")
    os.mkdir(os.path.join(workdir, "plugin"))  # get_path finds its folder already there
    cases = [CASE_BY_KEY[k] for k in args.cases] if args.cases else CASES
    results = {}
    growth = {}
    try:
        for case in cases:
            with case_environment(case, workdir):
                results[case.key] = time_case(case, impls, args.repeat, args.target)
                growth[case.key] = {name: blocks_growth(case, impls[name], args.calls)
                                    for name in CALLABLES}
        loop_ns = empty_loop_ns(args.repeat, args.target)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)

    width = max(len(c.label) for c in cases)
    head = "%-*s | %9s | %9s | %9s | %12s | %12s" % (
        width, "case", "native ns", "plain ns", "floor ns", "native/floor", "plain/native")
    print(head)
    print("-" * len(head))
    for case in cases:
        r = results[case.key]
        print("%-*s | %9.1f | %9.1f | %9.1f | %11.2fx | %11.2fx" % (
            width, case.label, r["native"], r["plain"], r["floor"],
            r["native"] / r["floor"], r["plain"] / r["native"]))
    print("(empty loop iteration, included in every figure above: %.1f ns)" % loop_ns)

    print()
    print("targets (ratios from this run):")
    verdicts = []

    def target(key, text, value, ok):
        if key in results:
            verdicts.append(ok)
            print("  %-4s %-58s %s" % ("PASS" if ok else "MISS", text, value))

    if "approve" in results:
        v = results["approve"]["native"] / results["approve"]["floor"]
        target("approve", "approve(1, 2) native/floor <= 1.2", "%.2fx" % v, v <= 1.2)
    for key in ("approve_kw", "approve_mixed"):
        if key in results:
            v = results[key]["native"] / results[key]["floor"]
            label = CASE_BY_KEY[key].label
            target(key, "%s native/floor <= 1.3" % label, "%.2fx" % v, v <= 1.3)
    for key, text in (("allowed", "by position"), ("allowed_kw", "by keyword")):
        if key in results:
            v = results[key]["plain"] / results[key]["native"]
            target(key, "allowed_file %s plain/native >= 2.5" % text, "%.2fx" % v, v >= 2.5)
    if "tb_error" in results:
        v = results["tb_error"]["native"] / results["tb_error"]["plain"]
        target("tb_error", "error with traceback entry native/plain <= 1.0", "%.2fx" % v,
               v <= 1.0)

    print()
    print("allocated blocks: growth of sys.getallocatedblocks() over %d calls after warm-up "
          "(native must not grow; plain and floor for reference):" % args.calls)
    for case in cases:
        g = growth[case.key]
        ok = g["native"] <= args.block_slack
        verdicts.append(ok)
        print("  %-4s %-*s native %+6d   plain %+6d   floor %+6d" % (
            "PASS" if ok else "MISS", width, case.label, g["native"], g["plain"], g["floor"]))
    print()
    print("%d of %d checks pass" % (sum(verdicts), len(verdicts)))
    return 0 if all(verdicts) else 1


# --- callgrind ---------------------------------------------------------------------------

def main_single(args):
    """One warm-up and one loop of N calls: run twice under callgrind (N=0 and N), the
    difference of the instruction counts divided by N is the cost of one call."""
    impls, _, _ = load_impls(args)
    case = CASE_BY_KEY[args.single]
    workdir = tempfile.mkdtemp(prefix="view-bench-")
    os.mkdir(os.path.join(workdir, "plugin"))
    try:
        with case_environment(case, workdir):
            if args.callable == "empty":
                run = bind(Case("empty", "", "pass", lambda ns: {}), None)
            else:
                run = bind(case, impls[args.callable])
            run(1000)
            run(args.calls)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    return 0


ANNOTATE_LINE = re.compile(r"^\s*([\d,]+)\s+(?:\([^)]*\)\s+)?(\S.*?)\s*$")


def callgrind_functions(out_file, inclusive):
    text = subprocess.run(
        ["callgrind_annotate", "--inclusive=%s" % ("yes" if inclusive else "no"),
         "--threshold=100", out_file],
        check=True, stdout=subprocess.PIPE, universal_newlines=True).stdout
    costs = {}
    seen_header = False
    for line in text.splitlines():
        if "file:function" in line:
            seen_header = True
            continue
        if not seen_header or line.startswith("-"):
            continue
        m = ANNOTATE_LINE.match(line)
        if m:
            name = re.sub(r" \[[^\]]*\]$", "", m.group(2))
            name = name.split(":", 1)[1] if ":" in name else name
            if not inclusive:
                # Recursion levels ("f'2") are one function when counting its own work.
                name = re.sub(r"'\d+$", "", name)
            costs[name] = costs.get(name, 0) + int(m.group(1).replace(",", ""))
    return costs


def callgrind_total(out_file):
    with open(out_file) as f:
        for line in f:
            if line.startswith(("totals:", "summary:")):
                return int(line.split()[1])
    raise RuntimeError("no totals in %s" % out_file)


def main_callgrind(args):
    case = CASE_BY_KEY[args.callgrind]
    outdir = tempfile.mkdtemp(prefix="view-callgrind-")
    calls = args.calls
    env = dict(os.environ, PYTHONHASHSEED="0")
    print("callgrind: case %s, %d calls; instructions per call = (Ir of N calls - Ir of 0 calls)/N"
          % (case.label, calls))
    print("interpreter: %s" % sys.executable)
    print()
    jobs = []
    for name in ("native", "floor", "plain", "empty"):
        for n in (0, calls):
            out = os.path.join(outdir, "%s.%d.out" % (name, n))
            cmd = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
                   sys.executable, os.path.abspath(__file__), "--single", case.key,
                   "--callable", name, "--calls", str(n)]
            if args.native_is_plain:
                cmd.append("--native-is-plain")
            if args.flask_context:
                cmd.append("--flask-context")
            if args.generic_floor:
                cmd.append("--generic-floor")
            jobs.append((name, n, out, cmd))
    # Two at a time: most of each run is the interpreter starting and importing Flask.
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        for _ in pool.map(lambda job: subprocess.run(
                job[3], check=True, env=env, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL), jobs):
            pass
    profiles = {}
    for name, _n, out, _ in jobs:
        profiles.setdefault(name, []).append(out)
    per_call = {name: (callgrind_total(files[1]) - callgrind_total(files[0])) / calls
                for name, files in profiles.items()}
    label = {"empty": "empty loop iteration"}
    for name in ("native", "floor", "plain", "empty"):
        print("  %-22s %9.1f instructions/call" % (label.get(name, name), per_call[name]))
    print("  %-22s %9.1f" % ("native - floor", per_call["native"] - per_call["floor"]))
    print("  %-22s %9.2fx" % ("native / floor", per_call["native"] / per_call["floor"]))
    print("  %-22s %9.2fx" % ("plain / native", per_call["plain"] / per_call["native"]))
    # The same call without the loop around it: what docs/benchmarks.md's table gives.
    empty = per_call["empty"]
    call = {name: per_call[name] - empty for name in ("native", "floor", "plain")}
    print("without the empty loop:")
    for name in ("native", "floor", "plain"):
        print("  %-22s %9.1f instructions/call" % (name, call[name]))
    print("  %-22s %9.2fx" % ("native / floor", call["native"] / call["floor"]))
    print("  %-22s %9.2fx" % ("plain / native", call["plain"] / call["native"]))

    for name in ("native", "floor"):
        for inclusive in (False, True):
            before = callgrind_functions(profiles[name][0], inclusive)
            after = callgrind_functions(profiles[name][1], inclusive)
            diff = {fn: (after.get(fn, 0) - before.get(fn, 0)) / calls
                    for fn in set(before) | set(after)}
            # Inclusive counts of the frames that enclose the loop say nothing about a call:
            # they hold the loop itself, which is what the empty loop costs.
            enclosing = per_call[name] - per_call["empty"] / 2
            top = sorted((v, fn) for fn, v in diff.items()
                         if v >= 0.5 and not (inclusive and v > enclosing))
            print()
            print("%s: %s instructions per call by function" % (
                name, "inclusive (within one call)" if inclusive else "self (exclusive)"))
            for v, fn in top[::-1][:args.top]:
                print("  %9.1f  %s" % (v, fn))
    if args.keep:
        print("\ncallgrind files kept in %s" % outdir)
    else:
        shutil.rmtree(outdir, ignore_errors=True)
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("cases", nargs="*", metavar="CASE",
                        help="cases to run (default all): " + ", ".join(CASE_BY_KEY))
    parser.add_argument("--repeat", type=int, default=7, help="timed loops per callable")
    parser.add_argument("--target", type=float, default=0.02,
                        help="minimum seconds per timed loop")
    parser.add_argument("--calls", type=int, default=100000,
                        help="calls for the allocated-blocks check and for callgrind")
    parser.add_argument("--block-slack", type=int, default=0,
                        help="allowed growth of allocated blocks over --calls calls")
    parser.add_argument("--flask-context", action="store_true",
                        help="push a Flask app context and keep the real jsonify")
    parser.add_argument("--generic-floor", action="store_true",
                        help="floor: a vectorcall object of its own type instead of a built-in "
                             "function (3.11+ specialise calls of built-ins only)")
    parser.add_argument("--native-is-plain", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--single", metavar="CASE", help=argparse.SUPPRESS)
    parser.add_argument("--callable", choices=CALLABLES + ("empty",), help=argparse.SUPPRESS)
    parser.add_argument("--callgrind", metavar="CASE", choices=sorted(CASE_BY_KEY),
                        help="instructions per call under callgrind, native vs floor vs plain")
    parser.add_argument("--top", type=int, default=15, help="functions listed by --callgrind")
    parser.add_argument("--keep", action="store_true", help="keep callgrind output files")
    args = parser.parse_args()
    for key in args.cases:
        if key not in CASE_BY_KEY:
            parser.error("unknown case %r (known: %s)" % (key, ", ".join(CASE_BY_KEY)))

    if args.flask_context and not args.callgrind:
        import flask

        app = flask.Flask("view-bench")
        app.app_context().push()
    if args.callgrind:
        if args.calls == parser.get_default("calls"):
            args.calls = 20000  # plenty under callgrind, and keeps it to a minute or so
        return main_callgrind(args)
    if args.single:
        return main_single(args)
    return main_table(args)


if __name__ == "__main__":
    sys.exit(main())
