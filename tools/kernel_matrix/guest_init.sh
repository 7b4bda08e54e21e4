#!/bin/busybox sh
# The guest's first program, in its initramfs: loads what the kernel needs to reach the host's
# files (9p over virtio, overlay), builds the root the guest's checks run in, and hands over to
# the check's own script in the shared work directory. Its settings come from /matrix.env.
/bin/busybox mkdir -p /proc /sys /dev /newroot /host /bin
/bin/busybox --install -s /bin
export PATH=/bin
# shellcheck source=/dev/null
. /matrix.env
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
while read -r module; do
    insmod "/modules/${module##*/}" || echo "guest: insmod $module failed"
done </modules/order
nine="trans=virtio,version=9p2000.L,msize=512000"
mount -t 9p -o "$nine,ro,cache=loose" host /host || { echo "guest: no host share"; poweroff -f; }
if [ "$MATRIX_ROOT" = / ]; then
    # The host's own userland, read-only.
    mount --move /host /newroot
else
    # A userland of Debian packages for another architecture, with a writable layer on top.
    mkdir -p /layer && mount -t tmpfs tmpfs /layer && mkdir /layer/upper /layer/work
    mount -t overlay overlay -o "lowerdir=/host$MATRIX_ROOT,upperdir=/layer/upper,workdir=/layer/work" /newroot
    mkdir -p /newroot/host /newroot/tmp /newroot/run && mount --move /host /newroot/host
fi
mount -t tmpfs -o mode=1777 tmpfs /newroot/tmp
mount -t tmpfs -o mode=0755 tmpfs /newroot/run
mkdir -p /newroot/run/matrix
mount -t 9p -o "$nine" work /newroot/run/matrix || { echo "guest: no work share"; poweroff -f; }
for where in dev proc sys; do mkdir -p "/newroot/$where"; mount --move "/$where" "/newroot/$where"; done
# shellcheck disable=SC2086 # the shell and its arguments
exec switch_root /newroot $MATRIX_SHELL /run/matrix/guest-main
