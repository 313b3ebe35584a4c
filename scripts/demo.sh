#!/usr/bin/env bash
# Starts the agent in a scratch working directory under the build folder.
set -euo pipefail
build=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
work="$root/$build/demo-run"
mkdir -p "$work"
cd "$work"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "No display found: running with QT_QPA_PLATFORM=offscreen (the dialog is not visible)."
    export QT_QPA_PLATFORM=offscreen
fi
echo "Working directory: $work"
exec "$root/$build/tovr_merk_agent"
