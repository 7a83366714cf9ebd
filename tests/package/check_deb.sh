#!/usr/bin/env bash
# Builds the Debian package in a release build of its own, checks its control
# fields and contents, installs it with dpkg on this machine (which refuses it
# when a declared dependency is missing), runs the installed programs, reads the
# installed manual page, and removes the package again.
# Usage: check_deb.sh SOURCE_DIR BUILD_DIR [CMAKE [CPACK]]
# Exit status 77: skipped (not root, or a mervo-cli this test did not install
# is on the machine and stays untouched).
set -euo pipefail

source_dir=${1:?usage: check_deb.sh SOURCE_DIR BUILD_DIR [CMAKE [CPACK]]}
build=${2:?usage: check_deb.sh SOURCE_DIR BUILD_DIR [CMAKE [CPACK]]}
cmake=${3:-cmake}
cpack=${4:-cpack}

fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP: $*"; exit 77; }

[ "$(id -u)" -eq 0 ] || skip "installing a package with dpkg needs root"

mkdir -p "$build"
# Present while the package this test installed is on the machine, so that a
# run that was killed half-way is cleaned up by the next one.
marker=$build/installed-by-test
installed() { dpkg-query -W -f='${db:Status-Status}' mervo-cli 2>/dev/null | grep -qv '^not-installed$'; }
if installed || [ -e /usr/bin/mervo-cli ] || [ -e /usr/bin/mervo-controller-sim ]; then
  [ -e "$marker" ] || skip "mervo-cli is already on this machine and was not installed by this test"
  dpkg --purge mervo-cli >/dev/null
fi
rm -f "$marker"

work=$(mktemp -d)
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi
  if [ -e "$marker" ]; then dpkg --purge mervo-cli >/dev/null 2>&1 && rm -f "$marker"; fi
  rm -rf "$work"
}
trap cleanup EXIT

# --- build the package -------------------------------------------------------------
"$cmake" -S "$source_dir" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMERVO_TESTS=OFF \
  -DMERVO_BENCH=OFF -DMERVO_FUZZ=OFF -DMERVO_SANITIZE=OFF >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log"; fail "configure"; }
"$cmake" --build "$build" -j 2 >"$work/build.log" 2>&1 || { tail -50 "$work/build.log"; fail "build"; }
rm -rf "$build/out"
(cd "$build" && "$cpack" -G DEB -B "$build/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
debs=("$build"/out/mervo-cli_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one mervo-cli_*.deb in $build/out"
deb=${debs[0]}
arch=$(dpkg --print-architecture)
[ "$(basename "$deb")" = "mervo-cli_0.4_${arch}.deb" ] || fail "package file named $(basename "$deb")"

# --- control fields ------------------------------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = mervo-cli ] || fail "Package: $(field Package)"
[ "$(field Version)" = 0.4 ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
# Package names of a dependency field, one a line, without versions.
names() { tr ',|' '\n\n' | sed 's/(.*)//; s/:any//; s/[[:space:]]//g' | sed '/^$/d' | sort -u; }
field Depends | names >"$work/depends"
field Suggests | names >"$work/suggests"
grep -qx tftpd-hpa "$work/suggests" || fail "tftpd-hpa is not suggested: $(field Suggests)"
! grep -qx tftpd-hpa "$work/depends" || fail "tftpd-hpa must only be suggested, not required"
for p in libcurl4 libzip4 libcsv3 liblzma5 libbz2-1.0 zlib1g; do
  grep -qx "$p" "$work/depends" || fail "Depends lacks $p: $(field Depends)"
done

# --- contents ------------------------------------------------------------------------
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $NF}' | sort >"$work/files"
printf '%s\n' ./usr/bin/mervo-cli ./usr/bin/mervo-controller-sim ./usr/share/man/man1/mervo-cli.1.gz |
  sort >"$work/files.expected"
diff -u "$work/files.expected" "$work/files" || fail "the package holds other files than expected"

# The declared dependencies are exactly the packages whose libraries the two
# programs load, as dpkg-shlibdeps finds them.
mkdir -p "$work/root" "$work/shlibs/debian"
dpkg-deb -x "$deb" "$work/root"
printf 'Source: mervo-cli\n\nPackage: mervo-cli\nArchitecture: any\n' >"$work/shlibs/debian/control"
(cd "$work/shlibs" && dpkg-shlibdeps -O "$work/root/usr/bin/mervo-cli" "$work/root/usr/bin/mervo-controller-sim" \
  2>/dev/null) | sed -n 's/^shlibs:Depends=//p' | names >"$work/needed"
[ -s "$work/needed" ] || fail "dpkg-shlibdeps found no libraries"
diff -u "$work/needed" "$work/depends" || fail "Depends differs from the libraries the programs load"

# --- install, run, remove --------------------------------------------------------------
touch "$marker"
dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i (a dependency missing?)"; }
dpkg-query -W -f='${db:Status-Status} ${Version}\n' mervo-cli | grep -qx 'installed 0.4' ||
  fail "dpkg does not list mervo-cli 0.4 as installed"

/usr/bin/mervo-cli --version >"$work/version" || fail "mervo-cli --version ended with status $?"
printf 'mervo-cli\nVersion 0.4\n' | cmp - "$work/version" || { od -c "$work/version"; fail "--version printed other text"; }

manual=$(man -w mervo-cli) || fail "man -w finds no page for mervo-cli"
[ "$manual" = /usr/share/man/man1/mervo-cli.1.gz ] || fail "man -w found $manual"
MANWIDTH=80 man -P cat mervo-cli 2>"$work/man.err" | grep -q 'mervo-cli' || fail "the manual page does not show"
[ ! -s "$work/man.err" ] || { cat "$work/man.err"; fail "man complained"; }

# The installed simulator and tool talk to each other: a status query.
/usr/bin/mervo-controller-sim --port 0 >"$work/sim.log" 2>"$work/sim.err" &
sim_pid=$!
address=
for _ in $(seq 100); do
  address=$(sed -n 's/.*"address":"\([^"]*\)".*/\1/p' "$work/sim.log" | head -1)
  [ -n "$address" ] && break
  sleep 0.05
done
[ -n "$address" ] || { cat "$work/sim.err"; fail "the installed simulator did not start"; }
/usr/bin/mervo-cli --ip "$address" --action get_status >"$work/status.out" 2>/dev/null
grep -q '^model_name=VESTRA-4' "$work/status.out" || { cat "$work/status.out"; fail "get_status against the installed simulator"; }
kill "$sim_pid"
wait "$sim_pid" 2>/dev/null || true
sim_pid=

dpkg --purge mervo-cli >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "dpkg --purge"; }
rm -f "$marker"
! installed || fail "mervo-cli is still installed after dpkg --purge"
for f in /usr/bin/mervo-cli /usr/bin/mervo-controller-sim /usr/share/man/man1/mervo-cli.1.gz; do
  [ ! -e "$f" ] || fail "$f is left after dpkg --purge"
done
echo "mervo-cli_0.4_${arch}.deb: built, installed, ran, removed"
