#!/bin/sh
# The units lean one way: app uses net, db, crypto, passwords, cache, audit
# and service; db and net never reach up into app nor into each other, and
# crypto, passwords, cache, audit and service into nothing of ours but
# themselves. Prints
# every include that breaks this and fails; silent when there is none.
set -u
root=${1:-$(dirname "$0")/..}
cd "$root" || exit 2
leaves="crypto passwords cache audit service"
bad=$( {
    grep -nE '^#include +"app/' -r db net $leaves
    grep -nE '^#include +"db/' -r net
    grep -nE '^#include +"net/' -r db
    grep -nE '^#include +"(net|db|crypto|passwords|cache|audit|service)/' -r $leaves |
        awk -F: '{ split($1, from, "/"); if ($0 !~ "#include +\"" from[1] "/") print }'
} 2>/dev/null)
[ -z "$bad" ] && exit 0
echo "includes that lean the wrong way:"
echo "$bad"
exit 1
