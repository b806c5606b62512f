#!/usr/bin/env bash
# The main job: set up, build, and start the control panel on the default
# simulated handheld (with a display: the real dialog; without one: a
# screenshot of it from a virtual display).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
"$root/tools/setup" >/dev/null
exec "$root/tools/run-panel" "$@"
