#!/usr/bin/env bash
# The aarch64 wheels run where they are meant to: each in a Debian arm64 root (arm64_root.sh) under
# qemu-user-static, by that root's CPython of the wheel's version, unpacked where that interpreter imports it
# (the source tree is not importable there). By default (CI), in one interpreter (arm64_calls.py, native path
# required): `python -m morvel --version` must report the native path on, and a few calls of each kind must give
# their answers.
# With --suite (outside CI: emulation makes the arm64 interpreter ten to twenty times slower): the example, then
# the test suite with pytest, hypothesis and aiosqlite (from PyPI); the tests of other packages' connections,
# and of a terminal where the emulator's pseudo-terminals are none, skip there, saying why. MORVEL_TEST_DEPTH
# (0.1 unless set) sets the suite's depth; MORVEL_ARM64_TESTS, pytest's arguments, runs those tests alone.
# Usage: arm64_check.sh [--suite] DIR [X.Y...]   (DIR: the aarch64 wheels, from wheels.sh --arch aarch64; no X.Y:
#        every wheel in DIR)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
source "$repo/.ci/lib.sh"
host_python=$(find_python 3.11)
suite=
if [[ "${1:-}" == --suite ]]; then
    suite=1
    shift
fi
[[ $# -ge 1 ]] || { echo "usage: arm64_check.sh [--suite] DIR [X.Y...]" >&2; exit 2; }
dist=$(cd "$1" && pwd)
shift
versions=("$@")
if [[ ${#versions[@]} -eq 0 ]]; then
    for wheel in "$dist"/morvel-*_aarch64.whl; do
        tag=$(basename "$wheel" | cut -d- -f3)
        versions+=("3.${tag#cp3}")
    done
fi
[[ ${#versions[@]} -gt 0 ]] || { echo "arm64_check.sh: no aarch64 wheel in $dist" >&2; exit 1; }

for v in "${versions[@]}"; do
    tag=cp${v/./}
    wheel=$(ls "$dist"/morvel-*-"$tag"-"$tag"-*_aarch64.whl)
    root=$(bash "$repo/.ci/arm64_root.sh" --runnable "$v")
    # The package and what it runs with, unpacked for the arm64 interpreter; seen in the root at its own path.
    site=$(mktemp -d)
    trap 'rm -rf "$site"' EXIT
    "$host_python" -m zipfile -e "$wheel" "$site"
    if [[ -n "$suite" ]]; then
        "$host_python" -m pip install -q --target "$site" --only-binary=:all: --platform manylinux2014_aarch64 \
            --python-version "$v" --implementation cp pytest hypothesis aiosqlite
    fi
    echo "== $tag: $(basename "$wheel") under qemu-user-static, in $root"
    start=$SECONDS
    MORVEL_SID_BIND=$site bash "$repo/.ci/in_sid.sh" --root "$root" "
        export PYTHONPATH=$site MORVEL_NATIVE=require
        py=python$v
        cp -r tests README.md docs examples .ci/arm64_calls.py /tmp
        cd /tmp
        if [[ -z '$suite' ]]; then
            \$py arm64_calls.py /tmp $site
        else
            \$py -c 'import sys, morvel.morvel as m; assert m.__file__.startswith(\"$site/\"), m.__file__'
            \$py -m morvel --version | tee version.txt
            grep -qx 'native path: on' version.txt
            [[ -n '${MORVEL_ARM64_TESTS:-}' ]] || \$py examples/load_cycle.py
            MORVEL_TEST_DEPTH=${MORVEL_TEST_DEPTH:-0.1} \$py -m pytest -q -ra -p no:cacheprovider ${MORVEL_ARM64_TESTS:-tests}
        fi"
    echo "== $tag: checked in $((SECONDS - start)) s"
    rm -rf "$site"
    trap - EXIT
done
