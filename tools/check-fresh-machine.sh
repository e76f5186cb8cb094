#!/usr/bin/env bash
# Proves the README's two commands on a bare machine: makes a minimal Debian
# root (debootstrap --variant=minbase) with only python3 added, copies a clean
# checkout of this repository in, and runs both commands inside it (chroot),
# in a mount namespace of its own so that nothing it mounts outlives it.
# The root reaches the same package registries as this machine: its apt
# sources, pip configuration and CA bundles are copied in. The root is
# removed at the end.
#   tools/check-fresh-machine.sh            (as root)
# Environment: FRESH_SUITE (default bookworm), FRESH_KEEP=1 keeps the root.
set -euo pipefail
cd "$(dirname "$0")/.."
repo="$(pwd)"
suite="${FRESH_SUITE:-bookworm}"

if [[ $(id -u) -ne 0 ]]; then
    echo "check-fresh-machine: must run as root (debootstrap, chroot)" >&2
    exit 1
fi
if ! command -v debootstrap >/dev/null 2>&1; then
    echo "check-fresh-machine: installing debootstrap (apt)"
    DEBIAN_FRONTEND=noninteractive apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
fi

# The first Debian archive this machine's apt uses.
mirror="$(
    { { cat /etc/apt/sources.list.d/*.sources 2>/dev/null || true; } | awk '/^URIs:/ {print $2}'
    { cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || true; } \
        | sed -n -E 's/^deb (\[[^]]*\] )?([^ ]+).*/\2/p'
    } | awk '!/-security/' | head -n 1
)"
[[ -n "$mirror" ]] || { echo "check-fresh-machine: no apt source found on this machine" >&2; exit 1; }

root="$(mktemp -d "${TMPDIR:-/var/tmp}/fresh-debian.XXXXXX")"
cleanup() {
    local status=$?
    if [[ "${FRESH_KEEP:-0}" == 1 ]]; then
        echo "check-fresh-machine: root kept at $root"
    elif grep -q " $root" /proc/mounts; then
        echo "check-fresh-machine: something is still mounted under $root; not removing it" >&2
        status=1
    else
        rm -rf --one-file-system "$root"
    fi
    exit "$status"
}
trap cleanup EXIT

started=$SECONDS
echo "==== debootstrap --variant=minbase $suite into $root"
debootstrap --variant=minbase "$suite" "$root" "$mirror" >"$root.debootstrap.log" 2>&1 || {
    tail -n 40 "$root.debootstrap.log" >&2
    rm -f "$root.debootstrap.log"
    exit 1
}
rm -f "$root.debootstrap.log"

# ---------------------------------------- the host's package-client settings
copy_in() {   # path: copied to the same place inside the root, if present
    if [[ -e "$1" ]]; then
        mkdir -p "$root$(dirname "$1")"
        cp -a -L "$1" "$root$1"
    fi
}
copy_in /etc/resolv.conf
copy_in /etc/hosts
# the host's sources replace the ones debootstrap wrote
rm -f "$root/etc/apt/sources.list"
copy_in /etc/apt/sources.list
for file in /etc/apt/sources.list.d/*.sources /etc/apt/sources.list.d/*.list; do copy_in "$file"; done
# apt settings about how the archives are reached (proxies, date checks)
for file in /etc/apt/apt.conf.d/*; do
    if grep -q '^Acquire::' "$file" 2>/dev/null; then copy_in "$file"; fi
done
for keyring in $({ cat /etc/apt/sources.list.d/* /etc/apt/sources.list 2>/dev/null || true; } \
                 | sed -n -E 's/.*(Signed-By: *|signed-by=)([^] ]+).*/\2/p'); do
    copy_in "$keyring"
done
# Debian's ca-certificates, which the build pulls in, rewrites the system
# bundle inside the root: the host's bundle is kept under a name of its own
# and the carried variables point there.
host_bundle=/etc/ssl/host-ca-bundle.crt
bundles=()
carried_env=()
for name in $(compgen -e); do
    case "$name" in
        PIP_* | SSL_CERT_* | REQUESTS_CA_BUNDLE | CURL_CA_BUNDLE | http_proxy | https_proxy | no_proxy \
            | HTTP_PROXY | HTTPS_PROXY | NO_PROXY)
            value="${!name}"
            case "$name" in
                PIP_CERT | SSL_CERT_FILE | REQUESTS_CA_BUNDLE | CURL_CA_BUNDLE)
                    if [[ -f "$value" ]]; then bundles+=("$value"); value="$host_bundle"; fi ;;
            esac
            carried_env+=("$name=$value")
            ;;
    esac
done
copy_in /etc/pip.conf
copy_in /etc/xdg/pip
copy_in "${HOME:-/root}/.config/pip"
copy_in "${HOME:-/root}/.pip"
[[ -n "${PIP_CONFIG_FILE:-}" ]] && copy_in "$PIP_CONFIG_FILE"
pip_cert="$(python3 -m pip config get global.cert 2>/dev/null || true)"
if [[ -f "$pip_cert" ]]; then
    bundles+=("$pip_cert")
    [[ " ${carried_env[*]} " == *" PIP_CERT="* ]] || carried_env+=("PIP_CERT=$host_bundle")
fi
if ((${#bundles[@]})); then
    mkdir -p "$root/etc/ssl"
    cat "${bundles[0]}" >"$root$host_bundle"
fi
# Local package directories that the pip configuration names are bound in
# read-only below, so that pip sees what it sees here.
local_dirs=()
for value in $({ cat /etc/pip.conf /etc/xdg/pip/*.conf "${HOME:-/root}"/.config/pip/*.conf \
                     "${HOME:-/root}"/.pip/*.conf 2>/dev/null || true; } \
                   | { grep -o 'file://[^ ]*\|/[^ ]*' || true; } | sed 's|^file://||') ${PIP_FIND_LINKS:-}; do
    while [[ -n "$value" && "$value" != / && ! -d "$value" ]]; do value="$(dirname "$value")"; done
    # a "simple" index names its files relative to the directory above it
    if [[ "$(basename "$value")" == simple ]]; then value="$(dirname "$value")"; fi
    if [[ -n "$value" && "$value" != / && "$value" != /etc* && -d "$value" ]]; then local_dirs+=("$value"); fi
done

# no service starts inside the root
cat >"$root/usr/sbin/policy-rc.d" <<'EOF'
#!/bin/sh
exit 101
EOF
chmod +x "$root/usr/sbin/policy-rc.d"

echo "==== copying a clean checkout"
git clone --quiet --no-local "$repo" "$root/work/dralvex_computer"

# Everything inside runs in a private mount namespace: when it ends, every
# mount made for the chroot is gone with it.
inside=$(cat <<'EOF'
set -euo pipefail
root="$1"; shift
mount -t proc proc "$root/proc"
mount -t sysfs sysfs "$root/sys"
mount -t tmpfs -o mode=755 tmpfs "$root/dev"
for node in null zero full random urandom tty; do
    touch "$root/dev/$node"
    mount --bind "/dev/$node" "$root/dev/$node"
done
mkdir -p "$root/dev/pts" "$root/dev/shm"
mount -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts "$root/dev/pts"
ln -s pts/ptmx "$root/dev/ptmx"
mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
ln -s /proc/self/fd "$root/dev/fd"
for dir in "$@"; do
    mkdir -p "$root$dir"
    mount --bind "$dir" "$root$dir"
    mount -o remount,bind,ro "$root$dir"
done
environment=(HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8
             DEBIAN_FRONTEND=noninteractive CI="${CI:-}")
mapfile -t carried <"$root/.carried-env"
environment+=("${carried[@]}")
run() { chroot "$root" /usr/bin/env -i "${environment[@]}" /bin/bash -c "$1"; }
echo "==== installing python3 alone in the root"
run 'apt-get update -qq && apt-get install -y -qq --no-install-recommends python3 >/dev/null'
run 'python3 --version
for package in g++ python3-dev python3-venv cmake ninja-build pypy3; do
    if dpkg -s "$package" >/dev/null 2>&1; then echo "the root is not bare: $package" >&2; exit 1; fi
done'
echo "==== bash tools/run-main-job.sh (inside)"
run 'cd /work/dralvex_computer && bash tools/run-main-job.sh'
echo "==== bash tools/run-tests.sh (inside)"
run 'cd /work/dralvex_computer && bash tools/run-tests.sh -q'
EOF
)
: >"$root/.carried-env"
if ((${#carried_env[@]})); then printf '%s\n' "${carried_env[@]}" >"$root/.carried-env"; fi
unshare --mount --propagation private bash -c "$inside" inside "$root" "${local_dirs[@]}"
echo "==== fresh machine: both README commands succeeded ($((SECONDS - started)) s)"
