#!/usr/bin/env bash
# Fails unless the release build installs and packages into something a user and a host project
# can use: cpack makes two .deb files without a warning about a SONAME; zentrix, unpacked alone into
# a scratch root, needs no Qt, runs with the plug-in it carries and names the dialog's package when
# asked for the dialog; zentrix-mapping-dialog adds the dialog beside the plug-in and depends on
# zentrix of its own version; and a host project finds the installed tree with find_package and
# with pkg-config, compiles against its header and loads its plug-in.
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

echo "-- packages"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/package" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log" >&2; fail "cpack failed"; }
if grep -i -q soname "$scratch/cpack.log"; then
  cat "$scratch/cpack.log" >&2
  fail "cpack warned about a SONAME"
fi
deb="$(echo "$scratch"/package/zentrix_*.deb)"
dialog_deb="$(echo "$scratch"/package/zentrix-mapping-dialog_*.deb)"
python_deb="$(echo "$scratch"/package/python3-zentrix_*.deb)"
[ -f "$deb" ] || fail "cpack made no zentrix .deb"
[ -f "$dialog_deb" ] || fail "cpack made no zentrix-mapping-dialog .deb"
[ -f "$python_deb" ] || fail "cpack made no python3-zentrix .deb"

depends="$(dpkg-deb -f "$deb" Depends)"
for library in libboost-serialization libboost-thread; do
  grep -q "$library" <<<"$depends" || fail "zentrix's Depends lacks $library: $depends"
done
! grep -i -q qt <<<"$depends" || fail "zentrix depends on Qt: $depends"
! dpkg-deb -c "$deb" | grep -q libzentrix_mapping_qt ||
  fail "the zentrix package holds the mapping dialog"

version="$(dpkg-deb -f "$deb" Version)"
dialog_depends="$(dpkg-deb -f "$dialog_deb" Depends)"
grep -q "zentrix (= $version)" <<<"$dialog_depends" ||
  fail "zentrix-mapping-dialog does not depend on zentrix (= $version): $dialog_depends"
grep -q libqt6widgets6 <<<"$dialog_depends" ||
  fail "zentrix-mapping-dialog's Depends lacks libqt6widgets6: $dialog_depends"
[ "$(dpkg-deb -f "$dialog_deb" Version)" = "$version" ] ||
  fail "the two packages have different versions"

root="$scratch/root"
dpkg -x "$deb" "$root"
for file in usr/bin/zentrix usr/include/zentrix/ZentrixInterface.h \
  usr/lib/udev/rules.d/60-zentrix-iowarrior.rules; do
  [ -f "$root/$file" ] || fail "the package lacks /$file"
done
plugin="$(find "$root/usr/lib" -name 'libzentrix.so.*.*.*' -type f)"
[ -n "$plugin" ] || fail "the package lacks the plug-in"
./scripts/check-exports.sh "$plugin" >/dev/null
# No LD_LIBRARY_PATH: the installed host finds the plug-in relative to itself.
expect_types "$("$root/usr/bin/zentrix" --simulate types)"
echo "headless zentrix --simulate types: OK"
# With a display to show it on but no dialog library, the plug-in says which package to install;
# the vnc platform counts as a display and is never started, since no dialog library is there.
mkdir -p "$scratch/map"
# zentrix map itself must not call that "unchanged": it fails and names the package too.
map_status=0
map_out="$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=vnc ZENTRIX_LOG=info \
  "$root/usr/bin/zentrix" --simulate --config-dir "$scratch/map" map 2>&1)" || map_status=$?
[ "$map_status" -eq 1 ] || fail "map without the dialog library exited with $map_status: $map_out"
grep -q "not found beside the plug-in; install the zentrix-mapping-dialog package" <<<"$map_out" ||
  fail "the plug-in's log gave no package advice: $map_out"
grep -q "zentrix: the mapping dialog is not installed: install the zentrix-mapping-dialog package" \
  <<<"$map_out" || fail "zentrix map gave no package advice: $map_out"
[ ! -e "$scratch/map/HardwareSetup.xml" ] || fail "map without the dialog library saved"
echo "headless zentrix map names zentrix-mapping-dialog: OK"

dpkg -x "$dialog_deb" "$root"
dialog="$(dirname "$plugin")/libzentrix_mapping_qt.so"
[ -f "$dialog" ] || fail "zentrix-mapping-dialog does not put the dialog beside the plug-in"
! readelf -d "$dialog" | grep -q SONAME || fail "the dialog library has a SONAME"
# The packaged plug-in reaches its dialog library; without a display it shows nothing and says so.
map_err="$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ZENTRIX_LOG=warning \
  "$root/usr/bin/zentrix" --simulate --config-dir "$scratch/map" map 2>&1 >/dev/null)" &&
  fail "map without a display succeeded"
grep -q "no display is available" <<<"$map_err" || fail "map without a display said: $map_err"
grep -q "no display: the mapping dialog was not shown" <<<"$map_err" ||
  fail "the plug-in did not load the packaged dialog library: $map_err"
[ ! -e "$scratch/map/HardwareSetup.xml" ] || fail "map without a display saved"
expect_types "$("$root/usr/bin/zentrix" --simulate types)"
echo "packaged zentrix with zentrix-mapping-dialog: OK"

python_depends="$(dpkg-deb -f "$python_deb" Depends)"
grep -q "zentrix (= $version)" <<<"$python_depends" ||
  fail "python3-zentrix does not depend on zentrix (= $version): $python_depends"
grep -q "python3 (>= 3" <<<"$python_depends" || fail "python3-zentrix's Depends lacks python3"
[ "$(dpkg-deb -f "$python_deb" Version)" = "$version" ] ||
  fail "python3-zentrix has another version than zentrix"
dpkg -x "$python_deb" "$root"
# Beside the packaged plug-in, with no search path but Debian's own for packages.
expect_python() {
  local tree="$1" site="$2"
  local out examples="$PWD/examples"
  out="$(cd "$scratch" && PYTHONPATH="$site" /usr/bin/python3 -c "
import zentrix
z = zentrix.Zentrix(config_dir='$examples', backend='sim')
print(z.library_path)
print(sorted(t.name for t in z.device_types))
z.start(); z.send('Pellet dispenser', 'Drop pellet'); z.stop()
print(sum(e.kind == 'command' and e.item == 'Drop pellet' for e in z.poll_events()), 'drop')
")" || fail "the zentrix Python package from $site failed: $out"
  grep -q "^$tree/" <<<"$out" || fail "the Python package from $site loaded another plug-in: $out"
  expect_types "$out"
  grep -q "^1 drop$" <<<"$out" || fail "the Python package did not time its command: $out"
}
expect_python "$root" "$root/usr/lib/python3/dist-packages"
PYTHONPATH="$root/usr/lib/python3/dist-packages" /usr/bin/python3 -m zentrix.plot --help >/dev/null ||
  fail "python3 -m zentrix.plot --help failed from the package"
echo "packaged python3-zentrix: OK"

echo "-- host projects against an installed tree"
prefix="$scratch/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
expect_python "$prefix" "$prefix/lib/python3/dist-packages"
echo "cmake --install's Python package: OK"
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
