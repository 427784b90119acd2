#!/usr/bin/env bash
# CI inside the Debian unstable root (run by in_sid.sh from the checkout): the README's test command on
# CPython 3.14 and 3.15 with the native path on and off, the suite under the 3.15 debug interpreter (it
# asserts on reference-count and error-state misuse), the suite of a module built as for a CPython whose
# connection layout is not verified, and the release checks of the 3.14 and 3.15 wheels.
set -euo pipefail
work=$(mktemp -d)

for v in 3.14 3.15; do
    echo "== tests on Python $v (release build): $(command -v python$v)"
    python$v -m venv "$work/venv-$v"
    (
        source "$work/venv-$v/bin/activate"
        python -m pip install -q --upgrade pip
        pip install '.[test]' && python -m pytest -q tests
        echo "== the same tests with the native path off (Python $v)"
        MORVEL_NATIVE=0 python -m pytest -q -p no:cacheprovider tests
    )
done

echo "== tests under the debug interpreter, the module's own asserts on too: $(command -v python3.15d)"
python3.15d -m venv "$work/venv-dbg"
(
    source "$work/venv-dbg/bin/activate"
    python -m pip install -q --upgrade pip
    pip install -q -C cmake.build-type=Debug -C build-dir=build/debug '.[test]'
    python -c 'import sys; assert hasattr(sys, "gettotalrefcount"), "not a debug interpreter"'
    # The debug interpreter reports every connection the tests leave to the collector; not the module's.
    MORVEL_NATIVE=require python -W ignore::ResourceWarning -m pytest -q -p no:cacheprovider tests
)

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
    python -m pip install -q --upgrade pip
    CXXFLAGS="-include $work/as-3.16.h" pip install -q -C build-dir="$work/build-unverified" '.[test]'
    python -m morvel --version
    python -m morvel --version | grep -qx 'native path: off: the connection layout of CPython 3.16 is not verified .*'
    python -m pytest -q -p no:cacheprovider tests
)

echo "== release checks of the 3.14 and 3.15 wheels"
bash .ci/release_check.sh "$(command -v python3.14)" "$(command -v python3.15)"
