#!/usr/bin/env bash
# Builds the Debian packages from the built tree (cpack only installs and
# packs; the tree must be built already), unpacks them into a scratch root
# with dpkg -x and checks what each holds and what it declares: versions,
# dependencies on Debian's own packages, the library's shlibs entry. The
# development package must be enough, with the runtime one, to build a
# program against quillon.pc and one with find_package(Quillon); both read
# the serial number of the token in READER.
#
# Environment (set by tests/install/CMakeLists.txt): BUILD_DIR SOURCE_DIR
# WORK_DIR CMAKE CPACK CC VERSION SOVERSION DEB_RELEASE READER SERIAL
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

# An unprivileged user starts the installed tool further down, so the
# unpacked root and the users' homes live where any user can reach them (a
# checkout below /root is not).
scratch=$(mktemp -d /tmp/norvik-deb.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
chmod 755 "$scratch"
root=$scratch/root
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
# The CMake package, from the same root.
"$CMAKE" -S "$SOURCE_DIR/consumer" -B "$WORK_DIR/consumer" -DCMAKE_PREFIX_PATH="$root/usr" \
  -DCMAKE_C_COMPILER="$CC" >"$WORK_DIR/consumer.log" 2>&1 &&
  "$CMAKE" --build "$WORK_DIR/consumer" >>"$WORK_DIR/consumer.log" 2>&1 ||
  { cat "$WORK_DIR/consumer.log" >&2; fail "find_package(Quillon) against the unpacked packages failed"; }
# Both read the virtual token through the unpacked runtime library.
for program in "$WORK_DIR/serial" "$WORK_DIR/consumer/quillon-serial"; do
  loaded=$(LD_LIBRARY_PATH=$root/usr/lib ldd "$program" | awk '$1 ~ /^libQuillon/ { print $3 }')
  [ "$(realpath "$loaded")" = "$(realpath "$root/usr/lib/libQuillon.so.$VERSION")" ] || fail "$program loads $loaded"
  out=$(LD_LIBRARY_PATH=$root/usr/lib "$program" "$READER") || fail "$program exited with $?"
  [ "$out" = "$SERIAL" ] || fail "$program printed '$out', expected '$SERIAL'"
done

# The tool: its files, its dependencies, and the installed copy starting as
# an ordinary user would run it.
[ -f "$(deb provisor)" ] || fail "no package $(basename "$(deb provisor)")"
tool_files=$(files provisor)
for f in usr/bin/Provisor usr/bin/qrdecode.dll usr/bin/scrn.dll usr/bin/keyloom usr/share/applications/provisor.desktop \
         usr/share/icons/hicolor/256x256/apps/provisor.png usr/share/man/man1/Provisor.1; do
  grep -qx "$f" <<<"$tool_files" || fail "provisor lacks $f"
done
expect_depends provisor "$runtime \\(= $debver\\)" pcscd zbar-tools imagemagick libqt6widgets6 libpcsclite1
dpkg -x "$(deb provisor)" "$root"
diagnosis=$(LD_LIBRARY_PATH=$root/usr/lib "$root/usr/bin/Provisor" --diagnose) || fail "Provisor --diagnose: $diagnosis"
grep -q "token library:  $root/usr/lib/libQuillon.so.$VERSION (19 of 19 commands)" <<<"$diagnosis" ||
  fail "the installed Provisor does not find the installed library: $diagnosis"
grep -q "qrdecode.dll:   $root/usr/bin/qrdecode.dll" <<<"$diagnosis" || fail "qrdecode.dll not found beside Provisor: $diagnosis"

# Started by an unprivileged user, the installed tool keeps its
# configuration in ~/.config/norvik2 (its own directory is not theirs) and
# waits in its first-start key dialog, offscreen, until stopped.
home=$scratch/home
mkdir -p "$home"
as_user=()
if [ "$(id -u)" = 0 ]; then
  chown 65534:65534 "$home"
  as_user=(setpriv --reuid=65534 --regid=65534 --clear-groups)
else
  chmod 555 "$root/usr/bin"
fi
status=0
(cd "$home" && env -i PATH=/usr/bin:/bin HOME="$home" QT_QPA_PLATFORM=offscreen LD_LIBRARY_PATH="$root/usr/lib" \
   "${as_user[@]}" timeout 5 "$root/usr/bin/Provisor" >"$WORK_DIR/provisor.log" 2>&1) || status=$?
chmod 755 "$root/usr/bin"
[ "$status" = 124 ] || { cat "$WORK_DIR/provisor.log" >&2; fail "the installed Provisor ended with status $status instead of running"; }
config=$home/.config/norvik2/Norvik2Cfg.ini
[ -f "$config" ] || fail "no configuration file in $home/.config/norvik2"
[ "$(stat -c %a "$config")" = 600 ] || fail "configuration file mode $(stat -c %a "$config")"
[ "$(stat -c %a "$(dirname "$config")")" = 700 ] || fail "configuration directory mode $(stat -c %a "$(dirname "$config")")"
[ "$(cat "$config")" = "$(printf '[CONFIG]\r\nCUSTOMER_KEY=5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A\r')" ] || fail "configuration file: $(cat -A "$config")"
[ ! -e "$root/usr/bin/Norvik2Cfg.ini" ] || fail "a configuration file appeared among the installed programs"

# keyloom, installed beside it, keeps its key in the same file: a user
# without one yet gets ~/.config/norvik2 from "key save", owner only.
help=$("$root/usr/bin/keyloom" --help) || fail "keyloom --help exited with $?"
[[ $help == "usage: keyloom"* ]] || fail "keyloom --help printed: $help"
home2=$scratch/home2
mkdir -p "$home2"
[ "$(id -u)" = 0 ] && chown 65534:65534 "$home2"
[ "$(id -u)" = 0 ] || chmod 555 "$root/usr/bin"
saved=$(cd "$home2" && echo 00112233445566778899AABBCCDDEEFF | env -i PATH=/usr/bin:/bin HOME="$home2" \
   LD_LIBRARY_PATH="$root/usr/lib" "${as_user[@]}" "$root/usr/bin/keyloom" key save --new-key-file - 2>&1) ||
  { chmod 755 "$root/usr/bin"; fail "keyloom key save: $saved"; }
chmod 755 "$root/usr/bin"
config2=$home2/.config/norvik2/Norvik2Cfg.ini
[ "$(stat -c %a "$config2" 2>/dev/null)" = 600 ] || fail "keyloom: configuration file mode $(stat -c %a "$config2")"
[ "$(stat -c %a "$(dirname "$config2")")" = 700 ] || fail "keyloom: configuration directory mode $(stat -c %a "$(dirname "$config2")")"
grep -q '^CUSTOMER_KEY=' "$config2" && ! grep -q 00112233445566778899AABBCCDDEEFF "$config2" ||
  fail "keyloom: the key is not stored enciphered: $(cat -A "$config2")"

echo "check_deb: $(cd "$WORK_DIR/out" && ls ./*.deb | tr '\n' ' ')"
