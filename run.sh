#!/usr/bin/env bash
# The main job: set up, build, and start the device console and the control
# panel together on the default simulated handheld. With a display both open
# as real windows; without one, each is drawn on a virtual display and saved
# as a PNG whose path is printed.
#
#   ./run.sh [--arch i686|x86_64]
#
# The 32-bit build (i686, build-i686/), which has the device's own data layout,
# runs by default; --arch x86_64 runs the 64-bit build (build/) instead. Each
# build keeps its own Wine prefix and so its own devices. On a machine that
# cannot run 32-bit programs (tools/wine-probe says why), the 64-bit build runs
# instead, and says so; --arch i686 is refused there.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
arch=
if [ "${1:-}" = --arch ]; then
  arch=${2:-}
  shift 2 || true
fi
case $arch in
  "" | i686 | x86_64) ;;
  *) echo "usage: ./run.sh [--arch i686|x86_64]" >&2; exit 2 ;;
esac
# Installed first, so that the probe can say why 32-bit Wine cannot run.
"$root/tools/setup" --arch "${arch:-i686}" --no-build
if [ "${arch:-i686}" = i686 ] && ! reason=$("$root/tools/wine-probe" i686); then
  if [ "$arch" = i686 ]; then
    echo "run.sh: cannot run the i686 build here: $reason (./run.sh runs the x86_64 build)" >&2
    exit 2
  fi
  echo "run.sh: running the x86_64 build (build/): $reason; on a machine that runs 32-bit programs, ./run.sh runs the i686 build, with the device's own data layout" >&2
  arch=x86_64
fi
arch=${arch:-i686}
case $arch in
  i686) build=$root/build-i686 ;;
  x86_64) build=$root/build ;;
esac
"$root/tools/setup" --arch "$arch" >/dev/null
if [ -n "${DISPLAY:-}" ]; then
  echo "run.sh: the device console opens beside the panel; it stays when the panel ends" >&2
  "$root/tools/wine-run" "$build/bin/handheld-console.exe" --device default \
    --beside "Wrapper AP for Wi-Fi DLL" &
  exec "$root/tools/run-panel" --build "$build" "$@"
fi
"$root/tools/run-panel" --build "$build" "$@"
echo "run.sh: no display; drawing the device console on a virtual display" >&2
shot=$("$root/tools/screenshot-console" --build "$build" --out "$build/screenshots/console.png")
echo "The device console, as drawn: $shot"
