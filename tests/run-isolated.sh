#!/bin/sh
# Runs one test executable with a fresh working directory, HOME and config
# directory, so no test reads or writes a real user's settings.
set -eu
scratch=$(mktemp -d "${TMPDIR:-/tmp}/agent-test.XXXXXX")
trap 'rm -rf "$scratch"' EXIT INT TERM
mkdir -p "$scratch/home" "$scratch/config" "$scratch/work" "$scratch/runtime"
chmod 700 "$scratch/runtime"
export HOME="$scratch/home" XDG_CONFIG_HOME="$scratch/config" XDG_RUNTIME_DIR="$scratch/runtime"
export QT_QPA_PLATFORM=offscreen
# Only read by sanitizer builds: Qt's offscreen plugin leaks its screens at exit.
here=$(cd "$(dirname "$0")" && pwd)
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$here/sanitizer/lsan.supp:print_suppressions=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
cd "$scratch/work"
"$@"
