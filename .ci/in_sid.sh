#!/usr/bin/env bash
# Runs a shell script inside the Debian unstable root (see sid_root.sh) with this checkout mounted at
# /morvel, the working directory. The mounts live in a mount namespace of their own and go with it.
# The release wheels' toolchain cache (MORVEL_WHEEL_CACHE, see wheels.sh) is seen in the root at its own
# path, and so are the host directories that MORVEL_SID_BIND names (separated by ':'). With --root, the script
# runs in another root the same way (an arm64 one of arm64_root.sh, say).
# Usage: in_sid.sh [--root DIR] 'SCRIPT'   (run by bash -euo pipefail; without --root, the root's path is taken
#        from sid_root.sh)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
if [[ "${1:-}" == --root && $# -eq 3 ]]; then
    root=$2
    shift 2
else
    [[ $# -eq 1 ]] || { echo "usage: in_sid.sh [--root DIR] 'SCRIPT'" >&2; exit 2; }
    root=$(bash "$repo/.ci/sid_root.sh")
fi
# Name resolution and the certificate authorities that this machine trusts (PyPI may sit behind a proxy
# that signs with its own).
cp /etc/resolv.conf "$root/etc/resolv.conf"
mkdir -p "$root/etc/ssl/certs"
cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/host-ca-bundle.crt"
mkdir -p "$root/morvel"
wheel_cache=${MORVEL_WHEEL_CACHE:-/var/cache/morvel-ci/zig}
mkdir -p "$wheel_cache"
exec unshare --mount --propagation private -- bash -euo pipefail -c '
    root=$1 repo=$2 script=$3 binds=$4
    mount --bind "$repo" "$root/morvel"
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount -t tmpfs tmpfs "$root/tmp"
    IFS=: read -ra dirs <<< "$binds"
    for dir in "${dirs[@]}"; do
        mkdir -p "$root$dir"
        mount --bind "$dir" "$root$dir"
    done
    exec chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TMPDIR=/tmp CI="${CI:-}" \
        PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin \
        PIP_CERT=/etc/ssl/certs/host-ca-bundle.crt PIP_DISABLE_PIP_VERSION_CHECK=1 \
        MORVEL_WHEEL_CACHE="${binds%%:*}" \
        bash -euo pipefail -c "cd /morvel; $script"
' in_sid "$root" "$repo" "$1" "$wheel_cache${MORVEL_SID_BIND:+:$MORVEL_SID_BIND}"
