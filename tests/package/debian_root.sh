#!/usr/bin/env bash
# Prints the path of a clean Debian 12 root (debootstrap's minbase) that holds
# the given packages, making it first when the cache does not have it yet.
# Usage: debian_root.sh CACHE_DIR MIRROR PACKAGE...
# The roots are kept in CACHE_DIR/KEY/root, KEY a hash of the mirror and the
# package list, so that another package list gets a root of its own. A root is
# made under another name and renamed when complete; a lock file lets one run
# at a time make it. Nothing in a cached root changes afterwards: the tests
# work on an overlay of it.
# Exit status 77: the root cannot be made here (reason on standard error).
set -euo pipefail

cache=${1:?usage: debian_root.sh CACHE_DIR MIRROR PACKAGE...}
mirror=${2:?usage: debian_root.sh CACHE_DIR MIRROR PACKAGE...}
shift 2
suite=bookworm
# Raise when the way a root is made changes, so that older roots are not used.
recipe=1
packages=$(printf '%s\n' "$@" | sort -u)

key=$(printf '%s\n' "recipe $recipe" "$suite" "$mirror" "$packages" | sha256sum | cut -c1-16)
root=$cache/$key/root
if [ -e "$cache/$key/complete" ]; then
  echo "$root"
  exit 0
fi

skip() { echo "$*" >&2; exit 77; }
command -v debootstrap >/dev/null || skip "debootstrap is not installed (scripts/install-deps installs it)"
command -v unshare >/dev/null || skip "unshare (util-linux) is not installed"
curl -sfI --max-time 20 "$mirror/dists/$suite/Release" >/dev/null ||
  skip "Debian's mirror $mirror is not reachable, and no clean root is cached in $cache"

mkdir -p "$cache"
exec 9>"$cache/lock"
flock -w 1800 9 || skip "another run has held $cache/lock for 30 minutes"
if [ -e "$cache/$key/complete" ]; then # made by the run that held the lock
  echo "$root"
  exit 0
fi

new=$cache/$key.new
rm -rf --one-file-system "$new"
mkdir -p "$new"
trap 'rm -rf --one-file-system "$new"' EXIT
log=$new/make.log
echo "making a clean $suite root in $cache/$key (log: $log)" >&2
unshare --mount --propagation private \
  debootstrap --variant=minbase "$suite" "$new/root" "$mirror" >"$log" 2>&1 ||
  { tail -20 "$log" >&2; echo "debootstrap failed" >&2; exit 1; }
# No service starts inside the root: neither while the packages are installed
# here (tftpd-hpa's would listen on the machine's port 69) nor during a test.
printf '#!/bin/sh\nexit 101\n' >"$new/root/usr/sbin/policy-rc.d"
chmod 755 "$new/root/usr/sbin/policy-rc.d"
# apt reads the package lists debootstrap fetched. /proc is mounted inside a
# mount namespace of its own, which takes the mount with it when it ends.
# mandb brings man-db's cache to the state its daily run keeps, so that only
# the packages under test change it later.
# shellcheck disable=SC2086
unshare --mount --propagation private chroot "$new/root" /bin/sh -c '
    mount -t proc proc /proc || exit 1
    trap "umount /proc" EXIT
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@" &&
      apt-get clean &&
      if [ -x /usr/bin/mandb ]; then mandb -q; fi' sh $packages >>"$log" 2>&1 ||
  { tail -20 "$log" >&2; echo "installing ${packages//$'\n'/ } in the root failed" >&2; exit 1; }
printf '%s\n' "$packages" >"$new/packages"
touch "$new/complete"
rm -rf --one-file-system "${cache:?}/$key"
mv "$new" "$cache/$key"
trap - EXIT
echo "$root"
