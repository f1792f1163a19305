#!/usr/bin/env bash
# Runs the tests of a MinGW-w64 cross build under Wine, in a private headless Wine prefix kept in the build directory.
#
# usage: scripts/run-wine-tests.sh <build-dir> [extra ctest arguments]
#
# The prefix is made once (<build-dir>/wineprefix) with no display and without the Mono and Gecko
# installers, which would otherwise ask for a download. One wineserver is kept running for the
# whole ctest run, so each test .exe starts in a fraction of a second, and is stopped at the end.
set -euo pipefail

if [ $# -lt 1 ]; then
  echo "usage: $0 <build-dir> [ctest arguments...]" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
shift

source "$(dirname "$0")/wine-env.sh"

# A server left from the prefix creation (or an earlier run) refuses -p; let it finish first.
if ! "$wineserver" -p 2>/dev/null; then
  "$wineserver" -w
  "$wineserver" -p
fi
trap '"$wineserver" -k 2>/dev/null || true' EXIT
# The first program of a fresh server starts Wine's background services, which inherit its output
# handles and outlive it; started here with /dev/null, they cannot hold a test's output pipe open
# (ctest would wait on it until the time-out).
"$wine" cmd.exe /c exit 0 </dev/null >/dev/null 2>&1 || true

# The end-to-end tests start lunscan.exe through cmd.exe; hand them its Windows path.
if [ -f "$build/sil/lunscan.exe" ]; then
  export LUNSCAN_EXE="Z:$(printf '%s' "$build/sil/lunscan.exe" | tr '/' '\\')"
fi

# A test that hangs under Wine must not hold CI for ctest's default 25 minutes.
ctest --test-dir "$build" --output-on-failure -j "${JOBS:-2}" --timeout 300 "$@"
