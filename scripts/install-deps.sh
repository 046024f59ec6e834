#!/usr/bin/env bash
# Installs every Debian package that building, testing and running the project needs.
# Idempotent: when everything is present it prints nothing and changes nothing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  dpkg-dev file
  libboost-serialization-dev libboost-thread-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libcli11-dev libvterm-dev
  clang libclang-rt-14-dev clang-format clang-tidy
  qt6-base-dev fonts-dejavu-core
  xvfb xdotool x11-apps netpbm
  python3 python3-dev pybind11-dev python3-pytest python3-matplotlib python3-pandas
)
# The virtual rig (scripts/virtual-rig.sh) boots a guest kernel with QEMU, from a busybox initramfs.
if [ "${1:-}" = "--rig" ]; then
  packages=(qemu-system-x86 busybox-static cpio gzip)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo="sudo"
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
