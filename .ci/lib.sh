# Helpers shared by the CI scripts (sourced by them).

# stage NAME COMMAND...: runs COMMAND and reports how long it took, in wall time and in the CPU time (user and
# system) of the processes it waited for: a line "== NAME: N s (CPU M s)" on the output, and "NAME N M" appended
# to $MORVEL_CI_TIMES when that is set (.ci/run prints them all at the end). Wall time shows the other lane's
# load; CPU time is what the stage itself costs.
stage() {
    local name=$1 start=$SECONDS me=$BASHPID cpu0 cpu
    shift
    cpu0=$(children_cpu "$me")
    "$@"
    cpu=$(((($(children_cpu "$me") - cpu0) * 2 + $(getconf CLK_TCK)) / (2 * $(getconf CLK_TCK))))
    echo "== $name: $((SECONDS - start)) s (CPU $cpu s)"
    if [[ -n "${MORVEL_CI_TIMES:-}" ]]; then echo "$name $((SECONDS - start)) $cpu" >> "$MORVEL_CI_TIMES"; fi
}

# children_cpu PID: the CPU time, in clock ticks, of every process that shell PID has waited for.
children_cpu() {
    local stat
    read -r stat < "/proc/$1/stat"
    stat=${stat##*) }
    # shellcheck disable=SC2086
    set -- $stat
    echo $((${14} + ${15}))
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

# new_venv PYTHON DIR: a fresh venv of PYTHON at DIR. Where PYTHON has a pip that can install into another
# environment (22.3 or newer), the venv gets none of its own: putting pip into a venv costs more than most of
# what is installed after it. venv_pip DIR ARGS... runs pip for the venv at DIR either way.
new_venv() {
    if "$1" -c 'import importlib.metadata as m, sys
sys.exit(tuple(map(int, m.version("pip").split(".")[:2])) < (22, 3))' 2> /dev/null; then
        "$1" -m venv --without-pip "$2"
        echo "$1" > "$2/.morvel-pip"
    else
        "$1" -m venv "$2"
    fi
}

venv_pip() {
    local dir=$1
    shift
    if [[ -f "$dir/.morvel-pip" ]]; then
        "$(cat "$dir/.morvel-pip")" -m pip --python "$dir/bin/python" "$@"
    else
        "$dir/bin/python" -m pip "$@"
    fi
}

# need_debian_command CMD PACKAGE: installs Debian's PACKAGE unless CMD is there (waiting for another apt's lock).
need_debian_command() {
    command -v "$1" > /dev/null && return
    local apt=(apt-get -o DPkg::Lock::Timeout=300 install -y -q "$2")
    "${apt[@]}" > /dev/null 2>&1 || { apt-get -o DPkg::Lock::Timeout=300 update -q > /dev/null && "${apt[@]}" > /dev/null; }
    command -v "$1" > /dev/null
}

# debian_mirror: the Debian archive this machine's apt sources use (not its security archive): as apt knows it
# after an update, else as the source files write it; prints nothing when there is none.
debian_mirror() {
    local mirror
    _apt_archive() {
        apt-get indextargets --format '$(REPO_URI)' 'Label: Debian' 'Target-Of: deb' 2>/dev/null | sort -u | head -n 1
    }
    mirror=$(_apt_archive)
    if [[ -z "$mirror" ]]; then
        apt-get update -q >&2 || true
        mirror=$(_apt_archive)
    fi
    if [[ -z "$mirror" ]]; then
        mirror=$( { sed -n 's/^URIs:[[:space:]]*//p' /etc/apt/sources.list.d/*.sources 2>/dev/null | tr ' ' '\n'
                    sed -n 's/^deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]*\).*/\2/p' \
                        /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null; } |
                  grep -E '/debian/?$' | head -n 1 || true)
    fi
    echo "$mirror"
}
