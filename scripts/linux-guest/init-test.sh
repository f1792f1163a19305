#!/bin/busybox sh
# Guest /init of the integration test: loads the SCSI drivers, runs lunscan and sg3-utils on every disk and prints each answer between marker lines on the console.
#
# Kernel command line: guest_disks=N (SCSI disks to wait for), guest_cds=N (CD-ROMs to wait for),
# guest_mpath=NAME and guest_mpath_wwid=WWID (the two disks of that kernel wwid become a
# device-mapper multipath map of that name).
# Every section is "@@@ BEGIN <name>", its lines, "@@@ END <name> rc=<status>"; the last line is
# "@@@ DONE". The host parses nothing else, so kernel messages in between do no harm.
/bin/busybox --install -s /bin
export PATH=/bin:/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
rmdir /dev/shm 2>/dev/null

arg() { sed -n "s/.*\\b$1=\\([^ ]*\\).*/\\1/p" /proc/cmdline; }
want_disks=$(arg guest_disks)
want_cds=$(arg guest_cds)
mpath=$(arg guest_mpath)
mpath_wwid=$(arg guest_mpath_wwid)

# A module that is already in (or built in) fails harmlessly.
while read -r m; do insmod "$m" 2>/dev/null; done < /modules.order

section() {
  name=$1
  shift
  echo "@@@ BEGIN $name"
  "$@" 2>&1
  rc=$?
  echo "@@@ END $name rc=$rc"
}

# Standard output and standard error of one command in two sections.
split_section() {
  name=$1
  shift
  "$@" > /tmp/out 2> /tmp/err
  rc=$?
  echo "@@@ BEGIN $name.out"
  cat /tmp/out
  echo "@@@ END $name.out rc=$rc"
  echo "@@@ BEGIN $name.err"
  cat /tmp/err
  echo "@@@ END $name.err rc=$rc"
}

# The kernel scans the adapters in the background; wait (at most a minute) until every disk and
# CD-ROM has its node.
i=0
while [ "$i" -lt 600 ]; do
  d=0
  for b in /sys/class/scsi_disk/*/device/block/*; do [ -b "/dev/${b##*/}" ] && d=$((d + 1)); done
  [ "$d" -ge "${want_disks:-0}" ] && [ "$(ls -d /sys/block/sr* 2>/dev/null | wc -l)" -ge "${want_cds:-0}" ] && break
  sleep 0.1
  i=$((i + 1))
done

disks=$(for b in /sys/class/scsi_disk/*/device/block/*; do echo "${b##*/}"; done | sort)

# Which disk is which: the adapter's driver and the SCSI address of each block device.
devmap() {
  for dev in $disks; do
    addr=$(basename "$(readlink -f /sys/block/$dev/device)")
    host=${addr%%:*}
    echo "$dev $addr $(cat /sys/class/scsi_host/host$host/proc_name)"
  done
  for cd in /sys/block/sr*; do
    [ -e "$cd" ] || continue
    addr=$(basename "$(readlink -f $cd/device)")
    host=${addr%%:*}
    echo "${cd##*/} $addr $(cat /sys/class/scsi_host/host$host/proc_name)"
  done
}
section devmap devmap
section lsscsi lsscsi

# Without /dev/shm lunscan cannot start and says why.
split_section noshm lunscan
mkdir -p /dev/shm
mount -t tmpfs -o mode=1777 tmpfs /dev/shm

split_section lunscan lunscan
split_section lunscan-all lunscan -all
split_section lunscan-wwn lunscan -wwn
for dev in $disks; do
  split_section "page83 $dev" lunscan -dev "/dev/$dev" -page 83
  section "sg_inq $dev" sg_inq "/dev/$dev"
  section "sg_inq-hex $dev" sg_inq --len=96 -HHH "/dev/$dev"
  section "sg_readcap $dev" sg_readcap -l "/dev/$dev"
  section "sg_vpd-di $dev" sg_vpd -p di "/dev/$dev"
  section "sg_vpd-di-hex $dev" sg_vpd -p di -HHH "/dev/$dev"
  section "sg_vpd-sn $dev" sg_vpd -p sn "/dev/$dev"
done

# Two paths to one disk (the same WWN on two adapters) under one multipath map.
if [ -n "$mpath" ]; then
  paths=""
  for dev in $disks; do
    [ "$(cat /sys/block/$dev/device/wwid 2>/dev/null)" = "$mpath_wwid" ] && paths="$paths $dev"
  done
  make_map() {
    set -- $paths
    [ $# -eq 2 ] || { echo "multipath: paths found: $paths"; return 1; }
    size=$(cat /sys/block/$1/size)
    table="0 $size multipath 0 0 1 1 round-robin 0 2 1 $(cat /sys/block/$1/dev) 1000 $(cat /sys/block/$2/dev) 1000"
    echo "paths $1 $2"
    echo "table $table"
    # Without udev the node is made by hand.
    dmsetup create "$mpath" --noudevsync --uuid "mpath-$mpath" --table "$table" &&
      dmsetup mknodes "$mpath" && ls -l "/dev/mapper/$mpath"
  }
  section mpath-create make_map
  split_section mpath-lunscan lunscan
  split_section mpath-strandway lunscan -f_strandway
  split_section mpath-parent lunscan -parent
fi

echo "@@@ DONE"
sync
poweroff -f
