#!/usr/bin/env bash
# The jobs of CI (.ci/run), and the lane that runs them. A job is a function job_<ID> (ID's - and . as _); JOBS
# lists each as "ID|the IDs it needs done first", in the order that a lane takes them: the jobs that others need
# first, then the longest first (their CPU times on a quiet 2-core machine beside them), so that two lanes side by
# side end together.
# Usage: jobs.sh lane N      one lane of .ci/run: takes the first job of JOBS whose inputs are done (none taken
#                            yet), runs it, prints its output when it ends, until no job is left or one failed
#        jobs.sh run ID...   the given jobs one after the other (a job's inputs first), in a work directory of
#                            their own
# The environment: MORVEL_CI_WORK (the work directory that the jobs of one run share, for `lane`), PYTHON_X_Y (see
# find_python), MORVEL_CI_TIMES (see stage); MORVEL_CI_ONLY, IDs: the lanes run only those (to try a change of
# the lanes out; CI never sets it).
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/lib.sh
export PIP_DISABLE_PIP_VERSION_CHECK=1

JOBS=(
    "root|"                     #   0 s: the Debian unstable root (minutes when it is not in its cache yet)
    "arm64|"                    #   0 s: the Debian arm64 roots (a minute when they are not in the cache yet)
    "wheels|"                   #  58 s: the sdist and the wheels of 3.13, 3.12 and 3.11
    "wheels-sid|root"           #  37 s: the sdist and the wheels of 3.14 and 3.15
    "wheels-arm64|root arm64 wheels"  #  80 s: the aarch64 wheels of 3.11, 3.13, 3.14 and 3.15, from that sdist
    "readme|"                   # 190 s: the README's test command, the suite in full, and the benchmark smoke run
    "sanitizer|"                # 165 s: the suite against the AddressSanitizer + UBSan build on 3.11
    "debug|root"                # 125 s: the suite under the 3.15 debug interpreter
    "release-3.12|wheels"       #  64 s
    "release-3.13|wheels"       #  69 s: with the dqlite cluster tests
    "release-3.14|wheels-sid"   #  56 s: 3.14's release check, mypy --strict
    "release-3.11|wheels"       #  32 s
    "release-3.15|wheels-sid"   #  25 s
    "arm64-check|wheels-arm64"  #  16 s: each aarch64 wheel under qemu: its version report, a few calls
    "unverified|root"           #  18 s: the suite of a module built as for an unverified connection layout
)

work=
dist=  # the sdist and the wheels built here
sid_dist=  # those built in the root
arm64_dist=  # the aarch64 wheels
PY311= PY312= PY313=

pythons() {
    PY311=$(find_python 3.11) PY312=$(find_python 3.12) PY313=$(find_python 3.13)
}

# in_root SCRIPT: SCRIPT in the Debian unstable root, the work directory seen there at its own path.
in_root() {
    MORVEL_SID_BIND=$work bash .ci/in_sid.sh \
        "${MORVEL_CI_TIMES:+export MORVEL_CI_TIMES=$(printf %q "$MORVEL_CI_TIMES"); }$1"
}

job_root() {
    bash .ci/sid_root.sh > /dev/null
}

job_arm64() {
    bash .ci/arm64_root.sh --runnable 3.11 > /dev/null
    bash .ci/arm64_root.sh --runnable 3.13 > /dev/null
}

job_wheels_arm64() {
    bash .ci/wheels.sh --arch aarch64 --sdist "$(ls "$dist"/morvel-*.tar.gz)" "$arm64_dist"
}

job_arm64_check() {
    bash .ci/arm64_check.sh "$arm64_dist"
}

job_debug() {
    in_root "bash .ci/sid_tests.sh debug"
}

job_unverified() {
    in_root "bash .ci/sid_tests.sh unverified"
}

job_sanitizer() {
    echo "== tests (AddressSanitizer + UndefinedBehaviorSanitizer build, Python 3.11)"
    new_venv "$PY311" "$work/asan"
    MORVEL_SANITIZE=ON stage "sanitizer build, 3.11" \
        venv_pip "$work/asan" install -q -C build-dir=build/sanitize '.[test]'
    source "$work/asan/bin/activate"
    stage "sanitizer tests, 3.11" env \
        LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" \
        PYTHONMALLOC=malloc \
        ASAN_OPTIONS=detect_leaks=0 \
        UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        MORVEL_NATIVE=require \
        MORVEL_TEST_DEPTH=0.1 MORVEL_TEST_HEAVY=1 \
        python -m pytest -q -p no:cacheprovider tests
}

job_readme() {
    local readme_test
    echo "== the README's test command (Python 3.11, from the checkout)"
    readme_test=$(sed -n '/^Run the tests:$/,/^```$/{/^pip install/p}' README.md)
    [[ -n "$readme_test" ]] || { echo "CI: the README's test command was not found" >&2; exit 1; }
    "$PY311" -m venv "$work/venv-3.11"
    source "$work/venv-3.11/bin/activate"
    stage "README test command, 3.11" bash -euo pipefail -c "$readme_test"
    echo "== benchmark command, smoke run (Python 3.11)"
    stage "benchmark smoke run, 3.11" bench
}

bench() {
    # The bench extras beside the package that the README's command installed (not a second build of it);
    # compiled as they are imported, which is a small part of them.
    pip install -q --no-compile 'morvel[bench]'
    # every measurement at a hundredth of its size: the commands run, nothing is measured
    python bench/run.py --smoke --sizes 2000 --rounds 1 --out "$work/bench" > /dev/null
    for only in --second-thread --query-cost --query-memory --query-arrow --frames --load-cycle; do
        python bench/run.py --smoke "$only" --rounds 1 --out "$work/bench" > /dev/null
    done
}

job_wheels() {
    bash .ci/wheels.sh "$dist" "$PY313" "$PY312" "$PY311"
}

job_wheels_sid() {
    in_root "bash .ci/wheels.sh $(printf %q "$sid_dist") python3.14 python3.15"
}

# release_check PYTHON: the release check of one version's wheel as built by job_wheels; how its suite runs is
# given in the environment (release_check.sh).
release_check() {
    MORVEL_DIST=$dist MORVEL_CI_MYPY=0 bash .ci/release_check.sh "$1"
}

job_release_3_13() {
    # The nodes of the dqlite cluster tests (their client, dqlite-dbapi, is a test extra from 3.13 on).
    need_debian_command dqlite-demo go-dqlite
    MORVEL_CI_NATIVE_OFF_TAGS=cp313 release_check "$PY313"
}

job_release_3_12() {
    MORVEL_CI_NATIVE_OFF_TAGS= release_check "$PY312"
}

job_release_3_11() {
    # The README's test command runs the whole suite on 3.11: this wheel's own run is the native path's files.
    MORVEL_CI_NATIVE_OFF_TAGS= MORVEL_CI_SMOKE_TAGS=cp311 release_check "$PY311"
}

job_release_3_14() {
    in_root "MORVEL_DIST=$(printf %q "$sid_dist") MORVEL_CI_NATIVE_OFF_TAGS=cp314 \
        bash .ci/release_check.sh \$(command -v python3.14)"
}

job_release_3_15() {
    # The debug job runs the whole suite on 3.15: this wheel's own run is the native path's files.
    in_root "MORVEL_DIST=$(printf %q "$sid_dist") MORVEL_CI_NATIVE_OFF_TAGS= MORVEL_CI_SMOKE_TAGS=cp315 MORVEL_CI_MYPY=0 \
        bash .ci/release_check.sh \$(command -v python3.15)"
}

job_fn() {
    local id=${1//-/_}
    echo "job_${id//./_}"
}

# run_job ID LANE: runs the job, its output kept, then printed whole (under a lock: the other lane prints too)
# with its wall and CPU time, which go to $MORVEL_CI_TIMES too; its exit status. Called with errexit off (set +e),
# not as a condition: the job's own `set -e` would be ignored there.
run_job() {
    local id=$1 lane=$2 start=$SECONDS me=$BASHPID cpu0 cpu rc
    cpu0=$(children_cpu "$me")
    { flock 9; echo "== job $id started (lane $lane)"; } 9>> "$work/jobs/.print"
    (
        set -e
        "$(job_fn "$id")"
    ) > "$work/jobs/$id.log" 2>&1 < /dev/null
    rc=$?
    cpu=$(((($(children_cpu "$me") - cpu0) * 2 + $(getconf CLK_TCK)) / (2 * $(getconf CLK_TCK))))
    {
        flock 9
        echo "== job $id (lane $lane): its output"
        cat "$work/jobs/$id.log"
        if [[ $rc -eq 0 ]]; then
            echo "== job $id: $((SECONDS - start)) s (CPU $cpu s)"
        else
            echo "== job $id FAILED (exit status $rc) after $((SECONDS - start)) s"
        fi
    } 9>> "$work/jobs/.print"
    if [[ -n "${MORVEL_CI_TIMES:-}" ]]; then echo "job $id $((SECONDS - start)) $cpu" >> "$MORVEL_CI_TIMES"; fi
    return $rc
}

# lane N: see the usage above. The state of each job is a file in $work/jobs: ID.taken, ID.done, and .failed
# when one failed.
lane() {
    local id entry jid after dep ready left rc
    while :; do
        [[ ! -e "$work/jobs/.failed" ]] || return 1
        id= left=
        exec 8> "$work/jobs/.lock"
        flock 8
        for entry in "${JOBS[@]}"; do
            IFS='|' read -r jid after <<< "$entry"
            [[ ! -e "$work/jobs/$jid.taken" ]] || continue
            left=1
            ready=1
            for dep in $after; do
                [[ -e "$work/jobs/$dep.done" ]] || ready=
            done
            if [[ -n "$ready" ]]; then
                id=$jid
                touch "$work/jobs/$id.taken"
                break
            fi
        done
        exec 8>&-
        if [[ -z "$id" ]]; then
            [[ -n "$left" ]] || return 0
            sleep 1  # what is left waits for the other lane's jobs
            continue
        fi
        set +e
        run_job "$id" "$1"
        rc=$?
        set -e
        if [[ $rc -ne 0 ]]; then
            echo "$id" > "$work/jobs/.failed"
            return "$rc"
        fi
        touch "$work/jobs/$id.done"
    done
}

case "${1:-}" in
    lane)
        [[ $# -eq 2 ]] || { echo "usage: jobs.sh lane N" >&2; exit 2; }
        work=${MORVEL_CI_WORK:?jobs.sh lane: MORVEL_CI_WORK is not set}
        if [[ -n "${MORVEL_CI_ONLY:-}" ]]; then
            kept=()
            for entry in "${JOBS[@]}"; do
                [[ " $MORVEL_CI_ONLY " != *" ${entry%%|*} "* ]] || kept+=("$entry")
            done
            JOBS=("${kept[@]}")
        fi
        ;;
    run)
        [[ $# -ge 2 ]] || { echo "usage: jobs.sh run ID..." >&2; exit 2; }
        work=$(mktemp -d)
        trap 'rm -rf "$work"' EXIT
        ;;
    *)
        echo "usage: jobs.sh lane N | jobs.sh run ID..." >&2
        exit 2
        ;;
esac
dist=$work/dist sid_dist=$work/dist-sid arm64_dist=$work/dist-arm64
mkdir -p "$work/jobs" "$dist" "$sid_dist" "$arm64_dist"
pythons
if [[ "$1" == lane ]]; then
    lane "$2"
else
    shift
    for id in "$@"; do
        declare -F "$(job_fn "$id")" > /dev/null || { echo "jobs.sh: no job $id" >&2; exit 2; }
        set +e
        run_job "$id" run
        rc=$?
        set -e
        [[ $rc -eq 0 ]] || exit "$rc"
    done
fi
