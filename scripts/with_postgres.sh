#!/usr/bin/env bash
# Runs a command against a throw-away PostgreSQL 15 server with the records schema loaded:
#   bash scripts/with_postgres.sh COMMAND [ARG]...
# The server is Debian's (/usr/lib/postgresql/15/bin), made by initdb in a temporary folder,
# owned by an unprivileged user when run as root (initdb refuses root), listening only on
# 127.0.0.1 on a free port, its unix socket in the temporary folder. It never touches the
# machine's own cluster. docs/records.sql is loaded into the database "lumaflash"; the station and
# reader roles get random passwords, written into a password file of their own. Over TCP the server
# takes only TLS with SCRAM: its certificate (for 127.0.0.1 and localhost) comes from a CA that this
# script makes, and a second CA that signed nothing here stands for the wrong one.
# The command sees:
#   PGHOST=127.0.0.1 PGPORT PGDATABASE=lumaflash PGPASSFILE (both roles' passwords)
#   PGSSLMODE=verify-full PGSSLROOTCERT (for psql and the like)
#   LUMAFLASH_PG_CA           the CA certificate that signed the server's
#   LUMAFLASH_PG_OTHER_CA     a CA certificate that did not
#   LUMAFLASH_PG_STATION_URI  postgresql://lumaflash_station@127.0.0.1:PORT/lumaflash?sslmode=verify-full
#                             &sslrootcert=CA&channel_binding=require
#   LUMAFLASH_PG_READER_URI   the same for lumaflash_reader
#   LUMAFLASH_PG_ADMIN        connection string of the superuser (over the unix socket)
#   LUMAFLASH_PG_CTL          runs pg_ctl on this cluster as its owner ("$LUMAFLASH_PG_CTL stop
#                             -m immediate", "$LUMAFLASH_PG_CTL start")
# The server is stopped (pg_ctl stop -m fast) and the folder removed on every path: success,
# failure, Ctrl+C, SIGTERM. The exit status is the command's.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
pg_bin=${LUMAFLASH_PG_BIN:-/usr/lib/postgresql/15/bin}

fail() {
  echo "with_postgres: $*" >&2
  exit 1
}

(($# > 0)) || {
  echo "usage: with_postgres.sh COMMAND [ARG]..." >&2
  exit 2
}
for tool in initdb pg_ctl postgres; do
  [[ -x $pg_bin/$tool ]] || fail "$pg_bin/$tool is missing; run scripts/setup.sh (it installs postgresql-15)."
done
command -v psql >/dev/null || fail "psql is missing; run scripts/setup.sh (it installs postgresql-15)."
command -v openssl >/dev/null || fail "openssl is missing; run scripts/setup.sh (it installs openssl)."

work=$(mktemp -d "${TMPDIR:-/tmp}/lumaflash-pg.XXXXXX")
data="$work/data"
socket_dir="$work/socket"
owner=()
if ((EUID == 0)); then
  chown nobody: "$work"
  chmod 0711 "$work"
  owner=(runuser -u nobody --)
fi
pg_ctl_as_owner() {
  "${owner[@]}" "$pg_bin/pg_ctl" -D "$data" -l "$work/server.log" -w -t 60 "$@"
}

started=0
cleanup() {
  local status=$?
  trap - EXIT INT TERM HUP
  if ((started)) && [[ -f $data/postmaster.pid ]]; then
    pg_ctl_as_owner stop -m fast >/dev/null 2>&1 ||
      pg_ctl_as_owner stop -m immediate >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
# The command runs in the background so that a signal reaches this script at once (bash holds a
# trap until a foreground command ends); the command is told to stop and waited for, then the
# server goes.
child=""
on_signal() {
  if [[ -n $child ]]; then
    kill -TERM "$child" 2>/dev/null
    wait "$child" 2>/dev/null
  fi
  exit "$1"
}
trap 'on_signal 130' INT
trap 'on_signal 143' TERM
trap 'on_signal 129' HUP

"${owner[@]}" mkdir -m 0700 "$socket_dir"
"${owner[@]}" "$pg_bin/initdb" -D "$data" -N -U postgres -E UTF8 --locale=C.UTF-8 \
  --auth-local=trust --auth-host=scram-sha-256 >"$work/initdb.log" 2>&1 ||
  fail "initdb failed: $(cat "$work/initdb.log")"

# make_ca NAME: a CA certificate and key, NAME.crt and NAME.key in the folder, for this run only.
make_ca() {
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj "/CN=Lumaflash test $1" -addext basicConstraints=critical,CA:TRUE \
    -addext keyUsage=critical,keyCertSign,cRLSign \
    -keyout "$work/$1.key" -out "$work/$1.crt" 2>>"$work/tls.log"
}
make_ca ca || fail "openssl could not make a CA: $(cat "$work/tls.log")"
make_ca other-ca || fail "openssl could not make a CA: $(cat "$work/tls.log")"
openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=localhost \
  -keyout "$work/server.key" -out "$work/server.csr" 2>>"$work/tls.log" &&
  openssl x509 -req -in "$work/server.csr" -CA "$work/ca.crt" -CAkey "$work/ca.key" \
    -CAcreateserial -days 2 -out "$work/server.crt" -extfile <(printf '%s\n' \
      "subjectAltName=IP:127.0.0.1,DNS:localhost" "extendedKeyUsage=serverAuth") \
    2>>"$work/tls.log" || fail "openssl could not make the server's certificate: $(cat "$work/tls.log")"
rm -f "$work/ca.key" "$work/other-ca.key" "$work/server.csr" "$work/ca.srl"
chmod 0644 "$work/ca.crt" "$work/other-ca.crt" "$work/server.crt"
chmod 0600 "$work/server.key"
((EUID != 0)) || chown nobody: "$work/server.key"
# Over TCP only TLS with SCRAM: the server turns away a client that tries anything else too.
"${owner[@]}" tee "$data/pg_hba.conf" >/dev/null <<'EOF'
local    all all              trust
hostssl  all all 127.0.0.1/32 scram-sha-256
EOF

free_port() {
  python3 -c 'import socket
s = socket.socket()
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])'
}

# Another program may take the port between the probe and the start: try a few.
for _ in 1 2 3 4 5; do
  port=$(free_port)
  # In the configuration file, not on pg_ctl's command line, so that a plain start after a
  # hard stop comes back on the same address.
  "${owner[@]}" tee -a "$data/postgresql.conf" >/dev/null <<EOF
listen_addresses = '127.0.0.1'
port = $port
unix_socket_directories = '$socket_dir'
ssl = on
ssl_cert_file = '$work/server.crt'
ssl_key_file = '$work/server.key'
EOF
  started=1
  if pg_ctl_as_owner start >/dev/null 2>&1; then
    break
  fi
  started=0
done
((started)) || fail "the server did not start: $(tail -n 5 "$work/server.log")"

admin="host=$socket_dir port=$port user=postgres"
export PGPASSFILE="$work/pgpass"
station_password=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
reader_password=$(od -An -N16 -tx1 /dev/urandom | tr -d ' \n')
{
  echo "127.0.0.1:$port:lumaflash:lumaflash_station:$station_password"
  echo "127.0.0.1:$port:lumaflash:lumaflash_reader:$reader_password"
} >"$PGPASSFILE"
chmod 0600 "$PGPASSFILE"

psql_admin() {
  psql -X -q -v ON_ERROR_STOP=1 "$admin dbname=$1" "${@:2}"
}
psql_admin postgres -c "CREATE DATABASE lumaflash" >/dev/null
psql_admin lumaflash -f "$root/docs/records.sql" >"$work/schema.log" 2>&1 ||
  fail "docs/records.sql did not load: $(cat "$work/schema.log")"
# The passwords go in through psql variables, so they never appear in a process list.
psql_admin lumaflash -v station="$station_password" -v reader="$reader_password" >/dev/null <<'SQL'
ALTER ROLE lumaflash_station PASSWORD :'station';
ALTER ROLE lumaflash_reader PASSWORD :'reader';
SQL

cat >"$work/pg_ctl" <<EOF
#!/usr/bin/env bash
exec ${owner[*]} "$pg_bin/pg_ctl" -D "$data" -l "$work/server.log" -w -t 60 "\$@"
EOF
chmod 0755 "$work/pg_ctl"

export PGHOST=127.0.0.1 PGPORT=$port PGDATABASE=lumaflash
export PGSSLMODE=verify-full PGSSLROOTCERT="$work/ca.crt"
export LUMAFLASH_PG_CA="$work/ca.crt" LUMAFLASH_PG_OTHER_CA="$work/other-ca.crt"
tls="sslmode=verify-full&sslrootcert=$work/ca.crt&channel_binding=require"
export LUMAFLASH_PG_STATION_URI="postgresql://lumaflash_station@127.0.0.1:$port/lumaflash?$tls"
export LUMAFLASH_PG_READER_URI="postgresql://lumaflash_reader@127.0.0.1:$port/lumaflash?$tls"
export LUMAFLASH_PG_ADMIN="$admin dbname=lumaflash"
export LUMAFLASH_PG_CTL="$work/pg_ctl"

set +e
"$@" <&0 &
child=$!
wait "$child"
status=$?
child=""
exit "$status"
