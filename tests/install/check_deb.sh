#!/usr/bin/env bash
# Builds the Debian packages from the built tree (cpack only installs and
# packs; the tree must be built already), unpacks them into a scratch root
# with dpkg -x and checks what each holds and what it declares: versions,
# dependencies on Debian's own packages, the library's shlibs entry. The
# development package must be enough, with the runtime one, to build a
# program against quillon.pc.
#
# Environment (set by tests/install/CMakeLists.txt): BUILD_DIR SOURCE_DIR
# WORK_DIR CPACK CC VERSION SOVERSION DEB_RELEASE
set -euo pipefail

fail() { echo "check_deb: $*" >&2; exit 1; }

rm -rf "$WORK_DIR"
mkdir -p "$WORK_DIR"
"$CPACK" -G DEB --config "$BUILD_DIR/CPackConfig.cmake" -B "$WORK_DIR/out" >"$WORK_DIR/cpack.log" 2>&1 ||
  { cat "$WORK_DIR/cpack.log" >&2; fail "cpack failed"; }

arch=$(dpkg --print-architecture)
debver=$VERSION-$DEB_RELEASE
runtime=libquillon$SOVERSION
deb() { echo "$WORK_DIR/out/${1}_${debver}_$arch.deb"; }
for pkg in "$runtime" libquillon-dev quillon-trace norvik-sim; do
  [ -f "$(deb "$pkg")" ] || fail "no package $(basename "$(deb "$pkg")"); made: $(ls "$WORK_DIR/out")"
  [ "$(dpkg-deb -f "$(deb "$pkg")" Package)" = "$pkg" ] || fail "$pkg: wrong Package field"
  [ "$(dpkg-deb -f "$(deb "$pkg")" Version)" = "$debver" ] || fail "$pkg: Version is not $debver"
done

# Files (regular files and links) of a package, without the leading "./".
files() { dpkg-deb -c "$(deb "$1")" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./||' | sort; }
expect_files() {
  local pkg=$1; shift
  local want; want=$(printf '%s\n' "$@" | sort)
  [ "$(files "$pkg")" = "$want" ] || fail "$pkg holds:
$(files "$pkg")
expected:
$want"
}
# The runtime package holds the library alone, so that another major
# version can be installed beside it.
expect_files "$runtime" "usr/lib/libQuillon.so.$SOVERSION" "usr/lib/libQuillon.so.$VERSION"
expect_files quillon-trace usr/bin/quillon-trace
expect_files norvik-sim usr/bin/norvik-sim usr/bin/norvik-simctl usr/bin/norvik-pcsc-wait
dev_files=$(files libquillon-dev)
for f in usr/include/Quillon.h usr/lib/libQuillon.so usr/lib/pkgconfig/quillon.pc \
         usr/lib/cmake/Quillon/QuillonConfig.cmake usr/lib/cmake/Quillon/QuillonConfigVersion.cmake \
         usr/lib/cmake/Quillon/QuillonTargets.cmake; do
  grep -qx "$f" <<<"$dev_files" || fail "libquillon-dev lacks $f"
done
[ "$(grep -c '^usr/include/' <<<"$dev_files")" = 1 ] || fail "libquillon-dev installs more than Quillon.h"

# Declared dependencies: each named package must appear in Depends.
expect_depends() {
  local pkg=$1; shift
  local depends; depends=$(dpkg-deb -f "$(deb "$pkg")" Depends)
  for d in "$@"; do
    grep -Eq "(^|, )$d( |,|$)" <<<"$depends" || fail "$pkg: Depends '$depends' lacks $d"
  done
  echo "$pkg: Depends: $depends"
}
expect_depends "$runtime" libc6 libpcsclite1 libssl3 libstdc\\+\\+6
expect_depends libquillon-dev "$runtime \\(= $debver\\)"
expect_depends quillon-trace libc6
expect_depends norvik-sim pcscd vsmartcard-vpcd libpcsclite1 libssl3
dpkg-deb -f "$(deb quillon-trace)" Depends | grep -q libquillon && fail "quillon-trace depends on the library it does not load"
shlibs=$(dpkg-deb --info "$(deb "$runtime")" shlibs)
[ "$shlibs" = "libQuillon $SOVERSION $runtime (>= $debver)" ] || fail "$runtime shlibs: '$shlibs'"

root=$WORK_DIR/root
for pkg in "$runtime" libquillon-dev quillon-trace norvik-sim; do dpkg -x "$(deb "$pkg")" "$root"; done
[ "$(readlink "$root/usr/lib/libQuillon.so")" = "libQuillon.so.$SOVERSION" ] || fail "libQuillon.so link"
[ "$(readlink "$root/usr/lib/libQuillon.so.$SOVERSION")" = "libQuillon.so.$VERSION" ] || fail "libQuillon.so.$SOVERSION link"
soname=$(objdump -p "$root/usr/lib/libQuillon.so.$VERSION" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = "libQuillon.so.$SOVERSION" ] || fail "SONAME is '$soname'"
for program in quillon-trace norvik-sim norvik-simctl norvik-pcsc-wait; do
  help=$("$root/usr/bin/$program" --help) || fail "$program --help exited with $?"
  [[ $help == "usage: $program"* ]] || fail "$program --help printed: $help"
done

# quillon.pc locates itself, so the unpacked root serves as a prefix.
export PKG_CONFIG_PATH=$root/usr/lib/pkgconfig
[ "$(realpath "$(pkg-config --variable=libdir quillon)")" = "$(realpath "$root/usr/lib")" ] ||
  fail "quillon.pc in the unpacked root gives libdir $(pkg-config --variable=libdir quillon)"
# shellcheck disable=SC2046  # the flags are meant to split
"$CC" -std=c99 -Wall -Wextra -Werror "$SOURCE_DIR/serial.c" $(pkg-config --cflags --libs quillon) \
  -o "$WORK_DIR/serial" || fail "cannot build against the unpacked development package"
echo "check_deb: $(cd "$WORK_DIR/out" && ls ./*.deb | tr '\n' ' ')"
