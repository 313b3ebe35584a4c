#!/usr/bin/env bash
# Load benchmark of the HTTP check: the agent on a 100,000-user SQLite
# database against a bare reference server, alternating at concurrency 1, 8
# and 64, then the agent's resident memory after 10,000 and 200,000 checks.
# Loopback only; every run is bounded in time and count.
set -euo pipefail
build=${1:-build-rel}
seconds=${BENCH_SECONDS:-5}
root=$(cd "$(dirname "$0")/.." && pwd)
bin="$root/$build"
work="$bin/bench-run"
rm -rf "$work"
mkdir -p "$work"
cd "$work"

free_port() {
    local p
    while :; do
        p=$((20000 + RANDOM % 20000))
        ss -Htln "sport = :$p" | grep -q . || { echo "$p"; return; }
    done
}
http_port=$(free_port); apib_port=$(free_port); ref_port=$(free_port); closed_port=$(free_port)

echo "Creating users.db (100,000 users, index on the login) ..."
sqlite3 users.db <<'SQL'
CREATE TABLE users(id INTEGER PRIMARY KEY, login TEXT NOT NULL, password TEXT NOT NULL);
WITH RECURSIVE n(k) AS (SELECT 1 UNION ALL SELECT k + 1 FROM n WHERE k < 100000)
INSERT INTO users(id, login, password) SELECT 10000 + k, 'user' || k, 'pass' || k FROM n;
CREATE INDEX users_login ON users(login);
SQL

cat > tovr_merk.ini <<INI
[sql]
type=QSQLITE
dsn=$work/users.db
query=select id from users where login=:s1 and password=:s2
ret_param=id
[server]
port=$apib_port
[http]
port=$http_port
[test]
query1=select count(*) from users
[app]
key2=AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=
config_host=127.0.0.1:$closed_port
INI

cleanup() {
    [ -n "${agent:-}" ] && kill "$agent" 2>/dev/null || true
    [ -n "${ref:-}" ] && kill "$ref" 2>/dev/null || true
    wait 2>/dev/null || true
}
trap cleanup EXIT

t0=$(date +%s%N)
QT_QPA_PLATFORM=offscreen "$bin/tovr_merk_agent" 2>agent-debug.txt &
agent=$!
"$bin/bench/loadgen" --probe "$apib_port,$http_port" --duration 10 >/dev/null
t1=$(date +%s%N)
startup_ms=$(( (t1 - t0) / 1000000 ))
"$bin/bench/refserver" "$ref_port" 12345 &
ref=$!
"$bin/bench/loadgen" --probe "$ref_port" --duration 5 >/dev/null

rss() { awk '/VmRSS/ { print $2 }' "/proc/$agent/status"; }
"$bin/bench/loadgen" --port "$http_port" --concurrency 8 --duration 120 --requests 10000 --users 100000 >/dev/null || true
sleep 0.5
rss10=$(rss)
"$bin/bench/loadgen" --port "$http_port" --concurrency 8 --duration 120 --requests 190000 --users 100000 >/dev/null || true
sleep 0.5
rss200=$(rss)

field() { sed -n "s/.*$1=\([^ ]*\).*/\1/p" <<<"$2"; }
run() { "$bin/bench/loadgen" --port "$1" --concurrency "$2" --duration "$seconds" --users 100000 --expect exist || true; }

printf '\n%-6s %-5s %10s %9s %9s %9s %7s %8s\n' server conc "req/s" "p50 ms" "p99 ms" "max ms" errors ratio
for c in 1 8 64; do
    a=$(run "$http_port" "$c")
    r=$(run "$ref_port" "$c")
    ratio=$(awk -v a="$(field rps "$a")" -v r="$(field rps "$r")" 'BEGIN { printf "%.2f", (r > 0 ? a / r : 0) }')
    for which in agent ref; do
        line=$a; [ "$which" = ref ] && line=$r
        printf '%-6s %-5s %10s %9s %9s %9s %7s %8s\n' "$which" "$c" "$(field rps "$line")" \
            "$(field p50_ms "$line")" "$(field p99_ms "$line")" "$(field max_ms "$line")" \
            "$(( $(field errors "$line") ))" "$([ "$which" = agent ] && echo "$ratio" || echo)"
    done
done

echo
echo "start-up to both listeners listening: ${startup_ms} ms (provisioning server refusing)"
echo "resident memory after 10,000 checks: $((rss10 / 1024)) MB (${rss10} kB)"
echo "resident memory after 200,000 checks: $((rss200 / 1024)) MB (${rss200} kB), growth $(( (rss200 - rss10) )) kB"
