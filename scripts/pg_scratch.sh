#!/usr/bin/env bash
# A throwaway PostgreSQL cluster for the demo and the benchmark (the tests
# use their own C++ twin, tests/support/pg_server).
#   pg_scratch.sh start DIR   initdb in DIR (made, or reused) and start it; prints
#                             the connection string (Unix socket in DIR, a free port
#                             on 127.0.0.1)
#   pg_scratch.sh stop DIR    stops it (immediately); DIR stays for the caller to remove
# initdb and pg_ctl refuse root, so as root they run as nobody. Every wait is bounded.
set -euo pipefail

cmd=${1:-}; dir=${2:-}
[ -n "$cmd" ] && [ -n "$dir" ] || { echo "usage: $0 start|stop DIR" >&2; exit 2; }
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[ -x "$bin/initdb" ] || { echo "!! no PostgreSQL server (scripts/install_deps.sh installs it)" >&2; exit 1; }

as_owner() {
  if [ "$(id -u)" = 0 ]; then (cd "$dir" && runuser -u nobody -- "$@"); else (cd "$dir" && "$@"); fi
}

case $cmd in
  start)
    mkdir -p "$dir"
    [ "$(id -u)" = 0 ] && chown nobody "$dir"
    if [ ! -f "$dir/data/PG_VERSION" ]; then
      as_owner timeout 60 "$bin/initdb" -D "$dir/data" -U postgres -A trust -E UTF8 --locale=C --no-sync >/dev/null
    fi
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    as_owner timeout 40 "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 30 \
      -o "-p $port -k $dir -c listen_addresses=127.0.0.1 -c max_connections=200" start >/dev/null
    echo "host=$dir port=$port user=postgres dbname=postgres"
    ;;
  stop)
    [ -f "$dir/data/postmaster.pid" ] || exit 0
    as_owner timeout 40 "$bin/pg_ctl" -D "$dir/data" -m immediate -w -t 30 stop >/dev/null
    ;;
  *) echo "usage: $0 start|stop DIR" >&2; exit 2 ;;
esac
