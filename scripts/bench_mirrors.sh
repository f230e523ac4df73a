#!/usr/bin/env bash
# The mirror checks and the download doors, on loopback only:
#  a. the redirect: wrk (one thread, 32 connections, MIRRORS_SECS s a run) on
#     zq_rcenter's GET /v1/resources/<fid>/download beside nginx answering the
#     same 302 from its own configuration (return 302), runs alternating
#     (MIRRORS_REPS each): the rate ratio (target >= 0.5) and the answers that
#     were not 3xx (target none);
#  b. the checks: MIRRORS_LOCATIONS (default 10,000) locations on four nginx
#     mirrors on 127.0.0.2-5, each checked once at the default limits:
#     checks per second, and body bytes per check beside one piece (the bound);
#  c. the Metalink of an 8,192-piece resource: its size and the time to build
#     it, beside the same record's JSON (bench/mirrors_bench.cpp).
# usage: scripts/bench_mirrors.sh [BIN_DIR]  (default build-bench/bin)
# Installs nginx and wrk with apt-get when missing and running as root.
set -euo pipefail
cd "$(dirname "$0")/.."

bin=$(cd "${1:-build-bench/bin}" 2>/dev/null && pwd) || { echo "!! no ${1:-build-bench/bin}" >&2; exit 1; }
reps=${MIRRORS_REPS:-3}
secs=${MIRRORS_SECS:-5}
locations=${MIRRORS_LOCATIONS:-10000}

die() { echo "!! $*" >&2; exit 1; }
. scripts/bench_lib.sh
for tool in nginx:/usr/sbin/nginx wrk:/usr/bin/wrk; do
  pkg=${tool%%:*} path=${tool#*:}
  bench_tool "$pkg" "$path" || die "$path is needed (apt-get install $pkg)"
done
for prog in zq_rcenter mirrors_bench; do [ -x "$bin/$prog" ] || die "$bin/$prog must be built (-DZQ_BUILD_BENCH=ON)"; done

tmp=$(mktemp -d)
chmod 755 "$tmp"
ngx_pid="" rc_pid=""
cleanup() {
  [ -n "$rc_pid" ] && kill "$rc_pid" 2>/dev/null && wait "$rc_pid" 2>/dev/null
  [ -n "$ngx_pid" ] && kill "$ngx_pid" 2>/dev/null && wait "$ngx_pid" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
mkdir -p "$tmp/www" "$tmp/center"
head -c $(( 8 * 1024 * 1024 )) /dev/urandom > "$tmp/www/f.bin"
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
port=$(free_port)
wait_port() {
  for _ in $(seq 100); do
    python3 -c "import socket; socket.create_connection(('$1',$2),0.2)" 2>/dev/null && return 0
    sleep 0.1
  done
  die "nothing listens on $1:$2"
}

echo "== the store and the center (a copy of the record with one mirror found ok)"
fid=$("$bin/mirrors_bench" store "$tmp/center/rc.db" "$tmp/www/f.bin" "http://127.0.0.2:$port/f.bin")
target="http://127.0.0.2:$port/f.bin"
{
  echo "daemon off; master_process off; worker_processes 1;"
  [ "$(id -u)" = 0 ] && echo "user root;"
  echo "pid $tmp/nginx.pid; error_log $tmp/error.log;"
  echo "events { worker_connections 1024; }"
  echo "http { access_log off; sendfile on;"
  for t in client_body proxy fastcgi uwsgi scgi; do echo "  ${t}_temp_path $tmp/$t;"; done
  for a in 2 3 4 5; do echo "  server { listen 127.0.0.$a:$port; root $tmp/www; }"; done
  echo "  server { listen 127.0.0.6:$port; location = /download { return 302 $target; } }"
  echo "}"
} > "$tmp/nginx.conf"
/usr/sbin/nginx -p "$tmp" -c "$tmp/nginx.conf" -e "$tmp/error.log" &
ngx_pid=$!
for a in 2 3 4 5 6; do wait_port "127.0.0.$a" "$port"; done
http_port=$(free_port)
cat > "$tmp/center/rcenter.conf" <<CONF
listen_port: 0
http_listen_port: $http_port
db_path: rc.db
check_interval_s: 0
max_fd_num: 1024
shm_size: 4194304
err_log_level: 2
CONF
(cd "$tmp/center" && exec "$bin/zq_rcenter" rcenter.conf >/dev/null 2>&1) &
rc_pid=$!
wait_port 127.0.0.1 "$http_port"
[ "$(curl -s -o /dev/null -w '%{http_code} %{redirect_url}' "http://127.0.0.1:$http_port/v1/resources/$fid/download")" = "302 $target" ] \
  || die "the center does not redirect to $target"

echo "== a. wrk -t1 -c32 -d${secs}s on the download redirect beside nginx's return 302, alternating, $reps runs each"
run_wrk() {
  wrk -t1 -c32 -d"${secs}s" "$1" > "$tmp/wrk.out"
  rate=$(awk '/Requests\/sec/ {print $2}' "$tmp/wrk.out")
  bad=$(awk '/Non-2xx or 3xx/ {print $5}' "$tmp/wrk.out")
  echo "$rate ${bad:-0}"
}
best_rc=0 best_ngx=0 bad_total=0
for r in $(seq "$reps"); do
  read -r rc bad < <(run_wrk "http://127.0.0.1:$http_port/v1/resources/$fid/download")
  read -r ngx _ < <(run_wrk "http://127.0.0.6:$port/download")
  echo "   run $r: zq_rcenter $rc/s, nginx $ngx/s"
  bad_total=$(( bad_total + bad ))
  best_rc=$(python3 -c "print(max($best_rc, $rc))")
  best_ngx=$(python3 -c "print(max($best_ngx, $ngx))")
done
ratio=$(python3 -c "print('%.2f' % ($best_rc / $best_ngx))")
verdict=$(python3 -c "print('met' if $ratio >= 0.5 and $bad_total == 0 else 'MISSED')")
echo "   best: zq_rcenter $best_rc/s, nginx $best_ngx/s: ratio $ratio (target >= 0.5), answers not 3xx: $bad_total: $verdict"
kill "$rc_pid"; wait "$rc_pid" 2>/dev/null || true; rc_pid=""

echo "== b. $locations locations on four nginx mirrors, each checked once at the default limits"
urls=()
for a in 2 3 4 5; do urls+=("http://127.0.0.$a:$port/f.bin"); done
"$bin/mirrors_bench" checks "$tmp/checks.db" "$locations" "$tmp/www/f.bin" "${urls[@]}"

echo "== c. the Metalink of an 8,192-piece resource beside the same record's JSON"
"$bin/mirrors_bench" metalink
