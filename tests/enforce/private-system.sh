# Run by the enforcement tests' harness, as root, in mount and network
# namespaces that the test program has just entered. Stops at its first failure,
# so that nothing is written to the machine's own /run or /etc.
set -e
# Inside a chroot "/" is no mount point: then each mount that is one is made private.
mount --make-rprivate / || for p in /sys /proc /dev /run /etc /var /usr; do mount --make-rprivate $p || true; done
for p in /run /sys /var; do mount -t tmpfs -o mode=755 tmpfs $p; done
etc=/run/kestrune-test/etc
mkdir -p $etc && mount -t tmpfs -o mode=700 tmpfs $etc && mkdir $etc/upper $etc/work
mount -t overlay -o lowerdir=/etc,upperdir=$etc/upper,workdir=$etc/work overlay /etc
for p in /usr/lib/udev/rules.d /lib/udev/rules.d; do [ ! -d $p ] || mount -t tmpfs -o mode=755 tmpfs $p; done
echo 'ttyS0                -W- (EC p a)    4:64' >/run/kestrune-test/consoles
mount --bind /run/kestrune-test/consoles /proc/consoles
# eth0 is the card with the default route; its peer is never looked at.
ip link set lo up && ip link add eth0 type veth peer name kpeer0 && ip link set eth0 up && ip link set kpeer0 up
ip route add default dev eth0
# Enforcement opens device nodes by number: only those made here exist.
mount -t tmpfs -o mode=755 tmpfs /dev
mknod -m 666 /dev/null c 1 3 && mknod -m 666 /dev/zero c 1 5 && mknod -m 666 /dev/urandom c 1 9
