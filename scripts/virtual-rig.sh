#!/usr/bin/env bash
# Runs COMMAND against the real Linux iowarrior driver without a box: a guest kernel (Debian's own,
# unpacked into the build folder once, booted by QEMU without KVM) with dummy_hcd as the USB bus and
# one emulated IO-Warrior 56 per bus, each a zentrix-usb-box driven by the simulator's model.
#
#   scripts/virtual-rig.sh [--boxes N] [--bench FILE] [--tree DIR] [--timeout S] -- COMMAND...
#
# COMMAND runs in the guest as root, in the current directory of the host's file tree (read-only,
# the build folder writable; /tmp is the guest's own, so a current directory under /tmp must be in
# the project), with ZENTRIX_IOWARRIOR=kernel and the rig's helper zentrix-rig on its PATH. Its
# output and exit status are this script's. --tree is the project's build tree whose
# zentrix-usb-box serves the boxes (default build/release); --bench a bench file whose controller
# I is box I (default: the demo box, with id I).
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
boxes=1
bench=""
tree="$root/build/release"
timeout=900
memory=1024

usage() {
    sed -n '6,7s/^# \{0,1\}//p' "$0" >&2
    exit 2
}

while [ $# -gt 0 ]; do
    case "$1" in
        --boxes) boxes="$2"; shift 2 ;;
        --bench) bench="$(realpath "$2")"; shift 2 ;;
        --tree) tree="$(realpath "$2")"; shift 2 ;;
        --timeout) timeout="$2"; shift 2 ;;
        --) shift; break ;;
        *) usage ;;
    esac
done
[ $# -gt 0 ] || usage
case "$boxes" in ''|*[!0-9]*) usage ;; esac
[ "$boxes" -ge 1 ] || usage
[ -x "$tree/simulator/zentrix-usb-box" ] ||
    { echo "virtual-rig: no $tree/simulator/zentrix-usb-box; build the tree first" >&2; exit 2; }
case "$root$(pwd)" in *[[:space:]]*)
    echo "virtual-rig: the project and the current directory must have no spaces in their paths" >&2
    exit 2 ;;
esac

"$root/scripts/install-deps.sh" --rig

rig="$root/build/rig"
mkdir -p "$rig/kernel"
kernel_package() {
    apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-/ { print $2; exit }'
}
version="$(kernel_package)"
if [ -z "$version" ]; then
    # A machine whose package lists were never fetched knows no kernel package yet.
    if [ "$(id -u)" -eq 0 ]; then apt-get update -qq; else sudo apt-get update -qq; fi
    version="$(kernel_package)"
fi
[ -n "$version" ] || { echo "virtual-rig: apt knows no linux-image-amd64" >&2; exit 2; }
kernel="$rig/kernel/$version"
if [ ! -f "$kernel/.unpacked" ]; then
    rm -rf "$kernel"
    if ! (cd "$rig/kernel" && apt-get download "$version" > download.log 2>&1 &&
        dpkg-deb -x "$version"_*.deb "$version" && rm -f "$version"_*.deb); then
        cat "$rig/kernel/download.log" >&2
        echo "virtual-rig: cannot fetch and unpack $version into $rig/kernel" >&2
        exit 2
    fi
    touch "$kernel/.unpacked"
fi

modules=(usb-common usbcore udc-core configfs libcomposite usb_f_fs dummy_hcd iowarrior
    virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci
    netfs fscache 9pnet 9pnet_virtio 9p)
initramfs="$rig/initramfs-$version.gz"
if [ ! -f "$initramfs" ] || [ "$root/scripts/rig/guest-init.sh" -nt "$initramfs" ]; then
    staging="$(mktemp -d)"
    mkdir -p "$staging"/{bin,dev,proc,sys,modules}
    cp /bin/busybox "$staging/bin/busybox"
    cp "$root/scripts/rig/guest-init.sh" "$staging/init"
    : > "$staging/modules/order"
    for module in "${modules[@]}"; do
        # Modules built into the kernel have no file; the rest load in this order.
        found="$(find "$kernel/lib/modules" -name "$module.ko" -print -quit)"
        [ -n "$found" ] || found="$(find "$kernel/lib/modules" -name "${module//-/_}.ko" -print -quit)"
        if [ -n "$found" ]; then
            cp "$found" "$staging/modules/$module.ko"
            echo "$module" >> "$staging/modules/order"
        fi
    done
    (cd "$staging" && find . | cpio -o -H newc --quiet | gzip -1 > "$initramfs.partial")
    mv "$initramfs.partial" "$initramfs"
    rm -rf "$staging"
fi

run="$rig/run"
rm -rf "$run"
mkdir -p "$run"
cp "$root/scripts/rig/guest-run.sh" "$run/guest-run.sh"
# The guest has a /tmp of its own: a bench file is handed over in the run folder.
if [ -n "$bench" ]; then
    cp "$bench" "$run/bench.json"
    bench="$run/bench.json"
fi
{
    printf 'RIG_BOXES=%q\nRIG_BENCH=%q\nRIG_TREE=%q\nRIG_ROOT=%q\nRIG_CWD=%q\n' \
        "$boxes" "$bench" "$tree" "$root" "$(pwd)"
} > "$run/settings"
printf '%q ' "$@" > "$run/command"
echo >> "$run/command"

timeout "$timeout" qemu-system-x86_64 -accel tcg -cpu max -smp 2 -m "$memory" \
    -display none -vga none -monitor none -no-reboot \
    -serial "file:$run/console.log" \
    -kernel "$(ls "$kernel"/boot/vmlinuz-*)" -initrd "$initramfs" \
    -append "console=ttyS0 quiet panic=-1 rig.run=$run rig.root=$root rig.boxes=$boxes" \
    -virtfs "local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap" \
    -virtfs "local,path=$root/build,mount_tag=build,security_model=none,multidevs=remap" \
    || { echo "virtual-rig: the guest did not finish (QEMU exit $?); see $run/console.log" >&2; }

[ -f "$run/stdout" ] && cat "$run/stdout"
[ -f "$run/stderr" ] && cat "$run/stderr" >&2
if [ ! -f "$run/status" ]; then
    echo "virtual-rig: the command did not run; the guest's console is in $run/console.log" >&2
    exit 124
fi
status="$(cat "$run/status")"
[ "$status" != 125 ] || echo "virtual-rig: the boxes did not start; see $run/console.log" >&2
exit "$status"
