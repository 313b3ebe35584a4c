#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the demo and the package need.
# As root it runs apt-get itself; otherwise it prints the command and stops.
#   scripts/install-deps.sh          everything (make test, make bench, make fuzz, CI)
#   scripts/install-deps.sh demo     only what make demo runs: the programs' build
#                                    and runtime, SQLite's driver and command line,
#                                    and curl to try the check
#   scripts/install-deps.sh --list [demo]   prints the list, one package a line
# apt-get runs with --no-install-recommends, so a list names every package whose
# files the build reads, unless a Depends of a listed package brings it;
# scripts/check-headers.sh holds each build's headers to its list.
set -euo pipefail

list_only=
if [ "${1:-}" = --list ]; then
    list_only=1
    shift
fi

if [ "${1:-}" = demo ]; then
    shift
    # unixodbc-dev: db/odbc.cpp includes <sql.h>; libsystemd-dev: the notify protocol;
    # curl: what scripts/demo.sh tells the user to try the check with;
    # libhttp-parser-dev: the sign-in listener's request reading.
    packages=(cmake make g++ pkg-config qtbase5-dev qtbase5-dev-tools libqt5sql5-sqlite sqlite3
              libcrypt-dev libargon2-dev libssl-dev unixodbc-dev libsystemd-dev libhttp-parser-dev curl)
else
packages=(
    cmake make g++ pkg-config
    qtbase5-dev qtbase5-dev-tools
    libqt5sql5-sqlite libqt5sql5-psql
    libqt5sql5-mysql libqt5sql5-ibase libqt5sql5-odbc
    postgresql mariadb-server mariadb-client firebird3.0-server firebird3.0-utils
    unixodbc unixodbc-dev odbc-postgresql odbc-mariadb
    libssl-dev libbenchmark-dev libcrypt-dev libargon2-dev libsystemd-dev libhttp-parser-dev
    whois argon2 python3-passlib python3-bcrypt
    # The applications' own libraries that made tst_passwords' vectors, to make them again.
    python3-django python3-argon2 python3-werkzeug php-cli
    sqlite3 xvfb xauth
    python3 gnuplot-nox
    dpkg-dev lintian haproxy curl openssl clang-format
    # The audit log's fail2ban filter and logrotate file, checked by their own tools.
    fail2ban logrotate
    # The sign-in listener behind the reverse proxies it ships configurations
    # for (tst_signin), and nginx's own auth_basic on an htpasswd file, which
    # make bench measures it against.
    nginx-light caddy apache2-utils
    # make fuzz: clang, and the runtimes of libFuzzer and the sanitizers that clang
    # only recommends (libclang-rt-dev brings them for the default clang).
    clang libclang-rt-dev
)
fi
[ "$#" -gt 0 ] && packages+=("$@")

if [ -n "$list_only" ]; then
    printf '%s\n' "${packages[@]}"
    exit 0
fi

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
    [ "$status" = installed ] || missing+=("$p")
done
[ "${#missing[@]}" -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages: ${missing[*]}" >&2
    echo "Install them with:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    exit 1
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
