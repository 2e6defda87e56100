#!/usr/bin/env bash
# A throwaway PostgreSQL for tests and benchmarks, in a directory of its
# own, run as the postgres user (initdb refuses root):
#   pg-cluster.sh init DIR PORT [tcp]  make the cluster (DIR must not exist), start it, create database zandrel
#   pg-cluster.sh start DIR [MODE]   start it again
#   pg-cluster.sh stop DIR [MODE]    stop it; MODE fast (default), immediate or smart
#   pg-cluster.sh remove DIR         stop it if running and remove DIR
# It listens on a unix socket in DIR/socket named for PORT (reachable from any
# network namespace, and never in another cluster's way), and with "tcp" on
# 127.0.0.1:PORT too; trust authentication for local connections.
# The URL to use: postgresql://postgres@/zandrel?host=DIR/socket&port=PORT
set -euo pipefail
bin=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -1)
as_pg() { runuser -u postgres -- "$@"; }
cmd=${1:?command}
dir=${2:?directory}
case "$cmd" in
  init)
    port=${3:?port}
    mkdir -p "$dir"
    # The postgres user must reach DIR: a temporary parent made for root alone is opened to it.
    chmod o+x "$(dirname "$dir")"
    chown postgres: "$dir"
    chmod 700 "$dir"
    as_pg "$bin/initdb" -D "$dir/data" -U postgres -A trust -E UTF8 --locale=C.UTF-8 >"$dir/initdb.log"
    mkdir -p "$dir/socket"
    chown postgres: "$dir/socket"
    chmod 755 "$dir" "$dir/socket"
    cat >>"$dir/data/postgresql.conf" <<CONF
port = $port
listen_addresses = '$([[ ${4:-} == tcp ]] && echo 127.0.0.1)'
unix_socket_directories = '$dir/socket'
max_connections = 100
shared_buffers = 256MB
wal_compression = lz4
max_wal_size = 2GB
checkpoint_timeout = 15min
synchronous_commit = on
track_wal_io_timing = on
commit_delay = 0
logging_collector = off
CONF
    as_pg "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 start >/dev/null
    as_pg "$bin/psql" -h "$dir/socket" -p "$port" -U postgres -qc "CREATE DATABASE zandrel" postgres
    ;;
  start)
    as_pg "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 start >/dev/null
    ;;
  stop)
    as_pg "$bin/pg_ctl" -D "$dir/data" -m "${3:-fast}" -w -t 60 stop >/dev/null
    ;;
  remove)
    if [[ -f "$dir/data/postmaster.pid" ]]; then
      as_pg "$bin/pg_ctl" -D "$dir/data" -m immediate -w -t 60 stop >/dev/null || true
    fi
    rm -rf "$dir"
    ;;
  *)
    echo "pg-cluster.sh: unknown command $cmd" >&2
    exit 2
    ;;
esac
