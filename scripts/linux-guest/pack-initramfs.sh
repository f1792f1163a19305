#!/usr/bin/env bash
# Packs a guest initramfs: busybox, the given /init, lunscan, the SCSI tools with their host libraries and the kernel modules the guest loads.
#
# Usage: pack-initramfs.sh OUT.cpio.gz KVER INIT LUNSCAN MODULE...
# The modules are loaded by /init in the order of /modules.order, dependencies first (as
# `modprobe --show-depends` gives them); compressed modules are unpacked here, because busybox's
# insmod takes plain ELF only. The guest runs the host's glibc: each binary takes the shared
# libraries ldd finds for it, at the same paths.
set -euo pipefail

out=$1 kver=$2 init=$3 lunscan=$4
shift 4
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

mkdir -p "$root"/{bin,sbin,dev,proc,sys,tmp,run,etc,lib/modules/"$kver"}
cp /usr/bin/busybox "$root/bin/busybox"
cp "$init" "$root/init"
chmod 755 "$root/init"

# A binary and every library it needs, each at its own path.
add_binary() {
  local src=$1 dst=$2 lib
  install -D -m 755 "$src" "$root$dst"
  while read -r lib; do
    if [ -n "$lib" ] && [ ! -e "$root$lib" ]; then install -D -m 755 "$lib" "$root$lib"; fi
  done < <(ldd "$src" | awk '/=> \// { print $3 } /^[ \t]*\/[^ ]+ \(/ { print $1 }')
}
add_binary "$lunscan" /bin/lunscan
for tool in sg_inq sg_readcap sg_vpd lsscsi dmsetup; do
  path=$(command -v "$tool" || true)
  [ -n "$path" ] || { echo "pack-initramfs: $tool is not installed" >&2; exit 1; }
  add_binary "$path" "/bin/$tool"
done

# Modules in load order, each file once.
declare -A seen=()
: > "$root/modules.order"
for mod in "$@"; do
  deps=$(modprobe --show-depends -S "$kver" "$mod" 2>/dev/null) ||
    { echo "pack-initramfs: module $mod not found for kernel $kver" >&2; exit 1; }
  while read -r verb path _; do
    [ "$verb" = insmod ] || continue  # "builtin NAME" needs nothing
    [ -z "${seen[$path]:-}" ] || continue
    seen[$path]=1
    name=$(basename "$path")
    case "$name" in
      *.ko.xz) xz -dc "$path" > "$root/lib/modules/$kver/${name%.xz}"; name=${name%.xz} ;;
      *.ko.zst) zstd -qdc "$path" > "$root/lib/modules/$kver/${name%.zst}"; name=${name%.zst} ;;
      *.ko.gz) gzip -dc "$path" > "$root/lib/modules/$kver/${name%.gz}"; name=${name%.gz} ;;
      *) cp "$path" "$root/lib/modules/$kver/$name" ;;
    esac
    echo "/lib/modules/$kver/$name" >> "$root/modules.order"
  done <<< "$deps"
done

(cd "$root" && find . -print0 | cpio --null -o -H newc --quiet) | gzip -1 > "$out"
