# Sourced by the Wine scripts with $build set: finds the Wine loader and server, and makes the build's private headless prefix once.
#
# Sets wine, wineserver and the WINE* variables; exits with a message when Wine is missing or the
# prefix cannot be made.
# The loader the build runs its tests with (the toolchain file's emulator), else the usual places.
wine=$(sed -n 's/^SIL_WINE64:FILEPATH=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
if [ -z "$wine" ] || [ ! -x "$wine" ]; then
  for candidate in "$(command -v wine64 || true)" /usr/lib/wine/wine64 "$(command -v wine || true)"; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then wine=$candidate; break; fi
  done
fi
if [ -z "$wine" ]; then
  echo "$(basename "$0"): no Wine loader found (install the windows package set: scripts/ensure-packages.sh windows)" >&2
  exit 1
fi
wineserver=$(command -v wineserver || true)
[ -n "$wineserver" ] || wineserver="$(dirname "$wine")/wineserver64"
[ -x "$wineserver" ] || wineserver="$(dirname "$wine")/wineserver"

export WINEPREFIX="$build/wineprefix"
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
# Wine keeps per-user state under HOME; CI may run without one.
export HOME="${HOME:-$build}"

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "$(basename "$0"): creating the Wine prefix $WINEPREFIX"
  rm -rf "$WINEPREFIX"
  timeout 600 "$wine" wineboot -i </dev/null >"$build/wineboot.log" 2>&1 || {
    echo "$(basename "$0"): wineboot failed; its output:" >&2
    cat "$build/wineboot.log" >&2
    exit 1
  }
fi

