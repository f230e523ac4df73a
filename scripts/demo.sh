#!/usr/bin/env bash
# scripts/demo.sh [FILE [URL]]: the whole job once, end to end, on loopback.
# Builds datareport, zq_rcenter and zq_lookup (Release, in build/) when
# needed, starts zq_rcenter on a free port in a temporary directory, writes
# datareport's main.conf for it, reports FILE (default: the README) with URL,
# then shows datareport's lines and exit status, and the record the server
# stored, through zq_lookup (as a record, then as its journal line) and
# through the server's HTTP API with curl (skipped when curl is missing). Stops
# the server and removes the temporary directory however it ends. Exits
# with datareport's status (0: the report was answered), or 1 when the demo
# itself could not run.
# scripts/demo.sh --postgres [FILE [URL]]: two centers on one PostgreSQL.
# ZQ_BIN_DIR=<dir> uses the programs already built there instead of building.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# Two centers on one PostgreSQL database: scripts/demo_postgres.sh.
if [ "${1:-}" = --postgres ]; then shift; exec bash "$root/scripts/demo_postgres.sh" "$@"; fi
file=${1:-$root/README.md}
url=${2:-http://downloads.example.com/$(basename "$file")}

# shellcheck source=scripts/demo_lib.sh
. "$root/scripts/demo_lib.sh"

[ -f "$file" ] || die "no such file: $file"
# datareport reads file_path + "/" + the name it is given.
file_dir=$(cd "$(dirname "$file")" && pwd)
file_name=$(basename "$file")
demo_programs

work=$(mktemp -d "${TMPDIR:-/tmp}/zq_demo.XXXXXX")
server_pid=
cleanup() {
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
    kill -TERM "$server_pid" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

mkdir -p "$work/rcenter" "$work/datareport"
cat >"$work/rcenter/rcenter.conf" <<EOF
listen_ip: 127.0.0.1
listen_port: 0
db_path: ./data/rcenter.db
shm_size: 4194304
max_fd_num: 64
http_listen_port: 0
EOF

echo "== starting zq_rcenter in $work/rcenter"
demo_start_center "$work/rcenter" zq_rcenter
server_pid=$center_pid port=$center_port http_port=$center_http
echo "   listening on 127.0.0.1:$port"
echo "   HTTP API on 127.0.0.1:$http_port"

cat >"$work/datareport/main.conf" <<EOF
rc_ip: 127.0.0.1
rc_port: $port
file_path: $file_dir
task_timeout_ms: 10000
EOF

echo "== datareport $file_name $url   (file_path: $file_dir)"
status=0
(cd "$work/datareport" && "$bin/datareport" "$file_name" "$url") | sed 's/^/   /' || status=${PIPESTATUS[0]}
echo "== datareport exit status: $status"

db=$work/rcenter/data/rcenter.db
echo "== the stored record: zq_lookup --db $db --recent 1"
if "$bin/zq_lookup" --db "$db" --recent 1 | sed 's/^/   /'; then
  echo "== the same as its journal line: zq_lookup --export-tsv"
  line=$("$bin/zq_lookup" --db "$db" --export-tsv)
  echo "$line"
  echo "   field by field:"
  printf '%s\n' "$line" | tr '\t' '\n' | sed 's/^/     /'
  fid=$(printf '%s\n' "$line" | tr '\t' '\n' | sed -n 's/^fid=//p' | head -n 1)
  api=http://127.0.0.1:$http_port/v1/resources/$fid
  if command -v curl >/dev/null; then
    echo "== the same record over HTTP: curl $api"
    record=$(curl -sS --max-time 10 "$api") || die "curl could not fetch $api"
    if command -v jq >/dev/null; then
      printf '%s\n' "$record" | jq . | sed 's/^/   /'
    else
      printf '%s\n' "$record" | sed 's/^/   /'
    fi
  else
    echo "== (curl is not installed: skipping the HTTP fetch of $api)"
  fi
else
  echo "   (none)"
  [ "$status" -ne 0 ] || status=1
fi

echo "== stopping zq_rcenter"
kill -TERM "$server_pid"
server_rc=0
wait "$server_pid" || server_rc=$?
server_pid=
[ "$server_rc" -eq 0 ] || echo "demo: zq_rcenter ended with status $server_rc" >&2
exit "$status"
