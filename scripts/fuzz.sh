#!/usr/bin/env bash
# Runs every fuzz target for a bounded time on a scratch copy of its corpus.
# A crash leaves its input in build-fuzz/crashes/<target>/; copy it into
# tests/fuzz/corpus/<target>/ once fixed, so the normal test run replays it.
set -euo pipefail
build=${1:-build-fuzz}
seconds=${2:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
status=0
# Every target the build made (tests/fuzz/fuzztargets.h lists them).
for program in "$root/$build"/tests/fuzz/fuzz_*; do
    [ -f "$program" ] && [ -x "$program" ] || continue
    target=${program##*/fuzz_}
    corpus="$root/$build/corpus/$target"
    crashes="$root/$build/crashes/$target"
    mkdir -p "$corpus" "$crashes"
    cp -n "$root/tests/fuzz/corpus/$target/"* "$corpus/" 2>/dev/null || true
    log="$root/$build/fuzz-$target.log"
    if ASAN_OPTIONS=detect_leaks=1 "$root/$build/tests/fuzz/fuzz_$target" "$corpus" \
        -max_total_time="$seconds" -max_len=4096 -artifact_prefix="$crashes/" >"$log" 2>&1; then
        runs=$(grep -o 'Done [0-9]* runs' "$log" | tail -1 || true)
        echo "fuzz $target: ${runs:-done} in ${seconds}s, no crash ($(ls "$corpus" | wc -l) corpus entries)"
    else
        echo "fuzz $target: FAILED, see $log and $crashes"
        tail -30 "$log"
        status=1
    fi
done
exit $status
