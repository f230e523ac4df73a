#!/usr/bin/env bash
# A throwaway PostgreSQL cluster: the one implementation the tests (through
# tests/support/pg_server), the benchmark and the demo all use.
#   pg_scratch.sh start DIR [PORT]   initdb in DIR (made, or reused) and start it on PORT (default:
#                                    a free one) on 127.0.0.1, the Unix socket in DIR; prints the
#                                    connection string
#   pg_scratch.sh stop DIR [MODE]    stops it, MODE immediate (the default: a crash as far as the
#                                    database knows) or fast; DIR stays for the caller to remove
#   pg_scratch.sh psql DIR ARG...    runs psql with ARG... as the cluster's owner
# initdb and pg_ctl refuse root, so as root they run as nobody. Every wait is bounded.
set -euo pipefail

cmd=${1:-}; dir=${2:-}
[ -n "$cmd" ] && [ -n "$dir" ] || { echo "usage: $0 start DIR [PORT] | stop DIR [MODE] | psql DIR ARG..." >&2; exit 2; }
shift 2
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[ -x "$bin/initdb" ] || { echo "!! no PostgreSQL server (scripts/install_deps.sh installs it)" >&2; exit 1; }

as_owner() {
  if [ "$(id -u)" = 0 ]; then (cd "$dir" && runuser -u nobody -- "$@"); else (cd "$dir" && "$@"); fi
}

case $cmd in
  start)
    mkdir -p "$dir"
    if [ "$(id -u)" = 0 ]; then chown nobody "$dir"; fi
    if [ ! -f "$dir/data/PG_VERSION" ]; then
      # initdb's own syncs only slow a start down; the server keeps fsync and
      # synchronous_commit at their defaults, so commits are as durable as in use.
      as_owner timeout 60 "$bin/initdb" -D "$dir/data" -U postgres -A trust -E UTF8 --locale=C --no-sync >/dev/null
    fi
    port=${1:-$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')}
    if ! as_owner timeout 40 "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 30 \
      -o "-p $port -k $dir -c listen_addresses=127.0.0.1 -c max_connections=200" start >/dev/null; then
      cat "$dir/server.log" >&2 || true
      exit 1
    fi
    echo "host=$dir port=$port user=postgres dbname=postgres"
    ;;
  stop)
    mode=${1:-immediate}
    [ -f "$dir/data/postmaster.pid" ] || exit 0
    as_owner timeout 40 "$bin/pg_ctl" -D "$dir/data" -m "$mode" -w -t 30 stop >/dev/null
    ;;
  psql)
    as_owner timeout 30 "$bin/psql" "$@"
    ;;
  *) echo "usage: $0 start DIR [PORT] | stop DIR [MODE] | psql DIR ARG..." >&2; exit 2 ;;
esac
