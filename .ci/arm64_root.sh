#!/usr/bin/env bash
# Debian arm64 roots for the aarch64 wheels: each carries CPythons for arm64 with their headers (what a wheel is
# compiled against) and their interpreters (what it is checked with), in a cache directory outside the
# checkout. A root is made of its packages alone: debootstrap fetches them and every one is unpacked, none of
# their scripts run, so that nothing arm64 runs while the root is built. Built when absent (or when its package
# list changed), reused otherwise; --runnable also makes arm64 programs run here, under qemu-user-static
# registered with the kernel's binfmt_misc (with its interpreter held open, so that it works inside the root).
# Usage: arm64_root.sh [--runnable] X.Y   prints the root that holds CPython X.Y; exits with 3, printing
#                                         nothing, when no Debian release has that CPython for arm64
set -euo pipefail
source "$(dirname "$0")/lib.sh"
runnable=
if [[ "${1:-}" == --runnable ]]; then
    runnable=1
    shift
fi
[[ $# -eq 1 ]] || { echo "usage: arm64_root.sh [--runnable] X.Y" >&2; exit 2; }
base=${MORVEL_ARM64_ROOTS:-/var/cache/morvel-ci}

# The Debian release that has each CPython for arm64 (Debian has no 3.12: it went from 3.11 to 3.13).
case "$1" in
    3.11) suite=bookworm ;;
    3.13 | 3.14 | 3.15) suite=sid ;;
    *) exit 3 ;;
esac
case "$suite" in
    bookworm) versions="3.11" ;;
    sid) versions="3.13 3.14 3.15" ;;
esac
packages=
for v in $versions; do packages+="${packages:+,}python$v-dev,python$v-venv"; done
root=$base/arm64-$suite

if [[ ! -f "$root/.morvel-packages" || "$(cat "$root/.morvel-packages")" != "$packages" ]]; then
    [[ $(id -u) == 0 ]] || { echo "arm64_root.sh: building the root needs root" >&2; exit 1; }
    export DEBIAN_FRONTEND=noninteractive
    need_debian_command debootstrap debootstrap
    mirror=$(debian_mirror)
    [[ -n "$mirror" ]] || { echo "arm64_root.sh: no Debian archive in the apt sources" >&2; exit 1; }
    # Built beside its final place and moved there whole, under a lock (two jobs may ask for it at once).
    mkdir -p "$base"
    exec 9> "$root.lock"
    flock 9
    if [[ ! -f "$root/.morvel-packages" || "$(cat "$root/.morvel-packages")" != "$packages" ]]; then
        rm -rf "$root.new"
        echo "== building the Debian arm64 root in $root (from $mirror)" >&2
        log=$(mktemp)
        debootstrap --foreign --arch=arm64 --variant=minbase --include="$packages" "$suite" "$root.new" \
            "$mirror" > "$log" 2>&1 || {
            tail -n 40 "$log" >&2
            exit 1
        }
        rm -f "$log"
        for deb in "$root.new"/var/cache/apt/archives/*.deb; do
            dpkg-deb -x "$deb" "$root.new"
        done
        rm -rf "$root.new"/var/cache/apt/archives/*.deb "$root.new/debootstrap"
        echo "$packages" > "$root.new/.morvel-packages"
        rm -rf "$root"
        mv "$root.new" "$root"
    fi
    exec 9>&-
fi

if [[ -n "$runnable" ]] && ! chroot "$root" /usr/bin/true 2> /dev/null; then
    need_debian_command qemu-aarch64-static qemu-user-static
    mkdir -p "$base"
    exec 9> "$base/.binfmt.lock"
    flock 9
    binfmt=/proc/sys/fs/binfmt_misc
    [[ -e $binfmt/register ]] || mount -t binfmt_misc binfmt_misc "$binfmt"
    if ! chroot "$root" /usr/bin/true 2> /dev/null; then
        # An entry of this name may exist without the F flag (its interpreter then must be inside the root):
        # ours is registered beside it.
        name=qemu-aarch64
        [[ ! -e $binfmt/$name ]] || name=morvel-aarch64
        magic='\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00'
        mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
        printf '%s' ":$name:M::$magic:$mask:$(command -v qemu-aarch64-static):F" > "$binfmt/register"
    fi
    chroot "$root" /usr/bin/true || { echo "arm64_root.sh: arm64 programs do not run here" >&2; exit 1; }
    exec 9>&-
fi
echo "$root"
