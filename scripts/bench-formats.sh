#!/usr/bin/env bash
# Stored passwords per format, at the costs the applications write by default:
# checks per second through the agent (the HTTP check on SQLite with
# sql/password_column and one verifying thread, two checks in flight so the
# thread never waits) against the application's own verifier in Python on one
# thread, on the same value. At these costs a verification takes milliseconds
# to a tenth of a second, so the HTTP round trip, answered by the dialog's
# thread beside the verifying one, does not count.
#   bench-formats.sh BUILD_DIR [SECONDS]
# scripts/bench.sh runs it in its stored passwords section; alone it needs
# only a build (tovr_merk_agent, bench/loadgen) and the Debian packages
# python3-passlib, python3-django and python3-werkzeug.
set -euo pipefail
bin=$(cd "$1" && pwd)
seconds=${2:-5}
py=/usr/bin/python3
work=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
free() { $py -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }

# One user per format, its value made by the application's library (ASP.NET
# Identity's from its published layout, as tests/passwords/layouts.py makes
# it), with the costs each writes: WordPress's PasswordHash(8) is 2^13 phpass
# rounds, Django 3.2 and Werkzeug 2.2 260,000 PBKDF2 iterations, ASP.NET Core
# Identity 100,000 (HMAC-SHA256 before .NET 7, HMAC-SHA512 since).
$py - "$work/users.db" <<'PY'
import base64, hashlib, os, sqlite3, struct, sys
from django.conf import settings
settings.configure()
from django.contrib.auth.hashers import PBKDF2PasswordHasher, make_password
from passlib.hash import phpass
from werkzeug.security import generate_password_hash

def identity(prf, digest):
    salt = os.urandom(16)
    key = hashlib.pbkdf2_hmac(digest, b"pass1", salt, 100000, 32)
    return base64.b64encode(struct.pack(">BIII", 1, prf, 100000, 16) + salt + key).decode()

rows = [("wordpress_phpass", phpass.using(rounds=13).hash("pass1")),
        ("django_pbkdf2_sha256", make_password("pass1", hasher=PBKDF2PasswordHasher())),
        ("werkzeug_pbkdf2_sha256", generate_password_hash("pass1", "pbkdf2:sha256:260000")),
        ("aspnet_v3_sha256", identity(1, "sha256")),
        ("aspnet_v3_sha512", identity(2, "sha512"))]
db = sqlite3.connect(sys.argv[1])
db.execute("CREATE TABLE users(id INTEGER PRIMARY KEY, login TEXT NOT NULL, pw TEXT NOT NULL)")
db.executemany("INSERT INTO users(login, pw) VALUES (?, ?)", rows)
db.commit()
PY

http=$(free)
printf '[sql]\ntype=QSQLITE\ndsn=%s\nquery="select id, pw from users where login=:s1"\nret_param=id\n%s\n' \
    "$work/users.db" $'password_column=pw\nhash_threads=1' >"$work/tovr_merk.ini"
printf '[http]\nport=%s\n[server]\nport=%s\n[app]\nconfig_host=\n' "$http" "$(free)" >>"$work/tovr_merk.ini"
(cd "$work" && HOME=$work QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES='*.debug=false' \
    exec "$bin/tovr_merk_agent" >/dev/null 2>agent.err) &
pid=$!
"$bin/bench/loadgen" --probe "$http" --duration 10 >/dev/null

# python_rate NAME: verifications a second of NAME's value by its application's
# verifier, on this thread, for the run's seconds.
python_rate() {
    $py - "$work/users.db" "$1" "$seconds" <<'PY'
import base64, hashlib, hmac, sqlite3, struct, sys, time
from django.conf import settings
settings.configure()
from django.contrib.auth.hashers import check_password
from passlib.hash import phpass
from werkzeug.security import check_password_hash

def identity(stored):
    raw = base64.b64decode(stored)
    prf, count, length = struct.unpack(">III", raw[1:13])
    salt, key = raw[13:13 + length], raw[13 + length:]
    derived = hashlib.pbkdf2_hmac(("sha1", "sha256", "sha512")[prf], b"pass1", salt, count, len(key))
    return hmac.compare_digest(derived, key)

verify = {"wordpress_phpass": lambda h: phpass.verify("pass1", h),
          "django_pbkdf2_sha256": lambda h: check_password("pass1", h),
          "werkzeug_pbkdf2_sha256": lambda h: check_password_hash(h, "pass1"),
          "aspnet_v3_sha256": identity, "aspnet_v3_sha512": identity}[sys.argv[2]]
stored = sqlite3.connect(sys.argv[1]).execute("SELECT pw FROM users WHERE login = ?", (sys.argv[2],)).fetchone()[0]
n, start = 0, time.monotonic()
while time.monotonic() - start < float(sys.argv[3]):
    assert verify(stored)
    n += 1
print("%.1f" % (n / (time.monotonic() - start)))
PY
}

printf '%-24s %12s %12s %7s\n' format 'agent /s' 'Python /s' ratio
for name in wordpress_phpass django_pbkdf2_sha256 werkzeug_pbkdf2_sha256 aspnet_v3_sha256 aspnet_v3_sha512; do
    start=$(date +%s.%N)
    line=$("$bin/bench/loadgen" --port "$http" --concurrency 2 --duration "$seconds" --expect exist \
        --raw "GET /t/check?username=$name&password=pass1 HTTP/1.0"$'\r\n\r\n')
    took=$($py -c "import sys, time; print(time.time() - float(sys.argv[1]))" "$start")
    errors=$(sed -n 's/.*errors=\([0-9]*\).*/\1/p' <<<"$line")
    agent=$(sed -n 's/^requests=\([0-9]*\).*/\1/p' <<<"$line" | awk -v t="$took" '{ printf "%.1f", $1 / t }')
    python=$(python_rate "$name")
    printf '%-24s %12s %12s %7s%s\n' "$name" "$agent" "$python" \
        "$(awk -v a="$agent" -v p="$python" 'BEGIN { printf "%.2f", (p > 0 ? a / p : 0) }')" \
        "$([ "$errors" = 0 ] || echo "  ($errors answers not found)")"
done
