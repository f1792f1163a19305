#!/usr/bin/env bash
# Checks the Debian package: lintian finds no error, and the binary unpacked into a scratch root runs on the demo host.
set -euo pipefail
deb=${1:?usage: check-deb.sh lunscan_<version>_amd64.deb}
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

# Errors fail the check; warnings and notes are shown. Running as root is what lintian warns about, not
# a package fault.
lintian --fail-on error --allow-root --tag-display-limit 0 "$deb"

dpkg -x "$deb" "$root"
for f in usr/bin/lunscan usr/share/man/man1/lunscan.1.gz usr/share/doc/lunscan/copyright \
         usr/share/doc/lunscan/host-file.md usr/share/doc/lunscan/demo-host.json; do
  [ -e "$root/$f" ] || { echo "check-deb: $f is not in the package"; exit 1; }
done
out=$(SIL_SIM_HOST="$root/usr/share/doc/lunscan/demo-host.json" "$root/usr/bin/lunscan" -no_header -no_dots)
# The demo host's first disk, as its host file describes it.
grep -q 'PHYSICALDRIVE0' <<<"$out" || { echo "check-deb: the installed lunscan did not list the demo host"; echo "$out"; exit 1; }
zcat "$root/usr/share/man/man1/lunscan.1.gz" | groff -man -ww -z
echo "check-deb: $deb is good"
