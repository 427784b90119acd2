#!/usr/bin/env bash
# Release checks: the sdist and, from it, one wheel per given Python, built and repaired by wheels.sh as for a
# release (or, with MORVEL_DIST=DIR, taken from DIR as they are); check what they contain; install each wheel into a
# fresh venv of its own Python and run that Python's suites against the installed package, from a directory where
# the source tree is not importable: the whole suite at the depth of a repetition (MORVEL_TEST_DEPTH, 0.1 unless
# set: .ci/run runs it in full once); with the Pythons of the tags in MORVEL_CI_NATIVE_OFF_TAGS (default: the
# first Python's), the files whose outcome the path can change run with MORVEL_NATIVE=0, the others as they are;
# the wheels of the tags in MORVEL_CI_SMOKE_TAGS (an interpreter that the README's test command runs the suite on
# in full) run only the files of the native path and the surface. Unless
# MORVEL_CI_MYPY=0 (one job of CI does it), type-check the example and a typed snippet with mypy --strict
# (once, with the first Python; and make sure the stub is really what mypy reads).
# Usage: release_check.sh PYTHON [PYTHON...]
set -euo pipefail
[[ $# -ge 1 ]] || { echo "usage: release_check.sh PYTHON [PYTHON...]" >&2; exit 2; }
PY=$1
repo=$(cd "$(dirname "$0")/.." && pwd)
source "$repo/.ci/lib.sh"
export PIP_DISABLE_PIP_VERSION_CHECK=1 MORVEL_TEST_DEPTH=${MORVEL_TEST_DEPTH:-0.1}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

dist=${MORVEL_DIST:-}
if [[ -z "$dist" ]]; then
    dist=$work/dist
    echo "== the sdist and the wheels"
    bash "$repo/.ci/wheels.sh" "$dist" "$@"
fi
sdist=$(ls "$dist"/morvel-*.tar.gz)
first_tag=$("$PY" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')

mkdir "$work/run"
cp -r "$repo/tests" "$work/run/tests"
cp "$repo/README.md" "$work/run/README.md"  # the README and the docs are run too, against the installed package
cp -r "$repo/docs" "$work/run/docs"
find "$work/run/tests" -name __pycache__ -prune -exec rm -rf {} +

for py in "$@"; do
tag=$("$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
wheel=$(ls "$dist"/morvel-*-"$tag"-"$tag"-*.whl)
echo "wheel: $(basename "$wheel")"

echo "== $tag: contents of the sdist and the wheel"
"$PY" "$repo/.ci/dist_contents.py" "$sdist" "$wheel" "$tag"

echo "== $tag: install the repaired wheel into a fresh venv, test against the installed package"
new_venv "$py" "$work/test-$tag"
V="$work/test-$tag/bin/python"
venv_pip "$work/test-$tag" install -q "$wheel[test]"
(
cd "$work/run"
"$V" -c 'import sys, morvel.morvel as m; assert m.__file__.startswith(sys.prefix), m.__file__'
export PYTHONDONTWRITEBYTECODE=1
if [[ " ${MORVEL_CI_SMOKE_TAGS:-} " == *" $tag "* ]]; then
    stage "$tag tests, the native path and the surface" "$V" -m pytest -q -ra -p no:cacheprovider \
        $(path_tests --others) tests/test_surface.py
elif [[ " ${MORVEL_CI_NATIVE_OFF_TAGS-$first_tag} " == *" $tag "* ]]; then
    echo "== $tag: the tests whose outcome the path can change with the native path off, the others with it on"
    MORVEL_NATIVE=0 stage "$tag tests, native path off" "$V" -m pytest -q -ra -p no:cacheprovider $(path_tests)
    stage "$tag tests, the others" "$V" -m pytest -q -ra -p no:cacheprovider $(path_tests --others)
else
    stage "$tag tests" "$V" -m pytest -q -ra -p no:cacheprovider tests
fi
)
done

if [[ "${MORVEL_CI_MYPY:-1}" == 0 ]]; then
    echo "== release checks passed"
    exit 0
fi
echo "== mypy --strict"
V="$work/test-$first_tag/bin/python"
venv_pip "$work/test-$first_tag" install -q mypy
cd "$work/run"
cp "$repo/.ci/typed_use.py" "$repo/.ci/typed_misuse.py" .
"$V" -m mypy --strict --no-incremental --cache-dir=/dev/null "$repo/examples/load_cycle.py" typed_use.py
if "$V" -m mypy --strict --no-incremental --cache-dir=/dev/null typed_misuse.py > misuse.out; then
    echo "mypy accepted a misuse of the stub: the stub is not in effect" >&2
    exit 1
fi
for expected in 'Incompatible types in assignment' 'Argument 1 to "find"' 'Argument 2 to "find"' \
                'Argument 1 to "insert_temp"' 'Argument 2 to "drop_table"' 'Argument "comm" to "temp_to_main"' \
                'Argument 2 to "query"'; do
    grep -qF "$expected" misuse.out || {
        echo "mypy did not report: $expected" >&2
        cat misuse.out >&2
        exit 1
    }
done
"$V" "$repo/.ci/typed_run.py" "$work/run/typed.db"
echo "== release checks passed"
