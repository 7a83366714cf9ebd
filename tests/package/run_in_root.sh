#!/usr/bin/env bash
# Installs the packages in a throw-away copy of a clean Debian root, runs the
# installed programs there, purges the packages, and checks that the root
# holds the same files as before. Prints what it runs, as a transcript.
# Usage: run_in_root.sh ROOT VERSION CLI_DEB SIM_DEB
# Run it in a mount namespace of its own (unshare --mount --propagation
# private), so that no mount outlives it even when it is killed; it unmounts
# everything itself on every way out as well.
set -euo pipefail

root=${1:?usage: run_in_root.sh ROOT VERSION CLI_DEB SIM_DEB}
version=${2:?usage: run_in_root.sh ROOT VERSION CLI_DEB SIM_DEB}
cli_deb=${3:?usage: run_in_root.sh ROOT VERSION CLI_DEB SIM_DEB}
sim_deb=${4:?usage: run_in_root.sh ROOT VERSION CLI_DEB SIM_DEB}

fail() { echo "FAIL: $*" >&2; exit 1; }

work=$(mktemp -d)
new=$work/root
mkdir -p "$new" "$work/upper" "$work/overlay-work"
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  if mountpoint -q "$new/proc"; then umount "$new/proc" || umount -l "$new/proc"; fi
  if mountpoint -q "$new"; then umount "$new" || umount -l "$new"; fi
  rm -rf --one-file-system "$work"
}
trap cleanup EXIT

# The cached root stays untouched: an overlay takes every change (a full copy
# where the kernel offers no overlay).
if ! mount -t overlay overlay -o "lowerdir=$root,upperdir=$work/upper,workdir=$work/overlay-work" "$new" 2>/dev/null; then
  echo "(no overlay file system here: copying the root)"
  cp -a "$root/." "$new/"
fi
mount -t proc proc "$new/proc"

# Every file of the root, apart from the kernel's /proc.
files() { (cd "$new" && find . -xdev -path ./proc -prune -o -print | sort); }
# in_root COMMAND...: runs COMMAND in the root, showing it first on the
# script's standard error (file descriptor 3 keeps it when the caller redirects).
exec 3>&2
in_root() {
  echo "# $*" >&3
  chroot "$new" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 MANWIDTH=80 "$@"
}

files >"$work/files.before"
mkdir "$new/tmp/debs"
cp "$cli_deb" "$sim_deb" "$new/tmp/debs/"

in_root dpkg -i /tmp/debs/"$(basename "$cli_deb")" /tmp/debs/"$(basename "$sim_deb")" ||
  fail "dpkg -i in the clean root (a dependency missing?)"
rm -r "$new/tmp/debs"
in_root dpkg-query -W -f='${Package} ${db:Status-Status} ${Version}\n' mervo-cli mervo-controller-sim |
  tee "$work/status"
printf '%s\n' "mervo-cli installed $version" "mervo-controller-sim installed $version" |
  cmp -s - "$work/status" || fail "dpkg does not list both packages as installed, version $version"

in_root mervo-cli --version | tee "$work/version"
printf 'mervo-cli\nVersion %s\n' "${version%-*}" | cmp -s - "$work/version" || fail "--version printed other text"

# The pages are found, and show without a complaint. (man -l: man-db keeps no
# formatted copy of a page given as a file, which would outlive the purge.)
for page in mervo-cli mervo-controller-sim; do
  in_root man -w "$page" | tee "$work/manual" || fail "man -w finds no page for $page"
  [ "$(cat "$work/manual")" = "/usr/share/man/man1/$page.1.gz" ] || fail "man -w found $(cat "$work/manual") for $page"
  in_root man -l "/usr/share/man/man1/$page.1.gz" >"$work/man.out" 2>"$work/man.err" &&
    grep -q "^${page^^}(1)" "$work/man.out" ||
    fail "the manual page of $page does not show"
  [ ! -s "$work/man.err" ] || { cat "$work/man.err" >&2; fail "man complained about $page"; }
done

# The installed completion loads in the root's bash.
in_root bash -c '. /usr/share/bash-completion/completions/mervo-cli && complete -p mervo-cli' ||
  fail "the installed bash completion does not load"

# The installed simulator, with the TFTP server it starts, and the installed
# tool talk to each other.
echo "# mervo-controller-sim --port 0 &" >&3
chroot "$new" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin mervo-controller-sim --port 0 \
  >"$work/sim.log" 2>"$work/sim.err" &
sim_pid=$!
address=
for _ in $(seq 200); do
  address=$(sed -n 's/.*"address":"\([^"]*\)".*/\1/p' "$work/sim.log" | head -1)
  [ -n "$address" ] && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.05
done
[ -n "$address" ] || { cat "$work/sim.err"; fail "the installed simulator did not start"; }
head -1 "$work/sim.log"
in_root mervo-cli --ip "$address" --action get_status | tee "$work/status.out"
grep -q '^model_name=VESTRA-4' "$work/status.out" || fail "get_status against the installed simulator"
kill "$sim_pid"
wait "$sim_pid" 2>/dev/null || true
sim_pid=

in_root dpkg --purge mervo-cli mervo-controller-sim || fail "dpkg --purge"
in_root dpkg-query -W -f='${Package} ${db:Status-Status}\n' mervo-cli mervo-controller-sim 2>&1 || true
files >"$work/files.after"
echo "# files before installing / after purging:" \
  "$(wc -l <"$work/files.before") / $(wc -l <"$work/files.after")"
diff -u "$work/files.before" "$work/files.after" || fail "the root holds other files after the purge"
