# Shared shell functions for scripts/setup and scripts/test. Source it; do not run it.
# shellcheck shell=bash
# The variables it sets (VIEW_PYTHON_VERSION, ...) are read by the scripts that source it.
# shellcheck disable=SC2034

VIEW_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VIEW_VENV="$VIEW_ROOT/.venv"

log() { printf '[%s] %s\n' "$(basename "$0")" "$*" >&2; }
warn() { printf '[%s] warning: %s\n' "$(basename "$0")" "$*" >&2; }
die() {
    printf '[%s] error: %s\n' "$(basename "$0")" "$*" >&2
    exit 1
}

# --- CPython ------------------------------------------------------------------------------

# The supported CPython versions, oldest first. 3.9 is the reference build.
VIEW_SUPPORTED_MINORS=(9 10 11 12 13 14 15)
VIEW_REFERENCE_MINOR=9

# Prints "PATH 3.X" (canonical path of the interpreter and its version) if $1 runs, is a
# supported CPython (or exactly 3.$3 when given) and has Python.h. Returns non-zero (and prints
# the reason to stderr when $2 is "verbose") otherwise.
check_python() {
    local candidate=$1 verbose=${2:-} want=${3:-}
    local out
    # A pyenv shim exists on PATH but fails unless a version is selected: running it is the test.
    if ! out=$("$candidate" - "${VIEW_SUPPORTED_MINORS[*]}" "$want" 2>/dev/null <<'EOF'
import os, platform, sys, sysconfig
supported = [int(m) for m in sys.argv[1].split()]
want = sys.argv[2]
minor = sys.version_info[1]
if (platform.python_implementation() != "CPython" or sys.version_info[0] != 3
        or minor not in supported or (want and minor != int(want))):
    print("not a supported CPython%s (%s %s)" % (" 3." + want if want else "",
          platform.python_implementation(), platform.python_version()))
    sys.exit(2)
include = sysconfig.get_config_var("INCLUDEPY") or sysconfig.get_paths()["include"]
if not os.path.isfile(os.path.join(include, "Python.h")):
    print("no Python.h in %s (development headers missing)" % include)
    sys.exit(3)
print(os.path.realpath(sys.executable), "3.%d" % minor)
EOF
    ); then
        if [[ $verbose == verbose ]]; then
            warn "$candidate: ${out:-does not run}"
        fi
        return 1
    fi
    printf '%s\n' "$out"
}

pyenv_root() {
    local root=""
    if command -v pyenv >/dev/null 2>&1; then
        root=$(pyenv root 2>/dev/null || true)
    fi
    printf '%s\n' "${root:-${PYENV_ROOT:-$HOME/.pyenv}}"
}

# Prints "PATH 3.X" for a CPython 3.$1 with headers: python3.$1 on PATH, then pyenv's
# versions/3.$1.* (newest patch release first), then Debian's python3 when it is 3.$1.
find_minor() {
    local minor=$1 found candidate root
    if command -v "python3.$minor" >/dev/null 2>&1 &&
        found=$(check_python "python3.$minor" "" "$minor"); then
        printf '%s\n' "$found"
        return
    fi
    root=$(pyenv_root)
    while IFS= read -r candidate; do
        if [[ -x $candidate ]] && found=$(check_python "$candidate" "" "$minor"); then
            printf '%s\n' "$found"
            return
        fi
    done < <(printf '%s\n' "$root"/versions/3."$minor".*/bin/python3."$minor" | sort -rV)
    if [[ -x /usr/bin/python3 ]] && found=$(check_python /usr/bin/python3 "" "$minor"); then
        printf '%s\n' "$found"
        return
    fi
    return 1
}

# Sets VIEW_PYTHON (and VIEW_PYTHON_VERSION, "3.X") to the interpreter to build for: $PYTHON
# when given; else CPython 3.9 (the reference build); else the newest supported CPython with
# headers; else Debian's own python3, installing python3-dev for its headers.
find_python() {
    local found minor i
    if [[ -n ${PYTHON:-} ]]; then
        found=$(check_python "$PYTHON" verbose) ||
            die "PYTHON=$PYTHON is not a CPython 3.${VIEW_SUPPORTED_MINORS[0]} to" \
                "3.${VIEW_SUPPORTED_MINORS[-1]} with development headers"
        read -r VIEW_PYTHON VIEW_PYTHON_VERSION <<<"$found"
        return
    fi
    local order=("$VIEW_REFERENCE_MINOR")
    for ((i = ${#VIEW_SUPPORTED_MINORS[@]} - 1; i >= 0; i--)); do
        minor=${VIEW_SUPPORTED_MINORS[i]}
        [[ $minor == "$VIEW_REFERENCE_MINOR" ]] || order+=("$minor")
    done
    for minor in "${order[@]}"; do
        if found=$(find_minor "$minor"); then
            read -r VIEW_PYTHON VIEW_PYTHON_VERSION <<<"$found"
            return
        fi
    done
    # Debian's python3 (3.11 on Debian 12, 3.13 on Debian 13) has its headers in python3-dev; a
    # minimal system may lack python3 itself.
    if [[ ! -x /usr/bin/python3 ]] || ! is_installed python3-dev; then
        log "no supported CPython with headers found; installing Debian's python3-dev"
        ensure_packages python3 python3-dev python3-venv
        if found=$(check_python /usr/bin/python3 verbose); then
            read -r VIEW_PYTHON VIEW_PYTHON_VERSION <<<"$found"
            return
        fi
    fi
    die "no supported CPython (3.${VIEW_SUPPORTED_MINORS[0]} to 3.${VIEW_SUPPORTED_MINORS[-1]})" \
        "with development headers found: set PYTHON=/path/to/python3.X, put python3.X on PATH," \
        "install one with pyenv (looked in $(pyenv_root)/versions), or install python3-dev"
}

# flask_test_files: prints the test files (relative to the checkout) whose outcome can depend
# on the version of Flask or Werkzeug: those that name either, the demo application or the
# helper that makes it themselves, and every file of a folder whose conftest.py does (the
# applications, the views' request contexts). The rest (the frame's binding, calls, function
# objects and compile tables) calls the modules outside of any Flask object.
flask_test_files() (
    cd "$VIEW_ROOT" || exit
    local file dir uses='\b(flask|werkzeug|webapp_support)\b|^(from|import) view_plugin_manager\b'
    while IFS= read -r file; do
        dir=$(dirname "$file")
        if grep -qiE "$uses" "$file" ||
            { [[ $dir != tests ]] && grep -qiE "$uses" "$dir/conftest.py" 2>/dev/null; }; then
            printf '%s\n' "$file"
        fi
    done < <(find tests -path tests/packaging -prune -o -type f -name 'test_*.py' -print | sort)
)

# --- Debian packages ---------------------------------------------------------------------

is_installed() {
    [[ $(dpkg-query -W -f='${Status}' "$1" 2>/dev/null) == "install ok installed" ]]
}

has_candidate() {
    local candidate
    candidate=$(apt-cache policy "$1" 2>/dev/null | awk '/Candidate:/ { print $2 }')
    [[ -n $candidate && $candidate != "(none)" ]]
}

can_be_root() {
    [[ $(id -u) -eq 0 ]] || sudo -n true 2>/dev/null
}

as_root() {
    if [[ $(id -u) -eq 0 ]]; then
        "$@"
    elif command -v sudo >/dev/null 2>&1; then
        sudo "$@"
    else
        die "need root to run: $*"
    fi
}

# ensure_packages REQUIRED... -- OPTIONAL...
# Installs only what is missing; runs apt-get update only then. A missing required package that
# Debian does not offer is an error; a missing optional one is skipped with a warning. Without
# root (or a sudo that asks no password) missing optional packages are only reported.
ensure_packages() {
    local required=() optional=() missing_required=() missing_optional=() pkg
    local in_optional=0
    for pkg in "$@"; do
        if [[ $pkg == -- ]]; then
            in_optional=1
        elif ((in_optional)); then
            optional+=("$pkg")
        else
            required+=("$pkg")
        fi
    done
    for pkg in "${required[@]}"; do
        is_installed "$pkg" || missing_required+=("$pkg")
    done
    for pkg in "${optional[@]}"; do
        is_installed "$pkg" || missing_optional+=("$pkg")
    done
    if ((${#missing_required[@]} + ${#missing_optional[@]} == 0)); then
        log "Debian packages: all present"
        return
    fi
    command -v apt-get >/dev/null 2>&1 ||
        die "missing packages ${missing_required[*]} ${missing_optional[*]} and no apt-get"
    if ! can_be_root; then
        ((${#missing_required[@]} == 0)) ||
            die "missing Debian packages: ${missing_required[*]} (as root: apt-get install ${missing_required[*]})"
        warn "not root: Debian packages ${missing_optional[*]} are missing; what needs them is not tested"
        return
    fi
    log "Debian packages missing: ${missing_required[*]} ${missing_optional[*]}"
    export DEBIAN_FRONTEND=noninteractive
    as_root apt-get update -q </dev/null || die "apt-get update failed"
    local install=()
    for pkg in "${missing_required[@]}"; do
        has_candidate "$pkg" || die "Debian package $pkg is not available"
        install+=("$pkg")
    done
    for pkg in "${missing_optional[@]}"; do
        if has_candidate "$pkg"; then
            install+=("$pkg")
        else
            warn "Debian package $pkg is not available; skipping it (tests that need it will skip)"
        fi
    done
    if ((${#install[@]})); then
        as_root apt-get install -y -q --no-install-recommends "${install[@]}" </dev/null ||
            die "apt-get install ${install[*]} failed"
    fi
}

# --- Virtual environment -----------------------------------------------------------------

# True if the venv $1 exists, runs, and was made from $VIEW_PYTHON (same home and version).
venv_matches() {
    local venv=$1 cfg=$1/pyvenv.cfg
    [[ -f $cfg && -x $venv/bin/python && -x $venv/bin/pip ]] || return 1
    local home version want_version
    home=$(sed -n 's/^home *= *//p' "$cfg")
    version=$(sed -n 's/^version *= *//p' "$cfg")
    want_version=$("$VIEW_PYTHON" -c 'import platform; print(platform.python_version())')
    [[ $home == "$(dirname "$VIEW_PYTHON")" && $version == "$want_version" ]] || return 1
    "$venv/bin/python" -c 'import sys' 2>/dev/null
}

# ensure_venv [DIR [EXTRA... [--oldest]]]: a venv made from $VIEW_PYTHON in DIR (default .venv)
# with what pyproject.toml declares installed from the package index: the runtime
# dependencies and those of each EXTRA (default: workers); --oldest takes the oldest Flask that
# the project admits. pip runs only for a requirement that the venv has not had installed yet
# (their list is kept in the venv), so a second run is quick and needs no network.
ensure_venv() {
    local venv=${1:-$VIEW_VENV}
    shift || true
    local wanted=("$@")
    ((${#wanted[@]})) || wanted=(workers)
    if venv_matches "$venv"; then
        log "venv: $venv (kept)"
    else
        [[ -e $venv ]] && log "venv: $venv is broken or from another interpreter; recreating"
        rm -rf "$venv"
        "$VIEW_PYTHON" -m venv "$venv" || die "could not create $venv (for Debian's python3: apt-get install python3-venv)"
        # The pip that older interpreters bring backtracks for minutes through the releases of
        # the test extra's dependencies; a current one does not.
        "$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip ||
            die "could not upgrade pip in $venv"
        log "venv: $venv (created from $VIEW_PYTHON)"
    fi
    local requirements stamp=$venv/view-requirements.txt
    requirements=$("$venv/bin/python" "$VIEW_ROOT/scripts/requirements.py" "${wanted[@]}") ||
        die "could not read the requirements from pyproject.toml"
    touch "$stamp"
    if grep -vxFf "$stamp" <<<"$requirements" >/dev/null; then
        log "venv: installing into $venv: $(tr '\n' ' ' <<<"$requirements")"
        printf '%s\n' "$requirements" >"$stamp.new"
        "$venv/bin/python" -m pip install -q --disable-pip-version-check -r "$stamp.new" ||
            die "pip install into $venv failed"
        sort -u "$stamp" "$stamp.new" >"$stamp.all"
        mv "$stamp.all" "$stamp"
        rm -f "$stamp.new"
    fi
    "$venv/bin/python" -c 'import flask' || die "flask does not import in $venv"
}

# --- CMake -------------------------------------------------------------------------------

# cache_value BUILD_DIR KEY: prints the value of KEY in BUILD_DIR/CMakeCache.txt.
cache_value() {
    sed -n "s/^$2:[A-Z]*=//p" "$1/CMakeCache.txt" 2>/dev/null | head -n 1
}

# cmake_build BUILD_DIR -DKEY=VALUE...: configures (only when the cache lacks one of the given
# values, or belongs to another source tree) and builds incrementally.
cmake_build() {
    local dir=$1
    shift
    local args=("-DPython3_EXECUTABLE=$VIEW_PYTHON" "$@")
    local need_configure=0 arg key value
    if [[ ! -f $dir/CMakeCache.txt ]]; then
        need_configure=1
    elif [[ ! -f $dir/Makefile && ! -f $dir/build.ninja ]]; then
        need_configure=1 # an earlier configure stopped before generating
    elif [[ $(cache_value "$dir" CMAKE_HOME_DIRECTORY) != "$VIEW_ROOT" ]]; then
        log "$dir was configured for another source tree; starting afresh"
        rm -rf "$dir"
        need_configure=1
    elif [[ $(cache_value "$dir" Python3_EXECUTABLE) != "$VIEW_PYTHON" ]]; then
        # Headers, libraries and suffix all follow the interpreter: nothing can be kept.
        log "$dir was configured for another interpreter; starting afresh"
        rm -rf "$dir"
        need_configure=1
    else
        for arg in "${args[@]}"; do
            key=${arg#-D}
            key=${key%%=*}
            value=${arg#*=}
            if [[ $(cache_value "$dir" "$key") != "$value" ]]; then
                need_configure=1
                break
            fi
        done
    fi
    if ((need_configure)); then
        log "configuring $dir: ${args[*]}"
        cmake -S "$VIEW_ROOT" -B "$dir" "${args[@]}" || die "cmake configure of $dir failed"
    fi
    log "building $dir"
    cmake --build "$dir" -j2 || die "build in $dir failed"
}
