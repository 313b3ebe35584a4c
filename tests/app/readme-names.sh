#!/bin/sh
# Every name the README gives a reader to type or look for exists: the
# repository's files and folders, the Makefile's targets, the settings keys
# (dist/tovr_merk.ini holds exactly them, tst_exampleini sees to it), each of
# them with a row in the configuration table, and the metrics a running agent
# serves. Each miss is printed with its README line.
#   readme-names.sh SOURCE_DIR AGENT_PROGRAM
set -u
src=$1 agent=$2
readme=$src/README.md
work=$(mktemp -d)
trap 'kill "${pid:-}" 2>/dev/null; wait; rm -rf "$work"' EXIT
# The checks below run in pipelines' subshells: each miss goes into a file.
miss() { echo "README.md:$1" | tee -a "$work/misses" >&2; }

keys=$(awk -F= '/^\[/ { s = substr($0, 2, length($0) - 2) } /^[a-z0-9_]+=/ { print s "/" $1 }' \
    "$src/dist/tovr_merk.ini" | sort -u)
# Code: whole lines of fenced blocks, and the code spans of the others, as "line<TAB>text".
code=$(awk '/^```/ { fenced = !fenced; next } fenced { print NR "\t" $0; next }
    { s = $0; while (match(s, /`[^`]+`/)) { print NR "\t" substr(s, RSTART + 1, RLENGTH - 2); s = substr(s, RSTART + RLENGTH) } }' "$readme")

folders=$(cd "$src" && ls -d -- */ .ci | sed 's#/$##' | grep -v '^build' | paste -sd'|')
grep -noP "(?<![\w./~\$-])(?:$folders)/[\w./-]*[\w/]" "$readme" | while IFS=: read -r line path; do
    [ -e "$src/$path" ] || [ -e "$src/$path.cpp" ] || echo "$keys" | grep -qxF "$path" ||
        miss "$line: $path is not in the repository"
done

printf '%s\n' "$code" | while IFS="$(printf '\t')" read -r line text; do
    for target in $(printf '%s\n' "$text" | grep -oP '(?:^|[\s;&(])make(?: +(?:-\S+|\w+=\S*))* +\K[a-z][\w-]*'); do
        grep -qE "^([^ :#]+ )*$target( [^ :]+)*:([^=]|\$)" "$src/Makefile" || miss "$line: make $target is no target of the Makefile"
    done
    case $text in *[!a-z0-9_/]* | */*/* | */) continue ;; */*) ;; *) continue ;; esac
    if echo "$keys" | grep -q "^${text%%/*}/" && ! echo "$keys" | grep -qxF "$text"; then
        miss "$line: $text is no settings key"
    fi
done
for key in $keys; do
    grep -qF "| \`$key\` |" "$readme" || miss "0: $key has no row in the configuration table"
done

# The metrics of an agent with every optional family on: HTTPS, stored
# passwords, the verdict cache, the throttle, the audit log, the sign-in listener.
free() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
admin=$(free)
cd "$work" && sqlite3 users.db 'create table users(login text, pw text, uid text)' &&
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=localhost \
        -keyout key.pem -out cert.pem 2>/dev/null || exit 1
printf '[sql]\ntype=QSQLITE\ndsn=users.db\nquery="select uid, pw from users where login=:s1"\nret_param=uid\n%s\n' \
    'password_column=pw' >tovr_merk.ini
printf '[http]\nport=%s\nthrottle=5\n[server]\nport=0\n[https]\nport=%s\ncertificate=cert.pem\nkey=key.pem\n' \
    "$(free)" "$(free)" >>tovr_merk.ini
printf '[admin]\nport=%s\n[cache]\nttl=60\n[app]\nconfig_host=\n[log]\naudit=audit.log\n[auth]\nport=%s\n' "$admin" "$(free)" \
    >>tovr_merk.ini
HOME=$work QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES='*.debug=false' "$agent" 2>agent.err &
pid=$!
for _ in $(seq 200); do
    served=$(curl -sf --noproxy '*' "http://127.0.0.1:$admin/metrics") && break
    sleep 0.1
done
[ -n "${served:-}" ] || { cat agent.err >&2; miss "0: no agent answered /metrics"; }
grep -noP '(?<![\w/.-])tovr_merk_[a-z0-9_]+(?![\w/]|\.[A-Za-z])' "$readme" | grep -vE ':tovr_merk_(agent|lookup)$' |
    while IFS=: read -r line name; do
        printf '%s\n' "$served" | grep -qE "^(# TYPE )?$name(_bucket|_sum|_count)?[{ ]" ||
            miss "$line: $name is not served on /metrics"
    done
grep -noP '(\.\.\.|…)_[a-z0-9_]+' "$readme" | while IFS=: read -r line name; do miss "$line: $name is a metric name cut short"; done
[ ! -s "$work/misses" ]
