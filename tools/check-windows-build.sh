#!/usr/bin/env bash
# Portability check for 64-bit Windows, run here and in CI: compiles every
# C++ source of the module with Debian's MinGW-w64 cross compiler against the
# Python headers as configured for Windows (Include/ and PC/pyconfig.h of the
# CPython source that Debian packages), warnings as errors. It catches
# POSIX-only calls and the 32-bit `long` of Windows; it links nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
repo="$(pwd)"
compiler=x86_64-w64-mingw32-g++-posix

if ! command -v "$compiler" >/dev/null 2>&1 || ! command -v dpkg-source >/dev/null 2>&1; then
    [[ $(id -u) -eq 0 ]] || { echo "check-windows-build: as root, run: apt-get install g++-mingw-w64-x86-64-posix dpkg-dev" >&2; exit 1; }
    echo "check-windows-build: installing the MinGW-w64 C++ compiler and dpkg-dev (apt)"
    DEBIAN_FRONTEND=noninteractive apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends g++-mingw-w64-x86-64-posix dpkg-dev \
        >/dev/null
fi

headers="$repo/build/windows-headers"
if [[ ! -f "$headers/PC/pyconfig.h" ]]; then
    work="$(mktemp -d "${TMPDIR:-/var/tmp}/windows-headers.XXXXXX")"
    trap 'rm -rf "$work"' EXIT
    # The source of Debian's own python3.11, through a private apt state:
    # the machine's apt sources, as source entries.
    mkdir -p "$work/lists/partial" "$work/parts"
    # (the security archive keeps no older sources: it is left out)
    { cat /etc/apt/sources.list.d/*.sources 2>/dev/null || true; } \
        | awk 'BEGIN { RS = ""; ORS = "\n\n" } !/security/' | sed 's/^Types: deb$/Types: deb-src/' \
        >"$work/parts/source.sources"
    { cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || true; } \
        | awk '!/security/ && sub(/^deb /, "deb-src ")' >"$work/parts/source.list"
    apt_options=(-o "Dir::Etc::SourceParts=$work/parts" -o "Dir::Etc::SourceList=/dev/null"
                 -o "Dir::State::Lists=$work/lists" -o "Debug::NoLocking=1" -o "Acquire::Retries=3")
    apt-get "${apt_options[@]}" update -qq
    (cd "$work" && apt-get "${apt_options[@]}" source --download-only -qq python3.11 >/dev/null)
    tarball="$(ls "$work"/python3.11_*.orig.tar.* | head -n 1)"
    mkdir -p "$work/src"
    tar -xf "$tarball" -C "$work/src" --wildcards '*/Include/*' '*/PC/pyconfig.h'
    rm -rf "$headers"
    mkdir -p "$headers"
    cp -r "$work"/src/*/Include "$headers/Include"
    mkdir -p "$headers/PC"
    cp "$work"/src/*/PC/pyconfig.h "$headers/PC/pyconfig.h"
fi

status=0
count=0
while IFS= read -r source; do
    count=$((count + 1))
    if ! "$compiler" -std=c++20 -fsyntax-only -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wno-sign-conversion \
        -Werror -I"$headers/PC" -I"$headers/Include" -Isrc/dralvex_computer "$source"; then
        echo "check-windows-build: $source does not compile for Windows" >&2
        status=1
    fi
done < <(find src/dralvex_computer -name '*.cpp' | sort)
[[ $status -eq 0 ]] && echo "check-windows-build: $count C++ sources compile for 64-bit Windows, no warning"
exit $status
