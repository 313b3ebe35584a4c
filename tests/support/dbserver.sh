#!/usr/bin/env bash
# A private MariaDB or Firebird server for the tests and the benchmark: its
# files in one directory, listening on loopback only, with the database
# "agentdb" (Firebird: the file DIR/agent.fdb) and the user "agent",
# password "s3cret-Pw".
#
#   dbserver.sh mariadb|firebird DIR setup PORT [WATCH_PID]
#       makes the server in DIR and starts it on PORT; with WATCH_PID, the
#       server is stopped and DIR removed once that process has ended
#   dbserver.sh KIND DIR start|stop     start again, or shut down cleanly
#   dbserver.sh KIND DIR pid            the server's process id
set -euo pipefail
kind=$1 dir=$2 command=$3
User=agent Password=s3cret-Pw
WaitTenths=300 # for the server to come up or go down

wait_for() { # a condition, re-tested every tenth of a second
    for _ in $(seq "$WaitTenths"); do eval "$1" && return 0; sleep 0.1; done
    echo "dbserver: $kind: gave up waiting for: $1" >&2
    return 1
}
# A server killed outright may stay a zombie where nothing reaps orphans: not running.
running() {
    [ -s "$dir/pid" ] && kill -0 "$(cat "$dir/pid")" 2>/dev/null &&
        ! grep -q ') Z' "/proc/$(cat "$dir/pid")/stat" 2>/dev/null
}
listening() { (exec 3<>"/dev/tcp/127.0.0.1/$(cat "$dir/port")") 2>/dev/null; }

# ---- MariaDB ----------------------------------------------------------------
mariadb_options() {
    echo --no-defaults --datadir="$dir/data" --socket="$dir/socket" --user=root \
        --skip-name-resolve --innodb-buffer-pool-size=16M --innodb-log-file-size=4M
}
mariadb_setup() {
    # shellcheck disable=SC2046
    mariadb-install-db $(mariadb_options) --auth-root-authentication-method=normal \
        --skip-test-db >"$dir/install.log" 2>&1
    mariadb_start
    mariadb --no-defaults --socket="$dir/socket" -uroot <<SQL
CREATE DATABASE agentdb CHARACTER SET utf8mb4;
CREATE USER '$User'@'127.0.0.1' IDENTIFIED BY '$Password';
CREATE USER '$User'@'localhost' IDENTIFIED BY '$Password';
GRANT ALL ON agentdb.* TO '$User'@'127.0.0.1';
GRANT ALL ON agentdb.* TO '$User'@'localhost';
SQL
}
mariadb_start() {
    # shellcheck disable=SC2046
    setsid mariadbd $(mariadb_options) --port="$(cat "$dir/port")" --bind-address=127.0.0.1 \
        --pid-file="$dir/pid" --log-error="$dir/server.log" </dev/null >/dev/null 2>&1 &
    wait_for "running && listening"
}
mariadb_stop() {
    local pid; pid=$(cat "$dir/pid")
    mariadb-admin --no-defaults --socket="$dir/socket" -uroot shutdown >/dev/null 2>&1 || kill "$pid"
    wait_for "! kill -0 $pid 2>/dev/null"
}

# ---- Firebird ---------------------------------------------------------------
# The server finds its configuration, its messages, its security database and
# its lock files through these; the clients run embedded for the set-up.
firebird_env() {
    export FIREBIRD="$dir" FIREBIRD_LOCK="$dir/lock" FIREBIRD_TMP="$dir/lock"
}
firebird_setup() {
    local lib=/usr/lib/x86_64-linux-gnu/firebird/3.0
    [ -d "$lib" ] || lib=$(dirname "$(find /usr/lib -path '*firebird/3.0/plugins' -type d | head -n 1)")
    for f in plugins intl lib UDF firebird.msg; do ln -s "$lib/$f" "$dir/$f"; done
    cp /etc/firebird/3.0/plugins.conf "$dir/"
    cp /var/lib/firebird/3.0/system/security3.fdb "$dir/"
    mkdir -p "$dir/lock"
    cat >"$dir/firebird.conf" <<CONF
RemoteServicePort = $(cat "$dir/port")
RemoteBindAddress = 127.0.0.1
SecurityDatabase = $dir/security3.fdb
CONF
    printf 'security.db = %s/security3.fdb\n{\n\tRemoteAccess = false\n}\n' "$dir" >"$dir/databases.conf"
    firebird_env
    isql-fb -q -user SYSDBA security.db >"$dir/install.log" 2>&1 <<SQL
CREATE USER $User PASSWORD '$Password';
COMMIT;
SQL
    isql-fb -q >>"$dir/install.log" 2>&1 <<SQL
CREATE DATABASE '$dir/agent.fdb' USER '$User' DEFAULT CHARACTER SET UTF8;
COMMIT;
SQL
    firebird_start
}
firebird_start() {
    firebird_env
    setsid /usr/sbin/firebird </dev/null >>"$dir/server.log" 2>&1 &
    echo $! >"$dir/pid"
    wait_for "listening"
}
firebird_stop() {
    local pid; pid=$(cat "$dir/pid")
    kill "$pid"
    wait_for "! kill -0 $pid 2>/dev/null"
}

case "$command" in
setup)
    server=mariadbd package=mariadb-server
    [ "$kind" = firebird ] && server=isql-fb package=firebird3.0-server
    PATH=$PATH:/usr/sbin command -v "$server" >/dev/null || { echo "no $server: install the Debian package $package"; exit 1; }
    mkdir -p "$dir"
    echo "$4" >"$dir/port"
    if [ -n "${5:-}" ]; then
        # Waits for the test to end, then takes the server and its files with it.
        setsid bash -c 'while kill -0 "$1" 2>/dev/null; do sleep 1; done
                        [ -s "$2/pid" ] && kill -9 "$(cat "$2/pid")"; rm -rf "$2"' \
            dbserver-watchdog "$5" "$dir" </dev/null >/dev/null 2>&1 &
    fi
    "${kind}_setup" ;;
start) running || "${kind}_start" ;;
stop) ! running || "${kind}_stop" ;;
pid) cat "$dir/pid" ;;
*) echo "dbserver: unknown command $command" >&2; exit 2 ;;
esac
