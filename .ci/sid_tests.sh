#!/usr/bin/env bash
# CI inside the Debian unstable root (run by in_sid.sh from the checkout), in parts: `release`, the release checks
# of CPython 3.14 and 3.15 (a wheel each, and that version's suite against it as installed, 3.14's with the native
# path off for the files whose outcome the path can change); `debug`, the suite under the 3.15 debug interpreter (it
# asserts on reference-count and error-state misuse; the module's files compiled one by one there, so each stays
# complete on its own: every other build compiles them as one); `unverified`, the suite of a module built as for a
# CPython whose connection layout is not verified (every call on the method path: the files that tell the path).
# Every suite at the depth of a repetition (MORVEL_TEST_DEPTH=0.1). .ci/run runs the parts as jobs of their own
# (and the release checks one version at a time).
# Usage: sid_tests.sh [PART...]   (default: release debug unverified)
set -euo pipefail
source .ci/lib.sh
export PIP_DISABLE_PIP_VERSION_CHECK=1 MORVEL_TEST_DEPTH=0.1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

release() {
echo "== release checks of the 3.14 and 3.15 wheels"
stage "release checks 3.14 3.15" bash .ci/release_check.sh "$(command -v python3.14)" "$(command -v python3.15)"
}

debug() {
echo "== tests under the debug interpreter, the module's own asserts on too: $(command -v python3.15d)"
python3.15d -m venv "$work/venv-dbg"
(
    source "$work/venv-dbg/bin/activate"
    # Debian's debug headers are symlinks into the release include directory, and the compiler, given them as a
    # system directory, reads the release pyconfig.h: Py_DEBUG is given here, or the module counts nothing.
    CXXFLAGS=-DPy_DEBUG MORVEL_UNITY=OFF stage "debug build, 3.15d" \
        pip install -q -C cmake.build-type=Debug -C build-dir="$work/build-debug" '.[test]'
    python -c 'import sys; assert hasattr(sys, "gettotalrefcount"), "not a debug interpreter"'
    # A module compiled with Py_DEBUG counts every reference it takes and drops.
    so=$(cd / && python -c 'import morvel.morvel as m; print(m.__file__)')
    [[ "$(nm -D --undefined-only "$so")" == *" _Py_INCREF_IncRefTotal"* ]] || {
        echo "the module tested under the debug interpreter was built without Py_DEBUG: $so" >&2
        exit 1
    }
    # The debug interpreter reports every connection the tests leave to the collector; not the module's.
    MORVEL_NATIVE=require stage "debug tests, 3.15d" python -W ignore::ResourceWarning -m pytest -q -p no:cacheprovider tests
)
}

unverified() {
echo "== a CPython whose connection layout is not verified: the module built on 3.15 as for 3.16"
# Only the version the headers announce changes: the module sees an interpreter that its table lacks.
cat > "$work/as-3.16.h" <<'H'
#if __has_include(<Python.h>)
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#undef PY_VERSION_HEX
#define PY_VERSION_HEX 0x031000A0
#endif
H
python3.15 -m venv "$work/venv-unverified"
(
    source "$work/venv-unverified/bin/activate"
    # Unoptimized, its asserts on: only the path it takes is looked at, and it builds in half the time.
    CXXFLAGS="-include $work/as-3.16.h" stage "unverified-layout build, 3.15 as 3.16" \
        pip install -q -C cmake.build-type=Debug -C build-dir="$work/build-unverified" '.[test]'
    python -m morvel --version
    python -m morvel --version | grep -qx 'native path: off: the connection layout of CPython 3.16 is not verified .*'
    # The method path's run on these interpreters is 3.14's with the native path off: here, the files that
    # tell the path and the surface.
    source .ci/lib.sh
    stage "unverified-layout tests" python -m pytest -q -p no:cacheprovider $(path_tests --others) tests/test_surface.py
)
}

[[ $# -gt 0 ]] || set -- release debug unverified
for part in "$@"; do
    case "$part" in
        release | debug | unverified) "$part" ;;
        *) echo "sid_tests.sh: no part $part" >&2; exit 2 ;;
    esac
done
