#!/usr/bin/env bash
# Builds the two Debian packages in a release build of their own, checks their
# control fields, contents and hardening, runs lintian on them, then installs
# them in a clean Debian 12 root, runs the installed programs there and purges
# them again (run_in_root.sh).
# Usage: check_debs.sh SOURCE_DIR BUILD_DIR [CMAKE [CPACK]]
# Environment: MERVO_TEST_ROOT_CACHE, where clean roots are kept (default
# /var/cache/mervo-cli-test-root); MERVO_DEBIAN_MIRROR, where a root's
# packages come from (default http://deb.debian.org/debian).
# Exit status 77: the packages passed their checks, but the clean root is out
# of reach here (not root, or no mirror and no cached root); the reason is
# printed.
set -euo pipefail

source_dir=$(realpath "${1:?usage: check_debs.sh SOURCE_DIR BUILD_DIR [CMAKE [CPACK]]}")
build=$(realpath -m "${2:?usage: check_debs.sh SOURCE_DIR BUILD_DIR [CMAKE [CPACK]]}")
cmake=${3:-cmake}
cpack=${4:-cpack}
cache=${MERVO_TEST_ROOT_CACHE:-/var/cache/mervo-cli-test-root}
mirror=${MERVO_DEBIAN_MIRROR:-http://deb.debian.org/debian}
here=$(dirname "$(realpath "$0")")

fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP: $*"; exit 77; }
started=$SECONDS
phase() { echo "== $1 (at $((SECONDS - started)) s)"; }

mkdir -p "$build"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# --- build the packages ---------------------------------------------------------------
phase "release build and cpack"
"$cmake" -S "$source_dir" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMERVO_TESTS=OFF \
  -DMERVO_BENCH=OFF -DMERVO_FUZZ=OFF -DMERVO_SANITIZE=OFF >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log"; fail "configure"; }
"$cmake" --build "$build" -j 2 >"$work/build.log" 2>&1 || { tail -50 "$work/build.log"; fail "build"; }
! grep -q 'warning:' "$work/build.log" || { grep -A5 'warning:' "$work/build.log"; fail "the release build warns"; }
rm -rf "$build/out"
(cd "$build" && "$cpack" -G DEB -B "$build/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }

arch=$(dpkg --print-architecture)
version=$(dpkg-parsechangelog -l "$source_dir/packaging/debian/changelog" -S Version)
cli=$build/out/mervo-cli_${version}_$arch.deb
sim=$build/out/mervo-controller-sim_${version}_$arch.deb
ls "$build"/out/*.deb | sort >"$work/debs"
printf '%s\n' "$cli" "$sim" | sort | diff -u - "$work/debs" ||
  fail "cpack made other packages than mervo-cli and mervo-controller-sim $version (the changelog's version)"

# --- control fields and contents ---------------------------------------------------------
phase "control fields, contents, hardening"
field() { dpkg-deb -f "$1" "$2"; }
# Package names of a dependency field, one a line, without versions.
names() { tr ',|' '\n\n' | sed 's/(.*)//; s/:any//; s/[[:space:]]//g' | sed '/^$/d' | sort -u; }
for deb in "$cli" "$sim"; do
  dpkg-deb -I "$deb" control | sed 's/^/  /'
  [ "$(field "$deb" Architecture)" = "$arch" ] || fail "$deb: Architecture $(field "$deb" Architecture)"
done
grep -qx mervo-controller-sim <<<"$(field "$cli" Suggests | names)" || fail "mervo-cli does not suggest mervo-controller-sim"
grep -qx tftpd-hpa <<<"$(field "$sim" Depends | names)" || fail "mervo-controller-sim does not depend on tftpd-hpa"

# Each package depends on exactly the packages whose libraries its program
# loads, as dpkg-shlibdeps finds them (the simulator on tftpd-hpa besides).
mkdir -p "$work/shlibs/debian"
printf 'Source: mervo-cli\n\nPackage: mervo-cli\nArchitecture: any\n' >"$work/shlibs/debian/control"
for deb in "$cli" "$sim"; do
  package=$(field "$deb" Package)
  dpkg-deb -x "$deb" "$work/$package"
  (cd "$work/shlibs" && dpkg-shlibdeps -O "$work/$package/usr/bin/$package" 2>/dev/null) |
    sed -n 's/^shlibs:Depends=//p' | names >"$work/needed"
  [ -s "$work/needed" ] || fail "dpkg-shlibdeps found no libraries for $package"
  field "$deb" Depends | names | grep -vx tftpd-hpa | diff -u "$work/needed" - ||
    fail "$package: Depends differs from the libraries $package loads"
done

# The files of each package.
contents() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ {print $NF}' | sort; }
{
  printf '%s\n' ./usr/bin/mervo-cli ./usr/share/man/man1/mervo-cli.1.gz \
    ./usr/share/bash-completion/completions/mervo-cli ./usr/share/lintian/overrides/mervo-cli \
    ./usr/share/doc/mervo-cli/{README.md,changelog.Debian.gz,copyright}
  (cd "$source_dir" && find examples -type f -printf './usr/share/doc/mervo-cli/%p\n')
} | sort | diff -u - <(contents "$cli") || fail "mervo-cli holds other files than expected"
printf '%s\n' ./usr/bin/mervo-controller-sim ./usr/share/man/man1/mervo-controller-sim.1.gz \
  ./usr/share/lintian/overrides/mervo-controller-sim \
  ./usr/share/doc/mervo-controller-sim/{changelog.Debian.gz,copyright} |
  sort | diff -u - <(contents "$sim") || fail "mervo-controller-sim holds other files than expected"

# lintian checks fortification, PIE, relro, bindnow and .comment; the stack
# protector is checked here.
for program in "$work"/mervo-cli/usr/bin/mervo-cli "$work"/mervo-controller-sim/usr/bin/mervo-controller-sim; do
  grep -q ' __stack_chk_fail@' <<<"$(readelf --dyn-syms -W "$program")" ||
    fail "$(basename "$program") is built without the stack protector"
done

# --- lintian -------------------------------------------------------------------------
# Informational tags fail too: the hardening and .comment checks are among them.
phase "lintian"
lintian_opts=(--fail-on "error,warning,info" --display-info --pedantic)
echo "\$ lintian ${lintian_opts[*]} $(basename "$cli") $(basename "$sim")"
lintian "${lintian_opts[@]}" "$cli" "$sim" || fail "lintian"

# --- a clean Debian 12 root --------------------------------------------------------------
[ "$(id -u)" -eq 0 ] || skip "installing in a clean Debian root needs root (debootstrap, chroot, mount)"
phase "clean Debian root"
# The root holds what the packages depend on, and man-db for man -w.
mapfile -t root_packages < <({ field "$cli" Depends; echo ,; field "$sim" Depends; echo , man-db; } | names)
status=0
root=$(bash "$here/debian_root.sh" "$cache" "$mirror" "${root_packages[@]}") || status=$?
[ "$status" -ne 77 ] || skip "no clean Debian root (see above)"
[ "$status" -eq 0 ] || fail "making the clean Debian root"

phase "install, run, purge in $root"
unshare --mount --propagation private bash "$here/run_in_root.sh" "$root" "$version" "$cli" "$sim"
phase "done"
echo "mervo-cli and mervo-controller-sim $version: built, lintian-clean, installed, ran, purged"
