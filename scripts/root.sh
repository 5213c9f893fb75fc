# The Debian testing root: the CPython versions this machine lacks (3.14 and 3.15 on Debian 12 or
# 13) come from Debian's own packages in a chroot that is made once per machine and reused.
# Source it after lib.sh; do not run it. scripts/test-root is its command.
# shellcheck shell=bash

# Outside the checkout, so that every clone on the machine shares one root.
VIEW_TEST_ROOT=${VIEW_TEST_ROOT:-/var/cache/view-modules/forky-root}
VIEW_ROOT_SUITE=forky
# What the suite needs inside: the interpreters with headers and venv, the compiler, the suite's
# Python packages (Debian's /usr/lib/python3/dist-packages serves every python3.X there), the
# browser for the live tests and valgrind for the benchmark's callgrind mode.
VIEW_ROOT_PACKAGES=(
    python3.14-dev python3.15-dev python3.14-venv python3.15-venv
    python3-flask python3-pytest python3-pip python3-setuptools python3-wheel python3-packaging
    g++ cmake make gunicorn valgrind
    python3-selenium chromium chromium-driver
)
# The work folder of this checkout, bound at /view inside the root.
VIEW_ROOT_WORK=${VIEW_ROOT_WORK:-$VIEW_ROOT/build-root}
# Set by root_ensure when the root cannot be had: why, for the NOT TESTED line.
VIEW_ROOT_REASON=""

# Prints the URI of the Debian archive that apt on this machine uses (not its security or
# updates suites): deb822 sources first, then one-line sources. VIEW_TEST_ROOT_MIRROR overrides.
root_mirror() {
    local uri=${VIEW_TEST_ROOT_MIRROR:-}
    local deb822=(/etc/apt/sources.list.d/*.sources)
    if [[ -z $uri && -e ${deb822[0]} ]]; then
        uri=$(awk '
            function flush() {
                if (!found && enabled && types ~ / deb( |$)/ && plain && uris != "") {
                    split(uris, u, " "); print u[1]; found = 1
                }
                types = ""; uris = ""; plain = 0; enabled = 1
            }
            BEGIN { enabled = 1 }
            FNR == 1 { flush() }
            /^[ \t]*$/ { flush(); next }
            /^[ \t]*#/ { next }
            tolower($1) == "types:" { $1 = ""; types = $0 " " }
            tolower($1) == "uris:" { $1 = ""; uris = $0 }
            tolower($1) == "enabled:" && tolower($2) == "no" { enabled = 0 }
            tolower($1) == "suites:" { for (i = 2; i <= NF; i++) if ($i !~ /-/) plain = 1 }
            END { flush() }' "${deb822[@]}" 2>/dev/null)
    fi
    if [[ -z $uri ]]; then
        uri=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null | awk '
            $1 == "deb" {
                i = 2
                if ($i ~ /^\[/) { while (i < NF && $i !~ /\]$/) i++; i++ }
                if ($(i + 1) !~ /-/) { print $i; exit }
            }')
    fi
    [[ $uri =~ ^(https?|file):// ]] || return 1
    printf '%s\n' "${uri%/}"
}

# What the ready marker holds: a change of suite or package list brings an update step.
root_manifest() {
    printf '%s %s\n' "$VIEW_ROOT_SUITE" "${VIEW_ROOT_PACKAGES[*]}"
}

# True if something is mounted at or under $1 in this mount namespace.
root_has_mounts() {
    awk -v p="$1" '$5 == p || index($5, p "/") == 1 { found = 1 } END { exit !found }' \
        /proc/self/mountinfo
}

# root_exec [VAR=VALUE...] -- COMMAND...: runs COMMAND in the root as root, in /view/src, with a
# clean environment plus the given variables. /proc, /dev, /dev/pts, a fresh /dev/shm, the work
# folder (at /view) and its tmp/ (at /tmp) are mounted in a private mount and PID namespace: the
# mounts exist only for this command and vanish with it however it ends (kill -9 included), and
# no process it started outlives it.
root_exec() {
    local vars=()
    while (($#)) && [[ $1 != -- ]]; do
        vars+=("$1")
        shift
    done
    shift
    mkdir -p "$VIEW_ROOT_WORK/tmp" "$VIEW_ROOT_WORK/src"
    # The script is expanded by the shell inside the namespace, not here.
    # shellcheck disable=SC2016
    unshare --mount --propagation private --pid --fork --kill-child -- bash -c '
        set -e
        root=$1 work=$2 nvars=$3
        shift 3
        vars=("${@:1:nvars}")
        shift "$nvars"
        mount -t proc proc "$root/proc"
        mount --bind /dev "$root/dev"
        mount --bind /dev/pts "$root/dev/pts"
        mount -t tmpfs -o mode=1777,nosuid,nodev shm "$root/dev/shm"
        mkdir -p "$root/view"
        mount --bind "$work" "$root/view"
        mount --bind "$work/tmp" "$root/tmp"
        chmod 1777 "$root/tmp"
        # The machine'"'"'s name service and certificate authorities (a proxy in between may
        # sign with its own) serve the root too, pip'"'"'s downloads among them.
        cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
        certs=()
        if cp -L /etc/ssl/certs/ca-certificates.crt "$root/etc/view-host-ca.crt" 2>/dev/null; then
            certs=(PIP_CERT=/etc/view-host-ca.crt SSL_CERT_FILE=/etc/view-host-ca.crt)
        fi
        exec chroot "$root" /usr/bin/env -i \
            PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
            HOME=/root LANG=C.UTF-8 TMPDIR=/tmp DEBIAN_FRONTEND=noninteractive "${certs[@]}" \
            PIP_DISABLE_PIP_VERSION_CHECK=1 "${vars[@]}" \
            /bin/sh -c "cd /view/src 2>/dev/null || cd /; exec \"\$@\"" sh "$@"
    ' root-exec "$VIEW_TEST_ROOT" "$VIEW_ROOT_WORK" "${#vars[@]}" "${vars[@]}" "$@"
}

# Makes the root (debootstrap, then the packages) unless it is ready for the current package
# list; an interrupted debootstrap is redone, a changed list only installs. Returns non-zero with
# VIEW_ROOT_REASON set when the root cannot be had. Runs of several checkouts take turns.
root_ensure() {
    # Once per run: a root that could not be made is not tried again for the next version.
    case ${VIEW_ROOT_STATE:-} in
    ready) return 0 ;;
    failed) return 1 ;;
    esac
    VIEW_ROOT_STATE=failed
    VIEW_ROOT_REASON=""
    if [[ $VIEW_TEST_ROOT != /?* || $VIEW_TEST_ROOT == */ ]]; then
        VIEW_ROOT_REASON="VIEW_TEST_ROOT=$VIEW_TEST_ROOT is not an absolute path of a folder"
        return 1
    fi
    if [[ $(id -u) -ne 0 ]]; then
        VIEW_ROOT_REASON="making and entering the Debian $VIEW_ROOT_SUITE root needs root"
        return 1
    fi
    local tool
    for tool in unshare chroot flock; do
        command -v "$tool" >/dev/null 2>&1 || {
            VIEW_ROOT_REASON="no $tool on this machine"
            return 1
        }
    done
    mkdir -p "$(dirname "$VIEW_TEST_ROOT")"
    local lock_fd
    exec {lock_fd}>"$VIEW_TEST_ROOT.lock"
    flock "$lock_fd"
    local status=0
    root_ensure_locked || status=$?
    exec {lock_fd}>&-
    ((status)) || VIEW_ROOT_STATE=ready
    return "$status"
}

root_ensure_locked() {
    local ready=$VIEW_TEST_ROOT/.view-root-ready base=$VIEW_TEST_ROOT/.view-root-base
    local want start
    want=$(root_manifest)
    if [[ -f $ready && $(cat "$ready") == "$want" ]]; then
        log "Debian $VIEW_ROOT_SUITE root: $VIEW_TEST_ROOT (kept)"
        return 0
    fi
    start=$SECONDS
    if [[ ! -f $base ]]; then
        if ! command -v debootstrap >/dev/null 2>&1; then
            log "installing debootstrap"
            (ensure_packages debootstrap) || {
                VIEW_ROOT_REASON="debootstrap is missing and could not be installed"
                return 1
            }
        fi
        local mirror script
        mirror=$(root_mirror) || {
            VIEW_ROOT_REASON="no Debian mirror found in apt's sources"
            return 1
        }
        # debootstrap of Debian 12 has no script of that name; testing is made like unstable.
        script=/usr/share/debootstrap/scripts/$VIEW_ROOT_SUITE
        [[ -e $script ]] || script=/usr/share/debootstrap/scripts/sid
        if root_has_mounts "$VIEW_TEST_ROOT"; then
            VIEW_ROOT_REASON="something is mounted under $VIEW_TEST_ROOT; not removing it"
            return 1
        fi
        # Only a folder that this script started is ever removed.
        if [[ -d $VIEW_TEST_ROOT && ! -f $VIEW_TEST_ROOT/.view-root-owner ]] &&
            [[ -n $(ls -A "$VIEW_TEST_ROOT") ]]; then
            VIEW_ROOT_REASON="$VIEW_TEST_ROOT exists and was not made by scripts/root.sh; not touching it"
            return 1
        fi
        log "making the Debian $VIEW_ROOT_SUITE root in $VIEW_TEST_ROOT from $mirror"
        rm -rf --one-file-system "$VIEW_TEST_ROOT"
        mkdir -p "$VIEW_TEST_ROOT"
        touch "$VIEW_TEST_ROOT/.view-root-owner"
        if ! debootstrap --variant=minbase "$VIEW_ROOT_SUITE" "$VIEW_TEST_ROOT" "$mirror" \
            "$script" </dev/null >"$VIEW_TEST_ROOT.log" 2>&1; then
            tail -n 20 "$VIEW_TEST_ROOT.log" >&2
            VIEW_ROOT_REASON="debootstrap of $VIEW_ROOT_SUITE failed (see $VIEW_TEST_ROOT.log)"
            return 1
        fi
        touch "$base"
        log "debootstrap took $((SECONDS - start)) s"
    fi
    log "installing into the root: ${VIEW_ROOT_PACKAGES[*]}"
    rm -f "$ready"
    root_apt_settings >"$VIEW_TEST_ROOT/etc/apt/apt.conf.d/99view-host"
    if ! VIEW_ROOT_WORK=$VIEW_TEST_ROOT.work root_exec -- sh -c \
        'apt-get update -q && apt-get install -y -q --no-install-recommends "$@" && apt-get clean' \
        sh "${VIEW_ROOT_PACKAGES[@]}" </dev/null >>"$VIEW_TEST_ROOT.log" 2>&1; then
        tail -n 20 "$VIEW_TEST_ROOT.log" >&2
        VIEW_ROOT_REASON="installing packages into the $VIEW_ROOT_SUITE root failed (see $VIEW_TEST_ROOT.log)"
        return 1
    fi
    printf '%s\n' "$want" >"$ready"
    log "Debian $VIEW_ROOT_SUITE root ready in $((SECONDS - start)) s"
}

# The machine's own apt settings for checking the archive's dates, which the root's apt follows:
# a machine whose clock or mirror has those checks turned off needs them off inside as well.
root_apt_settings() {
    local key value
    for key in Acquire::Check-Valid-Until Acquire::Check-Date; do
        value=$(apt-config dump "$key" 2>/dev/null | sed -n "s/^$key \"\(.*\)\";$/\1/p")
        [[ -n $value ]] && printf '%s "%s";\n' "$key" "$value"
    done
    return 0
}

# root_offers 3.X: true if the root is ready and has that interpreter with its headers.
root_offers() {
    root_ensure || return 1
    local minor=${1#3.}
    if ! root_exec -- "python3.$minor" -c \
        'import os, sysconfig; assert os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' \
        </dev/null >/dev/null 2>&1; then
        VIEW_ROOT_REASON="the $VIEW_ROOT_SUITE root has no python3.$minor with headers"
        return 1
    fi
}

# root_copy_tree: a clean copy of this working tree (what git tracks or would track, as it is
# now, with the files' times, so that an unchanged file is not rebuilt) in the work folder's src/.
root_copy_tree() {
    local dest=$VIEW_ROOT_WORK/src
    rm -rf "$dest.new"
    mkdir -p "$dest.new"
    if git -C "$VIEW_ROOT" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        (
            cd "$VIEW_ROOT" || exit
            git ls-files -z --cached --others --exclude-standard |
                while IFS= read -r -d '' name; do
                    [[ -f $name ]] && printf '%s\0' "$name"
                done | tar --null -T - -cf -
        ) | tar -xf - -C "$dest.new"
    else
        tar -C "$VIEW_ROOT" --exclude='./build*' --exclude='./.venv*' --exclude=./data \
            --exclude=./dist --exclude='*.egg-info' --exclude=__pycache__ -cf - . |
            tar -xf - -C "$dest.new"
    fi
    rm -rf "$dest"
    mv "$dest.new" "$dest"
}

# root_build 3.X: Release build of the clean copy for python3.X inside the root, in build-3.X of
# the work folder, with the project's own CMake description.
root_build() {
    local version=$1
    # shellcheck disable=SC2016 # expanded by the root's shell, with the version as $1
    root_exec -- sh -c '
        cmake -S /view/src -B "/view/build-$1" -DPython3_EXECUTABLE="/usr/bin/python$1" \
            -DCMAKE_BUILD_TYPE=Release && cmake --build "/view/build-$1" -j2' sh "$version" \
        </dev/null
}

# root_pytest 3.X [PYTEST_ARGS...]: the tests that PYTEST_ARGS name (the suite when they name
# none) on build-3.X with python3.X inside the root, after root_build; the counts go to
# report-3.X.json of the work folder.
root_pytest() {
    local version=$1
    shift
    local targets=(tests) arg
    for arg in "$@"; do
        [[ $arg == tests* ]] && targets=()
    done
    root_exec VIEW_BUILD_DIR="/view/build-$version" PYTHONUNBUFFERED=1 \
        VIEW_TEST_REPORT="/view/report-$version.json" VIEW_TEST_STRICT="${VIEW_TEST_STRICT:-0}" -- \
        "python$version" -m pytest -p no:cacheprovider "${targets[@]}" "$@" </dev/null
}
