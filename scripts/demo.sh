#!/usr/bin/env bash
# Starts the agent on the demo database, in a working directory under the build
# folder, and prints what to try.
#   scripts/demo.sh [BUILD] [check|lookup]
#     check  (make demo)         the HTTP credential check, on port 8880
#     lookup (make demo-lookup)  the parameter lookup, on port 18210
# One sql/query serves both services and no statement can be both, so each has
# its own agent; the two can run side by side.
set -euo pipefail
build=${1:-build}
mode=${2:-check}
root=$(cd "$(dirname "$0")/.." && pwd)

case "$mode" in
    check) ini=tovr_merk.ini ;;
    lookup) ini=tovr_merk-lookup.ini ;;
    *) echo "usage: $0 [BUILD] [check|lookup]" >&2; exit 2 ;;
esac

agent="$root/$build/tovr_merk_agent"
client="$root/$build/tovr_merk_lookup"
[ -x "$agent" ] || { echo "No agent at $agent: build first (make build)." >&2; exit 1; }
command -v sqlite3 >/dev/null || {
    echo "The demo database is made with the sqlite3 command: bash scripts/install-deps.sh" >&2
    exit 1
}

# The database is made afresh at every start, so each demo starts from the same data.
demo="$root/$build/demo"
work="$demo/$mode"
mkdir -p "$work"
rm -f "$demo/demo.sqlite.new"
sqlite3 "$demo/demo.sqlite.new" < "$root/demo/demo.sql"
mv -f "$demo/demo.sqlite.new" "$demo/demo.sqlite"
cp "$root/demo/$ini" "$work/tovr_merk.ini"
# Other scripts (the screenshot) want the working directory, not the agent.
[ -n "${DEMO_PREPARE_ONLY:-}" ] && { echo "$work"; exit 0; }

if [ -n "${QT_QPA_PLATFORM:-}" ]; then
    echo "Qt platform: $QT_QPA_PLATFORM (from QT_QPA_PLATFORM)."
elif [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
    echo "The agent opens its window on your display."
else
    echo "No display found: running with QT_QPA_PLATFORM=offscreen (the dialog is not visible)."
    export QT_QPA_PLATFORM=offscreen
fi

out="$work/agent-output.txt"
rel() { echo "${1#"$root"/}"; }
echo "Working directory: $(rel "$work") (tovr_merk.ini, debug-log.txt)"
echo "Database:          $(rel "$demo")/demo.sqlite, made from demo/demo.sql"
echo "Diagnostics:       $(rel "$out")   (tail -f it to watch)"
echo
if [ "$mode" = check ]; then
    cat <<TRY
Try, from another terminal:

  curl -s --noproxy '*' 'http://127.0.0.1:8880/t/check?username=alice&password=wonderland'
      answers {"rez":"exist","userid":"1001"}
  curl -s --noproxy '*' 'http://127.0.0.1:8880/t/check?username=alice&password=wrong'
      answers {"rez":"notfount","e":"n"}
  (user0001 ... user5000 with pass0001 ... pass5000 answer 20001 ... 25000)

The lookup needs a statement of its own, so it has its own demo agent:

  make demo-lookup
  $(rel "$client") 1001
      prints 1001, once you have dismissed the agent's two message boxes
TRY
else
    cat <<TRY
Try, from another terminal:

  $(rel "$client") 1001
      prints 1001 (reservation 1001 has arrived)
  $(rel "$client") 1003
      prints none (1003 has not arrived yet)

The agent shows every lookup to its operator first: dismiss its message box
"In param: 1001", then "Return param: 1001", and the client prints the answer.
TRY
    if [ "${QT_QPA_PLATFORM:-}" = offscreen ]; then
        echo
        echo "Offscreen, nobody can dismiss those boxes: the client waits for its time-out"
        echo "(30 s, exit code 4). Run the lookup demo where a display is available."
    fi
fi
echo
echo "Stop the agent with its Quit button or Ctrl-C; either way it writes its settings."
cd "$work"
exec "$agent" >"$out" 2>&1
