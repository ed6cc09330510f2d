#!/usr/bin/env bash
# Installs the built tree into a scratch prefix and uses it the way a
# program outside the project would: through quillon.pc and through
# find_package(Quillon), each build reading the serial number of the token
# in READER. Also checks the library's name chain, that the only header is
# Quillon.h and that every installed program answers --help.
#
# Environment (set by tests/install/CMakeLists.txt): BUILD_DIR SOURCE_DIR
# WORK_DIR CMAKE CC LIBDIR INCLUDEDIR BINDIR VERSION SOVERSION READER SERIAL
set -euo pipefail

fail() { echo "check_install: $*" >&2; exit 1; }
# Runs a step quietly; its output is shown only when it fails.
quiet() {
  local log=$WORK_DIR/step.log
  "$@" >"$log" 2>&1 || { cat "$log" >&2; fail "failed: $*"; }
}

rm -rf "$WORK_DIR"
mkdir -p "$WORK_DIR"
prefix=$WORK_DIR/prefix
quiet "$CMAKE" --install "$BUILD_DIR" --prefix "$prefix"
lib=$prefix/$LIBDIR

# libQuillon.so -> libQuillon.so.<major> -> libQuillon.so.<version>
[ "$(readlink "$lib/libQuillon.so")" = "libQuillon.so.$SOVERSION" ] || fail "libQuillon.so does not link to libQuillon.so.$SOVERSION"
[ "$(readlink "$lib/libQuillon.so.$SOVERSION")" = "libQuillon.so.$VERSION" ] || fail "libQuillon.so.$SOVERSION does not link to libQuillon.so.$VERSION"
[ -f "$lib/libQuillon.so.$VERSION" ] && [ ! -L "$lib/libQuillon.so.$VERSION" ] || fail "libQuillon.so.$VERSION missing"
soname=$(objdump -p "$lib/libQuillon.so.$VERSION" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = "libQuillon.so.$SOVERSION" ] || fail "SONAME is '$soname'"

headers=$(cd "$prefix/$INCLUDEDIR" && find . -type f -o -type l | sort)
[ "$headers" = "./Quillon.h" ] || fail "installed headers: $headers"

for program in quillon-trace norvik-sim norvik-simctl norvik-pcsc-wait; do
  help=$("$prefix/$BINDIR/$program" --help) || fail "$program --help exited with $?"
  [[ $help == "usage: $program"* ]] || fail "$program --help printed: $help"
done

# pkg-config
export PKG_CONFIG_PATH=$lib/pkgconfig
[ "$(pkg-config --modversion quillon)" = "$VERSION" ] || fail "quillon.pc gives version $(pkg-config --modversion quillon)"
pc_libdir=$(pkg-config --variable=libdir quillon)
[ "$(realpath "$pc_libdir")" = "$(realpath "$lib")" ] || fail "quillon.pc gives libdir $pc_libdir"
# shellcheck disable=SC2046  # the flags are meant to split
quiet "$CC" -std=c99 -Wall -Wextra -Werror "$SOURCE_DIR/serial.c" $(pkg-config --cflags --libs quillon) \
  -Wl,-rpath,"$pc_libdir" -o "$WORK_DIR/serial-pkgconfig"

# find_package(Quillon): the installed 0.x serves 0.4, but not 1.0.
quiet "$CMAKE" -S "$SOURCE_DIR/consumer" -B "$WORK_DIR/consumer" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$CC"
grep -q "Quillon $VERSION" "$WORK_DIR/step.log" || fail "find_package found another version"
quiet "$CMAKE" --build "$WORK_DIR/consumer"
if "$CMAKE" -S "$SOURCE_DIR/consumer" -B "$WORK_DIR/consumer-next-major" -DCMAKE_PREFIX_PATH="$prefix" \
     -DQUILLON_REQUEST=$((SOVERSION + 1)).0 >"$WORK_DIR/step.log" 2>&1; then
  fail "find_package(Quillon $((SOVERSION + 1)).0) accepted version $VERSION"
fi
grep -q "compatible with requested version" "$WORK_DIR/step.log" ||
  { cat "$WORK_DIR/step.log" >&2; fail "find_package(Quillon $((SOVERSION + 1)).0) failed for another reason"; }

for program in "$WORK_DIR/serial-pkgconfig" "$WORK_DIR/consumer/quillon-serial"; do
  loaded=$(ldd "$program" | awk '$1 ~ /^libQuillon/ { print $3 }')
  [ "$(realpath "$loaded")" = "$(realpath "$lib/libQuillon.so.$VERSION")" ] || fail "$program loads $loaded"
  out=$("$program" "$READER") || fail "$program exited with $?"
  [ "$out" = "$SERIAL" ] || fail "$program printed '$out', expected '$SERIAL'"
  echo "${program#"$WORK_DIR"/}: $out"
done
echo "check_install: installed library, header, pkg-config file, CMake package and programs work"
