#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The office's view on a demo server: a PostgreSQL of its own in a temporary folder (Unix
# socket only), its schema and roles made by xrq-series admin, three simulated units
# downloaded by two laptops (each a files folder of its own, pushing with xrq-collect), three
# sites with a swap, the columns' meanings and notes (xrq-series admin), then xrq-office on
# http://127.0.0.1:8080/ (or PORT) until Ctrl+C; everything is removed then.
# Nothing of your own folders or servers is touched. Run after scripts/build.sh, as an
# ordinary user: PostgreSQL's initdb refuses root, so run as root the script runs itself as
# the tests' user xrqtest (which scripts/test.sh makes, run once as root), or says what to do.
# Usage: scripts/office-demo.sh [PORT]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
demo_user=xrqtest
if [ "$(id -u)" -eq 0 ]; then
    if id -u "$demo_user" >/dev/null 2>&1 &&
        runuser -u "$demo_user" -- test -r "$root/scripts/office-demo.sh" -a \
            -x "$root/build/bin/xrq-office"; then
        echo "==> Run as root: the demo runs as the ordinary user $demo_user"
        exec runuser -u "$demo_user" -- env -i PATH="$PATH" HOME=/tmp ${LANG:+LANG="$LANG"} \
            bash "$root/scripts/office-demo.sh" "$@"
    fi
    echo "office-demo: PostgreSQL's server does not run as root, so neither does this demo." \
        "Run it as an ordinary user (one who can read $root), or run scripts/test.sh once" \
        "as root, which makes the user $demo_user and opens the checkout to it, and then" \
        "this script again as root: it then runs itself as $demo_user." >&2
    exit 1
fi
bin=$root/build/bin
port=${1:-8080}
for p in xrq-office xrq-collect xrq-series xrq-unit-sim; do
    [ -x "$bin/$p" ] || { echo "office-demo: $bin/$p is missing: run scripts/build.sh" >&2; exit 1; }
done
pgbin=$(pg_config --bindir 2>/dev/null || true)
[ -x "$pgbin/initdb" ] || pgbin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -1)
[ -x "$pgbin/initdb" ] || { echo "office-demo: PostgreSQL's initdb not found (Debian package postgresql)" >&2; exit 1; }

tmp=$(mktemp -d /tmp/xrq-office-demo.XXXXXX)
sim=""
cleanup() {
    [ -z "$sim" ] || kill "$sim" 2>/dev/null || true
    "$pgbin/pg_ctl" -D "$tmp/pg" -m fast stop >/dev/null 2>&1 || true
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "==> A demo server in $tmp"
printf 'xrq_owner-pw\n' >"$tmp/pw"
"$pgbin/initdb" -D "$tmp/pg" -U xrq_owner --auth=scram-sha-256 --pwfile="$tmp/pw" >"$tmp/initdb.log"
"$pgbin/pg_ctl" -D "$tmp/pg" -l "$tmp/pg.log" -w \
    -o "-c listen_addresses='' -c unix_socket_directories='$tmp'" start >/dev/null
export PGSERVICEFILE=$tmp/pg_service.conf PGPASSFILE=$tmp/pgpass
unset PGHOST PGPORT PGUSER PGDATABASE PGSERVICE
for who in xrq_owner:owner laptop_a:laptop-a laptop_b:laptop-b office_view:office; do
    role=${who%%:*}
    printf '[%s]\nhost=%s\ndbname=xrq\nuser=%s\n\n' "${who#*:}" "$tmp" "$role" >>"$PGSERVICEFILE"
    printf '%s:*:*:%s:%s-pw\n' "$tmp" "$role" "$role" >>"$PGPASSFILE"
done
chmod 600 "$PGPASSFILE"
psql -q "service=owner dbname=postgres" -c "CREATE DATABASE xrq"
"$bin/xrq-series" admin init-server --service owner
for role in laptop_a laptop_b office_view; do
    psql -q "service=owner" -c "CREATE ROLE $role LOGIN PASSWORD '$role-pw'"
done
"$bin/xrq-series" admin grant-laptop --service owner laptop_a
"$bin/xrq-series" admin grant-laptop --service owner laptop_b
"$bin/xrq-series" admin grant-office --service owner office_view

# visit LAPTOP SERIAL SETS RECORDS: one download of a simulated unit by that laptop, pushed.
visit() {
    local laptop=$1 serial=$2 files=$tmp/$1/share/Quorvant/XRQ/
    mkdir -p "$files" "$tmp/$1/data"
    printf '[Server]\nService=%s\nLaptop=%s\n' "${laptop/_/-}" "$laptop" >"$files/fleet.ini"
    XDG_DATA_HOME=$tmp/$laptop/share "$bin/xrq-unit-sim" --port 3 --unpaced --serial "$serial" \
        --generate "$3:$4" --state "$tmp/$serial.state" >/dev/null &
    sim=$!
    local i
    for i in $(seq 50); do [ -e "$files/ports/COM3" ] && break; sleep 0.1; done
    XDG_DATA_HOME=$tmp/$laptop/share QT_QPA_PLATFORM=offscreen "$bin/xrq-collect" --quiet \
        --port 3 --dir "$tmp/$laptop/data/" --battery --push-wait 60 || true
    kill "$sim"
    wait "$sim" 2>/dev/null || true
    sim=""
}
echo "==> Three units, downloaded by two laptops"
visit laptop_a XRQ20001 2 400
visit laptop_a XRQ20002 3 200
visit laptop_b XRQ20001 2 400
visit laptop_b XRQ20003 1 1000

echo "==> Sites, a swap, what the columns mean and a note, as the data manager keeps them"
admin() { "$bin/xrq-series" admin "$1" --service owner "${@:2}" >/dev/null; }
# The units were first seen today: their deployments start today (a deployment before a unit
# existed is refused).
today=$(date -u +%Y-%m-%dT00:00:00)
swap=$(date -u -d '-30 minutes' +%Y-%m-%dT%H:%M:%S)
admin add-site RIVER-01 "Bridge gauge" 8.5417 47.3769 --elevation 408 \
    --description "River gauge at the road bridge, right bank"
admin add-site RIVER-02 "Mill weir" 8.5862 47.3951 --elevation 415 --visit-days 14
admin add-site SPRING-1 "Upper spring" 8.6120 47.4210 --elevation 520
admin deploy XRQ20003 RIVER-01 --from "$today"
admin deploy XRQ20002 RIVER-02 --from "$today"
# The swap: XRQ20003 taken away from the bridge, XRQ20001 put in its place.
admin remove XRQ20003 --at "$swap"
admin deploy XRQ20001 RIVER-01 --from "$swap"
for set in SITE01 SITE02 SITE03; do
    # Fields as the export numbers them: 1 is the time stamp.
    admin set-meaning "$set" 2 "Battery voltage" V --from 2026-01-01
    admin set-meaning "$set" 3 "Water temperature" Cel --from 2026-01-01
    admin set-meaning "$set" 4 "Water level" m --from 2026-01-01
    admin set-meaning "$set" 5 "Conductivity" uS/cm --from 2026-01-01
done
admin add-note --site RIVER-01 --at "$swap" --category maintenance --by Anna \
    "Swapped the logger: XRQ20003's battery was low"
admin add-note --unit XRQ20002 --at "$swap" --category damage --by Ben \
    "Cable gnawed at the weir, taped"

echo "==> xrq-office on http://127.0.0.1:$port/ (Ctrl+C ends the demo)"
"$bin/xrq-office" --service office --listen "127.0.0.1:$port"
