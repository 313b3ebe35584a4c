#!/usr/bin/env bash
# Takes docs/dialog.png: the agent on the demo database under Xvfb, after one
# credential check, so the panel shows the start-up lines and a check.
#   scripts/screenshot.sh [BUILD]
set -euo pipefail
build=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/install-deps.sh" imagemagick x11-utils

work=$(DEMO_PREPARE_ONLY=1 bash "$root/scripts/demo.sh" "$build" check)
out="$root/docs/dialog.png"
mkdir -p "$root/docs"

cd "$work"
export AGENT="$root/$build/tovr_merk_agent" OUT="$out"
xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    set -euo pipefail
    unset QT_QPA_PLATFORM
    "$AGENT" >agent-output.txt 2>&1 &
    agent=$!
    title="TOVR/MERK SQL Agent (checker) v3"
    for _ in $(seq 100); do
        xwininfo -name "$title" 2>/dev/null | grep -q "Map State: IsViewable" && break
        sleep 0.1
    done
    curl -s --noproxy "*" "http://127.0.0.1:8880/t/check?username=alice&password=wonderland" >/dev/null
    sleep 1   # the panel draws its queued lines in batches
    id=$(xwininfo -name "$title" | sed -n "s/^xwininfo: Window id: \(0x[0-9a-f]*\).*/\1/p")
    import -window "$id" "$OUT"
    kill -TERM "$agent"
    wait "$agent"
'
echo "Wrote $out"
