#!/usr/bin/env bash
# scripts/demo_postgres.sh [FILE [URL]] (also: scripts/demo.sh --postgres ...):
# two centers on one PostgreSQL database. Starts a throwaway cluster
# (scripts/pg_scratch.sh) and two zq_rcenter processes whose db_url names it,
# reports FILE (default: the README) with URL to the first center with
# datareport, reports it again to the second (answered "already known": the
# record is shared), and shows the record through zq_lookup and through both
# centers' HTTP API. Stops everything and removes the temporary directory
# however it ends. Exits 0 when both centers answered as described, 1 otherwise.
# ZQ_BIN_DIR=<dir> uses the programs already built there instead of building.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
file=${1:-$root/README.md}
url=${2:-http://downloads.example.com/$(basename "$file")}

# shellcheck source=scripts/demo_lib.sh
. "$root/scripts/demo_lib.sh"

[ -f "$file" ] || die "no such file: $file"
file_dir=$(cd "$(dirname "$file")" && pwd)
file_name=$(basename "$file")
demo_programs

work=$(mktemp -d "${TMPDIR:-/tmp}/zq_demo_pg.XXXXXX")
chmod 755 "$work"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  bash "$root/scripts/pg_scratch.sh" stop "$work/pg" || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

echo "== starting a throwaway PostgreSQL in $work/pg"
db_url=$(bash "$root/scripts/pg_scratch.sh" start "$work/pg") || die "PostgreSQL did not start"
echo "   db_url: $db_url"

ports=() http_ports=()
for n in 1 2; do
  dir=$work/center$n
  mkdir -p "$dir"
  cat >"$dir/rcenter.conf" <<CONF
listen_ip: 127.0.0.1
listen_port: 0
db_url: $db_url
db_timeout_ms: 5000
shm_size: 4194304
max_fd_num: 64
http_listen_port: 0
CONF
  echo "== starting center $n in $dir (the same db_url)"
  demo_start_center "$dir" "center $n"
  pids+=("$center_pid")
  port=$center_port http=$center_http
  echo "   reports on 127.0.0.1:$port, HTTP API on 127.0.0.1:$http"
  ports+=("$port")
  http_ports+=("$http")
done

status=0
for n in 1 2; do
  mkdir -p "$work/datareport$n"
  cat >"$work/datareport$n/main.conf" <<CONF
rc_ip: 127.0.0.1
rc_port: ${ports[$((n - 1))]}
file_path: $file_dir
task_timeout_ms: 10000
CONF
  echo "== datareport $file_name $url   (to center $n)"
  out=$(cd "$work/datareport$n" && "$bin/datareport" "$file_name" "$url") || status=1
  printf '%s\n' "$out" | sed 's/^/   /'
  want="dwresult=0"
  [ "$n" = 2 ] && want="dwresult=1"
  printf '%s\n' "$out" | grep -q "$want" || { echo "demo: center $n did not answer $want" >&2; status=1; }
done

echo "== the shared record: zq_lookup --db '$db_url' --recent 1"
"$bin/zq_lookup" --db "$db_url" --recent 1 | sed 's/^/   /' || status=1
fid=$("$bin/zq_lookup" --db "$db_url" --export-tsv | tr '\t' '\n' | sed -n 's/^fid=//p' | head -n 1)
if command -v curl >/dev/null && [ -n "$fid" ]; then
  for n in 1 2; do
    api=http://127.0.0.1:${http_ports[$((n - 1))]}/v1/resources/$fid
    echo "== the same record through center $n: curl $api"
    curl -sS --max-time 10 "$api" | sed 's/^/   /' || status=1
    echo
  done
else
  echo "== (curl is not installed, or no FID: skipping the HTTP fetches)"
fi
exit "$status"
