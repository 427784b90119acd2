# Helpers shared by the CI scripts (sourced by them).

# stage NAME COMMAND...: runs COMMAND and reports how long it took: a line "== NAME: N s" on the output,
# and "NAME N" appended to $MORVEL_CI_TIMES when that is set (.ci/run prints them all at the end).
stage() {
    local name=$1 start=$SECONDS
    shift
    "$@"
    echo "== $name: $((SECONDS - start)) s"
    if [[ -n "${MORVEL_CI_TIMES:-}" ]]; then echo "$name $((SECONDS - start))" >> "$MORVEL_CI_TIMES"; fi
}

# The test files whose outcome the path of a genuine connection can change, for a run with MORVEL_NATIVE=0:
# all but test_native.py (it runs every scenario on both paths itself), test_names.py (no genuine connection)
# and test_release.py (it sets the path of every command it runs); with --others, those three. Run from the
# directory that holds tests/.
path_tests() {
    local f own
    for f in tests/test_*.py; do
        case "${f##*/}" in
            test_native.py | test_names.py | test_release.py) own=1 ;;
            *) own= ;;
        esac
        if [[ -n "$own" && "${1:-}" == --others || -z "$own" && "${1:-}" != --others ]]; then echo "$f"; fi
    done
}

# find_python X.Y: the newest CPython X.Y: $PYTHON_X_Y if set, else the newest one pyenv holds, else pythonX.Y on
# the PATH; prints nothing when there is none.
find_python() {
    local var="PYTHON_${1//./_}" root found
    if [[ -n "${!var:-}" ]]; then
        echo "${!var}"
        return
    fi
    root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
    found=$(ls -d "$root"/versions/"$1".[0-9]*/bin/python 2>/dev/null | sort -V | tail -n 1 || true)
    [[ -n "$found" ]] || found=$(command -v "python$1" || true)
    echo "$found"
}
