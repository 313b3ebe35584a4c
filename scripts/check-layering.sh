#!/bin/sh
# The units lean one way: app uses net, db, crypto, passwords and cache; db
# and net never reach up into app, net never into db, crypto, passwords and
# cache into nothing of ours. Prints every
# include that breaks this and fails; silent when there is none.
set -u
root=${1:-$(dirname "$0")/..}
cd "$root" || exit 2
bad=$( {
    grep -nE '^#include +"app/' -r db net crypto passwords cache
    grep -nE '^#include +"db/' -r net crypto passwords cache
    grep -nE '^#include +"net/' -r db crypto passwords cache
} 2>/dev/null)
[ -z "$bad" ] && exit 0
echo "includes that lean the wrong way:"
echo "$bad"
exit 1
