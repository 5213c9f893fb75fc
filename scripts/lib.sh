# Shared by scripts/setup, run, test and test-root. Source it; do not run it.
# shellcheck shell=bash
# shellcheck disable=SC2034 # the variables it sets are read by the scripts that source it

VIEW_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VIEW_VENV="$VIEW_ROOT/.venv"

log() { printf '[%s] %s\n' "$(basename "$0")" "$*" >&2; }
warn() { printf '[%s] warning: %s\n' "$(basename "$0")" "$*" >&2; }
die() {
    printf '[%s] error: %s\n' "$(basename "$0")" "$*" >&2
    exit 1
}

# Sets VIEW_PYTHON to a CPython with headers: $PYTHON; else python3.9 to 3.15 on PATH or in pyenv
# (oldest first); else Debian's python3, with python3-dev and python3-venv installed for it.
find_python() {
    local candidates=("${PYTHON:-}") minor
    if [[ -z ${PYTHON:-} ]]; then
        for minor in 9 10 11 12 13 14 15; do
            candidates+=("$(command -v "python3.$minor" || true)")
            candidates+=("$(printf '%s\n' "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3."$minor".*/bin/python3."$minor" | sort -rV | head -n 1)")
        done
        candidates+=(/usr/bin/python3 install /usr/bin/python3)
    fi
    for VIEW_PYTHON in "${candidates[@]}"; do
        if [[ $VIEW_PYTHON == install ]]; then
            ensure_packages python3 python3-dev python3-venv
        elif [[ -x $VIEW_PYTHON ]] && "$VIEW_PYTHON" -c 'import os, sys, sysconfig, venv
assert sys.implementation.name == "cpython" and (3, 9) <= sys.version_info[:2] <= (3, 15)
assert os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' 2>/dev/null; then
            return
        fi
    done
    die "no CPython 3.9 to 3.15 with its headers: set PYTHON=/path/to/python3.X, install one" \
        "with pyenv, or (as root) apt-get install python3-dev python3-venv"
}

is_installed() {
    [[ $(dpkg-query -W -f='${Status}' "$1" 2>/dev/null) == "install ok installed" ]]
}

# ensure_packages REQUIRED... -- OPTIONAL...: installs the Debian packages that are missing (as
# root). A required one that cannot be had is an error; when optional ones cannot be had, it
# names them and returns 1 (what needs them skips, saying so).
ensure_packages() {
    local required=() optional=() pkg in_optional=0
    for pkg in "$@"; do
        if [[ $pkg == -- ]]; then
            in_optional=1
        elif ! is_installed "$pkg" && ! { [[ $pkg == nginx-light ]] && is_installed nginx; }; then
            if ((in_optional)); then optional+=("$pkg"); else required+=("$pkg"); fi
        fi
    done
    ((${#required[@]} + ${#optional[@]})) || return 0
    if [[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null; then
        log "installing Debian packages: ${required[*]} ${optional[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -q </dev/null >&2 || die "apt-get update failed"
        apt-get install -y -q --no-install-recommends "${required[@]}" </dev/null >&2 ||
            die "apt-get install ${required[*]} failed"
        for pkg in "${optional[@]}"; do
            apt-get install -y -q --no-install-recommends "$pkg" </dev/null >&2 || in_optional=2
        done
    else
        in_optional=2
    fi
    for pkg in "${required[@]}" "${optional[@]}"; do
        is_installed "$pkg" || [[ -n ${optional[*]} && " ${optional[*]} " == *" $pkg "* ]] ||
            die "missing Debian package $pkg (as root: apt-get install $pkg)"
    done
    ((in_optional != 2)) || { warn "could not install the Debian packages ${optional[*]}; what needs them skips"; return 1; }
}

# The Debian packages of what builds the modules: a compiler, make, and CMake 3.18 or newer.
build_packages() {
    printf '%s\n' g++ make
    printf '%s\n' 3.18 "$(cmake --version 2>/dev/null | sed -n '1s/^cmake version //p')" |
        sort -C -V || echo cmake
}
