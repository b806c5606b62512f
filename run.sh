#!/usr/bin/env bash
# The main job: set up, build, and start the device console and the control
# panel together on the default simulated handheld. With a display both open
# as real windows; without one, each is drawn on a virtual display and saved
# as a PNG whose path is printed.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
"$root/tools/setup" >/dev/null
if [ -n "${DISPLAY:-}" ]; then
  echo "run.sh: the device console opens beside the panel; it stays when the panel ends" >&2
  "$root/tools/wine-run" "$root/build/bin/handheld-console.exe" --device default \
    --beside "Wrapper AP for Wi-Fi DLL" &
  exec "$root/tools/run-panel" "$@"
fi
"$root/tools/run-panel" "$@"
echo "run.sh: no display; drawing the device console on a virtual display" >&2
shot=$("$root/tools/screenshot-console" --build "$root/build" --out "$root/build/screenshots/console.png")
echo "The device console, as drawn: $shot"
