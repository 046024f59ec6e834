#!/bin/busybox sh
# The guest's first process: loads the USB stack, the emulated buses and the iowarrior driver,
# mounts the host's file tree (read-only) with its build folder (writable), runs the rig's command
# in it and powers the guest off.
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev

run=""
root=""
boxes=1
for arg in $(cat /proc/cmdline); do
    case "$arg" in
        rig.run=*) run="${arg#rig.run=}" ;;
        rig.root=*) root="${arg#rig.root=}" ;;
        rig.boxes=*) boxes="${arg#rig.boxes=}" ;;
    esac
done

for module in $(cat /modules/order); do
    case "$module" in
        dummy_hcd) insmod "/modules/$module.ko" is_high_speed=0 num="$boxes" ;;
        *) insmod "/modules/$module.ko" ;;
    esac
done
mount -t configfs configfs /sys/kernel/config

mkdir -p /host /project
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144 host /host
# The project as the host has it, kept apart before the guest's own /tmp covers the host's, so that
# a project under /tmp stays visible.
mount -o bind "/host$root" /project
mount -t tmpfs tmpfs /host/tmp
mount -t tmpfs tmpfs /host/run
mkdir -p "/host$root"
mount -o bind /project "/host$root"
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 build "/host$root/build"
mount -o bind /dev /host/dev
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /host/dev/pts
mount -t tmpfs tmpfs /host/dev/shm
mount -t proc proc /host/proc
mount -t sysfs sysfs /host/sys
mount -t configfs configfs /host/sys/kernel/config

chroot /host /bin/bash "$run/guest-run.sh" "$run" > /dev/console 2>&1
dmesg > "/host$run/dmesg"
sync
poweroff -f
