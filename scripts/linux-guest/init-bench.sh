#!/bin/busybox sh
# Guest /init of the benchmark: 256 scsi_debug LUNs, then the wall time of lunscan, of sg_inq + sg_readcap per disk, and of lsscsi, each run three times.
#
# Kernel command line: bench_luns=N. Prints "@@@ DISKS <n>", "@@@ TIME <what> <run> <seconds>" lines,
# "@@@ LISTED <rows of lunscan's table>" and "@@@ DONE".
/bin/busybox --install -s /bin
export PATH=/bin:/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/shm
mount -t tmpfs -o mode=1777 tmpfs /dev/shm

luns=$(sed -n 's/.*\bbench_luns=\([0-9]*\).*/\1/p' /proc/cmdline)
while read -r m; do
  case "$m" in
    */scsi_debug.ko) insmod "$m" num_tgts=1 max_luns="$luns" dev_size_mb=8 2>/dev/null ;;
    *) insmod "$m" 2>/dev/null ;;
  esac
done < /modules.order

i=0
while [ "$i" -lt 1200 ]; do
  n=0
  for b in /sys/class/scsi_disk/*/device/block/*; do [ -b "/dev/${b##*/}" ] && n=$((n + 1)); done
  [ "$n" -ge "$luns" ] && break
  sleep 0.1
  i=$((i + 1))
done
echo "@@@ DISKS $n"
disks=$(for b in /sys/class/scsi_disk/*/device/block/*; do echo "${b##*/}"; done)

# Hundredths of a second since boot.
now() { read -r up _ < /proc/uptime; echo "${up%.*}${up#*.}"; }
timed() {
  what=$1 run=$2
  shift 2
  t0=$(now)
  "$@" > /dev/null 2>&1
  t1=$(now)
  d=$((t1 - t0))
  echo "@@@ TIME $what $run $((d / 100)).$(printf %02d $((d % 100)))"
}
sg_loop() {
  for d in $disks; do
    sg_inq "/dev/$d"
    sg_readcap "/dev/$d"
  done
}
for run in 1 2 3; do
  timed lunscan "$run" lunscan -no_dots
  timed sg3-loop "$run" sg_loop
  timed lsscsi "$run" lsscsi
done
echo "@@@ LISTED $(lunscan -no_header -no_dots | grep -c '^/dev/sd')"
echo "@@@ DONE"
poweroff -f
