# Shared shell functions for scripts/setup and scripts/test. Source it; do not run it.
# shellcheck shell=bash

VIEW_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VIEW_VENV="$VIEW_ROOT/.venv"
# Debian's own Python packages (Flask, pytest, selenium, ...). They are pure Python, so the
# project's 3.9 interpreter can use them through a .pth file in the venv.
VIEW_DIST_PACKAGES=/usr/lib/python3/dist-packages

log() { printf '[%s] %s\n' "$(basename "$0")" "$*" >&2; }
warn() { printf '[%s] warning: %s\n' "$(basename "$0")" "$*" >&2; }
die() {
    printf '[%s] error: %s\n' "$(basename "$0")" "$*" >&2
    exit 1
}

# --- CPython 3.9 -------------------------------------------------------------------------

# Prints the canonical path of the interpreter if $1 runs, is CPython 3.9 and has Python.h.
# Returns non-zero (and prints the reason to stderr when $2 is "verbose") otherwise.
check_python39() {
    local candidate=$1 verbose=${2:-}
    local out
    # The pyenv shim exists on PATH but fails unless a 3.9 is selected: running it is the test.
    if ! out=$("$candidate" - 2>/dev/null <<'EOF'
import os, platform, sys, sysconfig
if platform.python_implementation() != "CPython" or sys.version_info[:2] != (3, 9):
    print("not CPython 3.9 (%s %s)" % (platform.python_implementation(), platform.python_version()))
    sys.exit(2)
include = sysconfig.get_config_var("INCLUDEPY") or sysconfig.get_paths()["include"]
if not os.path.isfile(os.path.join(include, "Python.h")):
    print("no Python.h in %s (development headers missing)" % include)
    sys.exit(3)
print(os.path.realpath(sys.executable))
EOF
    ); then
        if [[ $verbose == verbose ]]; then
            warn "$candidate: ${out:-does not run}"
        fi
        return 1
    fi
    printf '%s\n' "$out"
}

# Sets VIEW_PYTHON to a CPython 3.9 with headers: $PYTHON, then python3.9 on PATH, then pyenv.
find_python39() {
    local found
    if [[ -n ${PYTHON:-} ]]; then
        found=$(check_python39 "$PYTHON" verbose) ||
            die "PYTHON=$PYTHON is not a working CPython 3.9 with development headers"
        VIEW_PYTHON=$found
        return
    fi
    if command -v python3.9 >/dev/null 2>&1 && found=$(check_python39 python3.9); then
        VIEW_PYTHON=$found
        return
    fi
    local pyenv_root=""
    if command -v pyenv >/dev/null 2>&1; then
        pyenv_root=$(pyenv root 2>/dev/null || true)
    fi
    pyenv_root=${pyenv_root:-${PYENV_ROOT:-$HOME/.pyenv}}
    local candidate
    # Newest 3.9 patch release first.
    while IFS= read -r candidate; do
        if [[ -x $candidate ]] && found=$(check_python39 "$candidate" verbose); then
            VIEW_PYTHON=$found
            return
        fi
    done < <(printf '%s\n' "$pyenv_root"/versions/3.9.*/bin/python3.9 | sort -rV)
    die "no CPython 3.9 with development headers found: set PYTHON=/path/to/python3.9," \
        "put a working python3.9 on PATH, or install one with pyenv (looked in $pyenv_root/versions)"
}

# --- Debian packages ---------------------------------------------------------------------

is_installed() {
    [[ $(dpkg-query -W -f='${Status}' "$1" 2>/dev/null) == "install ok installed" ]]
}

has_candidate() {
    local candidate
    candidate=$(apt-cache policy "$1" 2>/dev/null | awk '/Candidate:/ { print $2 }')
    [[ -n $candidate && $candidate != "(none)" ]]
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
# Debian does not offer is an error; a missing optional one is skipped with a warning.
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

# True if .venv exists, runs, and was made from $VIEW_PYTHON (same home and version).
venv_matches() {
    local cfg=$VIEW_VENV/pyvenv.cfg
    [[ -f $cfg && -x $VIEW_VENV/bin/python ]] || return 1
    local home version want_version
    home=$(sed -n 's/^home *= *//p' "$cfg")
    version=$(sed -n 's/^version *= *//p' "$cfg")
    want_version=$("$VIEW_PYTHON" -c 'import platform; print(platform.python_version())')
    [[ $home == "$(dirname "$VIEW_PYTHON")" && $version == "$want_version" ]] || return 1
    "$VIEW_VENV/bin/python" -c 'import sys; assert sys.version_info[:2] == (3, 9)' 2>/dev/null
}

ensure_venv() {
    if venv_matches; then
        log "venv: $VIEW_VENV (kept)"
    else
        [[ -e $VIEW_VENV ]] && log "venv: $VIEW_VENV is broken or from another interpreter; recreating"
        rm -rf "$VIEW_VENV"
        # No pip: the only package source here is Debian's, reached through the .pth below.
        "$VIEW_PYTHON" -m venv --without-pip "$VIEW_VENV" || die "could not create $VIEW_VENV"
        log "venv: $VIEW_VENV (created from $VIEW_PYTHON)"
    fi
    local site
    site=$("$VIEW_VENV/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
    local pth=$site/debian-dist-packages.pth
    if [[ $(cat "$pth" 2>/dev/null) != "$VIEW_DIST_PACKAGES" ]]; then
        printf '%s\n' "$VIEW_DIST_PACKAGES" >"$pth"
    fi
    "$VIEW_VENV/bin/python" -c 'import flask, pytest' ||
        die "flask and pytest do not import in $VIEW_VENV"
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
