#!/usr/bin/env bash
# A throw-away PostgreSQL server for the tests.
#   eval "$(scripts/pg-test-server.sh start)"   starts one, prints the exports
#   scripts/pg-test-server.sh stop              stops the one in $ZELK_PG_DIR
# The server runs as an unprivileged user (postgres refuses root), listens on
# 127.0.0.1 on a free port, takes scram passwords only and offers TLS with a
# self-signed certificate (ZELK_PG_CA holds it, for verify-full clients).
# Role zelk_cert logs in over TLS with the client certificate and key in
# ZELK_PG_CLIENT_CERT / ZELK_PG_CLIENT_KEY, issued by a CA the server trusts.
set -euo pipefail

PG_BIN="${PG_BIN:-$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)}"

as_server_user() {
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u nobody -- "$@"
  else
    "$@"
  fi
}

port_is_free() {
  ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

free_port() {
  local port
  for _ in $(seq 1 200); do
    port=$((20000 + RANDOM % 20000))
    if port_is_free "$port"; then
      echo "$port"
      return 0
    fi
  done
  echo "no free port found" >&2
  return 1
}

make_certificates() {
  local dir="$1"
  openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=localhost" \
    -addext "subjectAltName=IP:127.0.0.1,DNS:localhost" \
    -keyout "$dir/server.key" -out "$dir/server.crt" >/dev/null 2>&1
  # An unrelated certificate: clients trusting only it must refuse the server.
  openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=untrusted" \
    -keyout "$dir/untrusted.key" -out "$dir/untrusted.crt" >/dev/null 2>&1
  openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=zelk client CA" \
    -keyout "$dir/client-ca.key" -out "$dir/client-ca.crt" >/dev/null 2>&1
  openssl req -newkey rsa:2048 -nodes -subj "/CN=zelk_cert" \
    -keyout "$dir/client.key" -out "$dir/client.csr" >/dev/null 2>&1
  openssl x509 -req -in "$dir/client.csr" -CA "$dir/client-ca.crt" -CAkey "$dir/client-ca.key" \
    -CAcreateserial -days 3650 -out "$dir/client.crt" >/dev/null 2>&1
  chmod 600 "$dir/server.key" "$dir/client.key" "$dir/client-ca.key"
}

# Certificate logins for zelk_cert go first; everything else keeps scram.
allow_certificate_login() {
  local data="$1" hba
  hba="$(cat "$data/pg_hba.conf")"
  printf 'hostssl all zelk_cert 127.0.0.1/32 cert\n%s\n' "$hba" >"$data/pg_hba.conf"
}

start_server() {
  local root data port password user=zelk database=zelk_test
  root="$(mktemp -d /tmp/zelk-pg.XXXXXX)"
  data="$root/data"
  password="$(openssl rand -hex 16)"
  printf '%s\n' "$password" >"$root/pwfile"
  make_certificates "$root"
  chmod 755 "$root"
  [ "$(id -u)" -eq 0 ] && chown -R nobody "$root"
  as_server_user "$PG_BIN/initdb" -D "$data" -U "$user" --pwfile="$root/pwfile" \
    --auth=scram-sha-256 --encoding=UTF8 --locale=C >"$root/initdb.log" 2>&1
  rm -f "$root/pwfile"
  as_server_user bash -c "$(declare -f allow_certificate_login); allow_certificate_login '$data'"
  for attempt in 1 2 3 4 5; do
    port="$(free_port)"
    if as_server_user "$PG_BIN/pg_ctl" -D "$data" -l "$root/server.log" -w -t 60 start -o \
      "-c listen_addresses=127.0.0.1 -p $port -k $root -c ssl=on \
       -c ssl_cert_file=$root/server.crt -c ssl_key_file=$root/server.key -c ssl_ca_file=$root/client-ca.crt \
       -c password_encryption=scram-sha-256 -c fsync=off" >/dev/null 2>&1; then
      break
    fi
    [ "$attempt" -eq 5 ] && { cat "$root/server.log" >&2; exit 1; }
  done
  PGPASSWORD="$password" as_server_user "$PG_BIN/psql" -h 127.0.0.1 -p "$port" -U "$user" -d postgres \
    -qc "CREATE DATABASE $database" -c "CREATE ROLE zelk_cert LOGIN" >/dev/null
  cat <<EOF
export ZELK_PG_DIR='$root'
export ZELK_PG_HOST='127.0.0.1'
export ZELK_PG_PORT='$port'
export ZELK_PG_USER='$user'
export ZELK_PG_PASSWORD='$password'
export ZELK_PG_DATABASE='$database'
export ZELK_PG_CA='$root/server.crt'
export ZELK_PG_UNTRUSTED_CA='$root/untrusted.crt'
export ZELK_PG_CERT_USER='zelk_cert'
export ZELK_PG_CLIENT_CERT='$root/client.crt'
export ZELK_PG_CLIENT_KEY='$root/client.key'
EOF
}

stop_server() {
  local root="${ZELK_PG_DIR:?ZELK_PG_DIR names the server to stop}"
  as_server_user "$PG_BIN/pg_ctl" -D "$root/data" -m fast -w stop >/dev/null 2>&1 || true
  rm -rf "$root"
}

case "${1:-}" in
  start) start_server ;;
  stop) stop_server ;;
  *) echo "usage: $0 start|stop" >&2; exit 2 ;;
esac
