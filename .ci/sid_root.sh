#!/usr/bin/env bash
# A Debian unstable root that carries the newest CPythons (with their debug builds), GCC and SQLite, in a
# cache directory outside the checkout: built when absent (or when the package list changed), reused
# otherwise. The mirror is the one this machine's apt sources name. Prints the root's path.
# Usage: sid_root.sh [DIR]   (default: $MORVEL_SID_ROOT or /var/cache/morvel-ci/sid)
set -euo pipefail
source "$(dirname "$0")/lib.sh"
root=${1:-${MORVEL_SID_ROOT:-/var/cache/morvel-ci/sid}}
packages=python3.14-dev,python3.14-venv,python3.15-dev,python3.15-venv,python3.15-dbg,g++,cmake,ninja-build,git,ca-certificates

if [[ -f "$root/.morvel-packages" && "$(cat "$root/.morvel-packages")" == "$packages" ]]; then
    echo "$root"
    exit 0
fi
[[ $(id -u) == 0 ]] || { echo "sid_root.sh: building the root needs root" >&2; exit 1; }
export DEBIAN_FRONTEND=noninteractive
need_debian_command debootstrap debootstrap
mirror=$(debian_mirror)
[[ -n "$mirror" ]] || { echo "sid_root.sh: no Debian archive in the apt sources" >&2; exit 1; }

# Built beside its final place and moved there whole: a run that stops half-way leaves nothing to reuse.
mkdir -p "$(dirname "$root")"
rm -rf "$root.new"
echo "== building the Debian unstable root in $root (from $mirror)" >&2
log=$(mktemp)
debootstrap --variant=minbase --include="$packages" sid "$root.new" "$mirror" > "$log" 2>&1 || {
    tail -n 40 "$log" >&2
    exit 1
}
rm -f "$log"
echo "$packages" > "$root.new/.morvel-packages"
rm -rf "$root"
mv "$root.new" "$root"
echo "$root"
