# The Debian testing root: the CPython versions this machine lacks (3.14 and 3.15 on Debian 12 or
# 13) come from Debian's own packages in a chroot that is made once per machine and reused.
# Source it after lib.sh; do not run it. scripts/test-root is its command.
# shellcheck shell=bash
# shellcheck disable=SC2034 # VIEW_ROOT_REASON is read by the scripts that source it

# Outside the checkout, so that every clone on the machine shares one root.
VIEW_TEST_ROOT=${VIEW_TEST_ROOT:-/var/cache/view-modules/forky-root}
VIEW_ROOT_SUITE=forky
# The interpreters, the compiler, the tests' Python packages (Debian's dist-packages serves every
# python3.X), the browser, valgrind, and the manager's servers and database.
VIEW_ROOT_PACKAGES=(
    python3.14-dev python3.15-dev python3.14-venv python3.15-venv
    python3-flask python3-pytest python3-pip python3-setuptools python3-wheel python3-packaging
    g++ cmake make gunicorn valgrind
    python3-selenium chromium chromium-driver python3-waitress python3-psycopg python3-psycopg-pool
    postgresql nginx-light iproute2 curl openssl
)
VIEW_ROOT_WORK=${VIEW_ROOT_WORK:-$VIEW_ROOT/build-root} # this checkout's, at /view inside
VIEW_ROOT_REASON="" # why the root cannot be had, for the NOT TESTED line

# The Debian archive that apt on this machine uses (not a -security or -updates suite), unless
# VIEW_TEST_ROOT_MIRROR names another.
root_mirror() {
    local uri=${VIEW_TEST_ROOT_MIRROR:-}
    # shellcheck disable=SC2016 # apt's own placeholders
    [[ -n $uri ]] || uri=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 2>/dev/null |
        awk '$2 !~ /-/ { print $1; exit }')
    [[ $uri =~ ^(https?|file):// ]] || return 1
    printf '%s\n' "${uri%/}"
}

# What the ready marker holds: a change of suite or package list brings an update step.
root_manifest() {
    printf '%s %s\n' "$VIEW_ROOT_SUITE" "${VIEW_ROOT_PACKAGES[*]}"
}

# root_exec [VAR=VALUE...] -- COMMAND...: COMMAND in the root as root, in /view/src, with a clean
# environment plus VARs. /proc, /dev, a fresh /dev/shm, the work folder (at /view) and its tmp/
# are mounted in a private mount and PID namespace: they vanish with the command however it ends,
# and no process it started outlives it.
root_exec() {
    local vars=()
    while (($#)) && [[ $1 != -- ]]; do
        vars+=("$1")
        shift
    done
    shift
    mkdir -p "$VIEW_ROOT_WORK/tmp" "$VIEW_ROOT_WORK/src"
    # shellcheck disable=SC2016 # expanded by the shell inside the namespace
    unshare --mount --propagation private --pid --fork --kill-child -- bash -c '
        set -e
        root=$1 work=$2 nvars=$3
        shift 3
        vars=("${@:1:nvars}")
        shift "$nvars"
        mount --bind "$root" "$root" # a mount point as /: `ip netns exec` remounts it
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

# root_no REASON: says why the root cannot be had (the NOT TESTED line), and fails.
root_no() {
    VIEW_ROOT_REASON=$*
    return 1
}

# Makes the root (debootstrap, then the packages) unless it is ready for the package list: an
# interrupted debootstrap is redone, a changed list only installs. Checkouts take turns.
root_ensure() {
    [[ $VIEW_TEST_ROOT == /?* && $VIEW_TEST_ROOT != */ ]] ||
        root_no "VIEW_TEST_ROOT=$VIEW_TEST_ROOT is not an absolute path of a folder" || return
    [[ $(id -u) -eq 0 ]] || root_no "making and entering the Debian $VIEW_ROOT_SUITE root needs root" || return
    { command -v unshare && command -v chroot && command -v flock; } >/dev/null ||
        root_no "unshare, chroot or flock is missing" || return
    mkdir -p "$(dirname "$VIEW_TEST_ROOT")"
    local lock_fd status=0
    exec {lock_fd}>"$VIEW_TEST_ROOT.lock"
    flock "$lock_fd"
    root_ensure_locked || status=$?
    exec {lock_fd}>&-
    return "$status"
}

root_ensure_locked() {
    local ready=$VIEW_TEST_ROOT/.view-root-ready base=$VIEW_TEST_ROOT/.view-root-base
    local want start=$SECONDS mirror script=/usr/share/debootstrap/scripts/$VIEW_ROOT_SUITE
    want=$(root_manifest)
    if [[ -f $ready && $(cat "$ready") == "$want" ]]; then
        log "Debian $VIEW_ROOT_SUITE root: $VIEW_TEST_ROOT (kept)"
        return 0
    fi
    if [[ ! -f $base ]]; then
        command -v debootstrap >/dev/null || (ensure_packages debootstrap) ||
            root_no "debootstrap is missing and could not be installed" || return
        mirror=$(root_mirror) || root_no "no Debian mirror found in apt's sources" || return
        # debootstrap of Debian 12 has no script of that name; testing is made like unstable.
        [[ -e $script ]] || script=/usr/share/debootstrap/scripts/sid
        ! awk -v p="$VIEW_TEST_ROOT" '$5 == p || index($5, p "/") == 1 { found = 1 }
            END { exit !found }' /proc/self/mountinfo ||
            root_no "something is mounted under $VIEW_TEST_ROOT; not removing it" || return
        # Only a folder that this script started is ever removed.
        [[ ! -d $VIEW_TEST_ROOT || -f $VIEW_TEST_ROOT/.view-root-owner || -z $(ls -A "$VIEW_TEST_ROOT") ]] ||
            root_no "$VIEW_TEST_ROOT exists and was not made by scripts/root.sh; not touching it" || return
        log "making the Debian $VIEW_ROOT_SUITE root in $VIEW_TEST_ROOT from $mirror"
        rm -rf --one-file-system "$VIEW_TEST_ROOT"
        mkdir -p "$VIEW_TEST_ROOT"
        touch "$VIEW_TEST_ROOT/.view-root-owner"
        debootstrap --variant=minbase "$VIEW_ROOT_SUITE" "$VIEW_TEST_ROOT" "$mirror" "$script" \
            </dev/null >"$VIEW_TEST_ROOT.log" 2>&1 ||
            root_no "debootstrap of $VIEW_ROOT_SUITE failed (see $VIEW_TEST_ROOT.log)" || return
        touch "$base"
    fi
    log "installing into the root: ${VIEW_ROOT_PACKAGES[*]}"
    rm -f "$ready"
    root_apt_settings >"$VIEW_TEST_ROOT/etc/apt/apt.conf.d/99view-host"
    VIEW_ROOT_WORK=$VIEW_TEST_ROOT.work root_exec -- sh -c \
        'printf "#!/bin/sh\nexit 101\n" >/usr/sbin/policy-rc.d && chmod 755 /usr/sbin/policy-rc.d &&
        apt-get update -q && apt-get install -y -q --no-install-recommends "$@" && apt-get clean' \
        sh "${VIEW_ROOT_PACKAGES[@]}" </dev/null >>"$VIEW_TEST_ROOT.log" 2>&1 ||
        root_no "installing packages into the $VIEW_ROOT_SUITE root failed (see $VIEW_TEST_ROOT.log)" || return
    printf '%s\n' "$want" >"$ready"
    log "Debian $VIEW_ROOT_SUITE root ready in $((SECONDS - start)) s"
}

# The machine's apt settings on the archive's dates (checks turned off here are off inside too).
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
    root_exec -- "python$1" -c 'import os, sysconfig
assert os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' \
        </dev/null >/dev/null 2>&1 || root_no "the $VIEW_ROOT_SUITE root has no python$1 with headers"
}

# root_copy_tree: what git tracks or would track, as it is now and with its times, into src/.
root_copy_tree() {
    local dest=$VIEW_ROOT_WORK/src
    rm -rf "$dest.new"
    mkdir -p "$dest.new"
    git -C "$VIEW_ROOT" ls-files -z --cached --others --exclude-standard |
        while IFS= read -r -d '' name; do
            [[ -f $VIEW_ROOT/$name ]] && printf '%s\0' "$name"
        done | tar -C "$VIEW_ROOT" --null -T - -cf - | tar -xf - -C "$dest.new"
    rm -rf "$dest"
    mv "$dest.new" "$dest"
}

# root_build 3.X: Release build of the copy for python3.X inside the root, in build-3.X.
root_build() {
    local version=$1
    # shellcheck disable=SC2016 # expanded by the root's shell, with the version as $1
    root_exec -- sh -c '
        cmake -S /view/src -B "/view/build-$1" -DPython3_EXECUTABLE="/usr/bin/python$1" \
            -DCMAKE_BUILD_TYPE=Release && cmake --build "/view/build-$1" -j2' sh "$version" \
        </dev/null
}

# root_pytest 3.X [PYTEST_ARGS...]: pytest on build-3.X with python3.X inside the root (the suite
# unless the arguments name tests); its counts go to report-3.X.json of the work folder.
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
