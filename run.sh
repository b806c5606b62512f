#!/usr/bin/env bash
# The main job: set up, build, and show the default simulated handheld.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
"$root/tools/setup" >/dev/null
exec "$root/tools/wine-run" "$root/build/bin/rendakctl.exe" status "$@"
