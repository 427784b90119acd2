#!/usr/bin/env bash
# The whole suite N times on each path (native on, then MORVEL_NATIVE=0, alternating) while two CPU-bound
# processes load the machine: the check that no test depends on timing. Each suite runs as a background job,
# so it starts with SIGINT ignored (the condition of CI's parallel lanes). Uses the `python` on
# PATH, with the package and its test extras installed; one line per run; exits 1 when any run failed.
# Usage: loaded.sh [N]   (N defaults to 10)
set -uo pipefail
runs=${1:-10}
cd "$(dirname "$0")/.."
work=$(mktemp -d "${TMPDIR:-/tmp}/morvel-loaded.XXXXXX")
suite=
yes > /dev/null & load1=$!
yes > /dev/null & load2=$!
trap 'kill $load1 $load2 $suite 2> /dev/null; rm -rf "$work"' EXIT
trap 'exit 130' INT
failed=0
for i in $(seq 1 "$runs"); do
    for native in 1 0; do
        start=$SECONDS
        MORVEL_NATIVE=$native python -m pytest -q -p no:cacheprovider --basetemp="$work/t$native" tests \
            > "$work/log" 2>&1 &
        suite=$!
        wait $suite
        rc=$?
        suite=
        echo "run $i MORVEL_NATIVE=$native: rc=$rc, $((SECONDS - start)) s, $(tail -n 1 "$work/log")"
        if [[ $rc -ne 0 ]]; then
            failed=1
            cp "$work/log" "${TMPDIR:-/tmp}/morvel-loaded-$i-$native.log"
            echo "  its output: ${TMPDIR:-/tmp}/morvel-loaded-$i-$native.log"
        fi
    done
done
exit $failed
