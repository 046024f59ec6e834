#!/usr/bin/env bash
# Fails unless the release build installs and packages into something a user and a host project
# can use: the .deb unpacks into a scratch root whose zentrix runs with the plug-in it carries,
# the package depends on the Boost run-time libraries, and a host project finds the installed
# tree with find_package and with pkg-config, compiles against its header and loads its plug-in.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/release}"

scratch="$(mktemp -d "${TMPDIR:-/tmp}/zentrix-package-XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
# The runs below must neither read nor write the user's registry store or configuration.
export ZENTRIX_REGISTRY="$scratch/registry.reg"
export XDG_CONFIG_HOME="$scratch/config"
unset ZENTRIX_IOWARRIOR

fail() {
  echo "check-package: $*" >&2
  exit 1
}

expect_types() {
  local output="$1"
  grep -q "TTL Port Tester (KX-504)" <<<"$output" || fail "no device types in: $output"
}

echo "-- package"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/package" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log" >&2; fail "cpack failed"; }
deb="$(echo "$scratch"/package/zentrix_*.deb)"
[ -f "$deb" ] || fail "cpack made no .deb"
depends="$(dpkg-deb -f "$deb" Depends)"
for library in libboost-serialization libboost-thread libqt6widgets6; do
  grep -q "$library" <<<"$depends" || fail "Depends lacks $library: $depends"
done

root="$scratch/root"
dpkg -x "$deb" "$root"
for file in usr/bin/zentrix usr/include/zentrix/ZentrixInterface.h \
  usr/lib/udev/rules.d/60-zentrix-iowarrior.rules; do
  [ -f "$root/$file" ] || fail "the package lacks /$file"
done
plugin="$(find "$root/usr/lib" -name 'libzentrix.so.*.*.*' -type f)"
[ -n "$plugin" ] || fail "the package lacks the plug-in"
./scripts/check-exports.sh "$plugin" >/dev/null
[ -f "$(dirname "$plugin")/libzentrix_mapping_qt.so" ] ||
  fail "the package lacks the mapping dialog beside the plug-in"
# The packaged plug-in reaches its dialog library; without a display it shows nothing and says so.
map_err="$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
  "$root/usr/bin/zentrix" --simulate --config-dir "$scratch/map" map 2>&1 >/dev/null)" &&
  fail "map without a display succeeded"
grep -q "no display is available" <<<"$map_err" || fail "map without a display said: $map_err"
[ ! -e "$scratch/map/HardwareSetup.xml" ] || fail "map without a display saved"
# No LD_LIBRARY_PATH: the installed host finds the plug-in relative to itself.
expect_types "$("$root/usr/bin/zentrix" --simulate types)"
echo "packaged zentrix --simulate types: OK"

echo "-- host projects against an installed tree"
prefix="$scratch/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
cmake -S tests/install -B "$scratch/host" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/host" >/dev/null
expect_types "$("$scratch/host/host_check")"
echo "find_package(zentrix): OK"

pcdir="$(dirname "$(find "$prefix" -name zentrix.pc)")"
export PKG_CONFIG_PATH="$pcdir"
read -r -a cflags <<<"$(pkg-config --cflags zentrix)"
c++ -std=c++20 -Wall -Wextra -Werror "${cflags[@]}" \
  -DZENTRIX_PLUGIN_PATH="\"$(pkg-config --variable=plugin zentrix)\"" \
  tests/install/host_check.cpp -o "$scratch/host_check_pc" -ldl
expect_types "$("$scratch/host_check_pc")"
echo "pkg-config zentrix: OK"
