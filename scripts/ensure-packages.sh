#!/usr/bin/env bash
# Installs the Debian packages a build needs when they are missing: "native" for the Linux build
# and tests, "windows" for the MinGW-w64 cross build and Wine, "fuzz" for the libFuzzer targets,
# "package" for the Debian package and its checks, "guest" for the QEMU guest test and benchmark
# (a kernel to boot, busybox, the SCSI tools).
set -euo pipefail

native=(cmake ninja-build g++ make libgtest-dev googletest nlohmann-json3-dev ieee-data python3 time
        libxml2-utils libhbaapi2 libhbaapi-dev python3-jsonschema groff-base)
# wine64 is only the 64-bit loader, kept out of PATH (/usr/lib/wine/wine64); wine brings the
# `wine`, `wineboot` and `wineserver` commands.
windows=(cmake ninja-build make g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine64 wine googletest
         nlohmann-json3-dev ieee-data python3 unzip)
package=(dpkg-dev lintian groff-base)
fuzz=(clang libclang-rt-14-dev)
guest=(qemu-system-x86 linux-image-amd64 busybox-static sg3-utils lsscsi cpio dmsetup kmod python3)

want=()
for set in "$@"; do
  case "$set" in
    native) want+=("${native[@]}") ;;
    windows) want+=("${windows[@]}") ;;
    fuzz) want+=("${fuzz[@]}") ;;
    package) want+=("${package[@]}") ;;
    guest) want+=("${guest[@]}") ;;
    *) echo "ensure-packages: unknown set '$set'" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

# De-duplicate while keeping order.
readarray -t missing < <(printf '%s\n' "${missing[@]}" | awk '!seen[$0]++')
cmd="apt-get install -y --no-install-recommends ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "Missing build packages. Run as root:"
  echo "  apt-get update && $cmd"
  exit 1
fi
echo "Installing missing build packages: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
