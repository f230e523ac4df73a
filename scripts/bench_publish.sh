#!/usr/bin/env bash
# zq_publish's benchmarks, in one run, files in the page cache, a zq_rcenter
# on loopback (a fresh one per measured run, its store in a temporary folder):
#  a. PUB_FILES files of 16 KiB (default 10000) published to the center, beside
#     a loop of datareport (digest_throttle: 0) over the first PUB_LOOP files
#     of them (default 1000), per file (target >= 20 x the loop's rate), and
#     beside `rhash -r --ed2k --sha1 --md5` only hashing the tree (target:
#     zq_publish's time at most 1.0 x rhash's), at the default window and
#     at --window 1024 (the center answers a batch per commit, so the window
#     sets how many reports a commit's latency holds up);
#  b. an unchanged re-run beside `find DIR -type f -printf '%s %T@ %i\n'`
#     (target <= 3 x);
#  c. one PUB_BIG_MIB MiB file (default 1024) published beside zq_ident's time
#     on it (target <= 1.1 x).
# Every figure is the best of PUB_REPS runs (default 3).
# usage: scripts/bench_publish.sh [BIN_DIR]  (default build-bench/bin, else build/bin)
# Installs rhash with apt-get when missing and running as root.
set -euo pipefail
cd "$(dirname "$0")/.."

bin=${1:-}
if [ -z "$bin" ]; then bin=build-bench/bin; [ -x "$bin/zq_publish" ] || bin=build/bin; fi
files=${PUB_FILES:-10000}
loop=${PUB_LOOP:-1000}
big_mib=${PUB_BIG_MIB:-1024}
reps=${PUB_REPS:-3}

die() { echo "!! $*" >&2; exit 1; }
. scripts/bench_lib.sh
bench_tool rhash "$(command -v rhash || echo /usr/bin/rhash)" || die "rhash is needed (apt-get install rhash)"
for p in zq_publish zq_rcenter zq_ident datareport; do
  [ -x "$bin/$p" ] || die "$bin/$p must be built (cmake --build build)"
done
bin=$(cd "$bin" && pwd)

tmp=$(mktemp -d)
center_pid=""
stop_center() {
  if [ -n "$center_pid" ]; then kill "$center_pid" 2>/dev/null; wait "$center_pid" 2>/dev/null || true; fi
  center_pid=""
}
cleanup() { stop_center; rm -rf "$tmp"; }
trap cleanup EXIT

# A fresh center in $tmp/center; its port in $port.
start_center() {
  stop_center
  rm -rf "$tmp/center"; mkdir -p "$tmp/center"
  printf 'max_fd_num: 256\n' >"$tmp/center/rcenter.conf"
  (cd "$tmp/center" && exec "$bin/zq_rcenter" rcenter.conf >out.txt 2>&1) &
  center_pid=$!
  for _ in $(seq 200); do
    port=$(grep -o 'listening on 127.0.0.1:[0-9]*' "$tmp/center/out.txt" 2>/dev/null | head -1 | cut -d: -f2 || true)
    [ -n "$port" ] && return 0
    sleep 0.05
  done
  die "zq_rcenter did not start: $(cat "$tmp/center/out.txt")"
}

now() { date +%s.%N; }
# Seconds the command took.
timed() { local t0 t1; t0=$(now); "$@" >/dev/null 2>"$tmp/err.txt" || { cat "$tmp/err.txt" >&2; die "failed: $*"; }; t1=$(now); echo "$t1 - $t0" | bc -l; }
min() { printf '%s\n' "$@" | sort -g | head -1; }
ratio() { printf '%.2f' "$(echo "$1 / $2" | bc -l)"; }
verdict() { if [ "$(echo "$1 $2 $3" | bc -l)" = 1 ]; then echo ok; else echo MISSED; fi; }

echo "== $files files of 16 KiB"
mkdir -p "$tmp/tree"
python3 - "$tmp/tree" "$files" <<'PY'
import os, sys
root, n = sys.argv[1], int(sys.argv[2])
for i in range(n):
    d = os.path.join(root, "d%02d" % (i % 100))
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "f%05d.bin" % i), "wb") as f:
        f.write(os.urandom(16384))
PY
cat $(find "$tmp/tree" -type f) >/dev/null  # into the page cache
pub() { "$bin/zq_publish" --center "127.0.0.1:$port" --base-url http://bench.example/pub --state "$@"; }

first=() wide=() rerun=() rh=() fd=()
for r in $(seq "$reps"); do
  start_center
  rm -f "$tmp/state.db"*
  wide+=("$(timed pub "$tmp/state.db" --window 1024 "$tmp/tree")")
  start_center
  rm -f "$tmp/state.db"*
  first+=("$(timed pub "$tmp/state.db" "$tmp/tree")")
  rerun+=("$(timed pub "$tmp/state.db" "$tmp/tree")")
  rh+=("$(timed rhash -r --ed2k --sha1 --md5 "$tmp/tree")")
  fd+=("$(timed find "$tmp/tree" -type f -printf '%s %T@ %i\n')")
done
t_wide=$(min "${wide[@]}") t_first=$(min "${first[@]}") t_rerun=$(min "${rerun[@]}") t_rhash=$(min "${rh[@]}") t_find=$(min "${fd[@]}")

# datareport: one process, one configuration read, one connection per file.
mkdir -p "$tmp/dr"
printf 'rc_ip: 127.0.0.1\nrc_port: %s\nfile_path: %s\ndigest_throttle: 0\nerr_log_path:\n' "$port" "$tmp/tree" >"$tmp/dr/main.conf"
list=$(cd "$tmp/tree" && find . -type f | sed 's|^\./||' | sort | awk -v n="$loop" 'NR <= n')
drloop() { local f; for f in $list; do (cd "$tmp/dr" && "$bin/datareport" "$f" "http://loop.example/$1/$f") >/dev/null || return 1; done; }
dr=()
for r in $(seq "$reps"); do dr+=("$(timed drloop "r$r")"); done
t_dr=$(min "${dr[@]}")
loop_n=$(echo "$list" | wc -l)
pub_rate=$(echo "$files / $t_first" | bc -l)
dr_rate=$(echo "$loop_n / $t_dr" | bc -l)

echo "== one $big_mib MiB file"
mkdir -p "$tmp/big"
head -c $((big_mib << 20)) /dev/urandom >"$tmp/big/big.bin"
cat "$tmp/big/big.bin" >/dev/null
bp=() bi=()
for r in $(seq "$reps"); do
  start_center
  rm -f "$tmp/bstate.db"*
  bp+=("$(timed pub "$tmp/bstate.db" "$tmp/big")")
  bi+=("$(timed "$bin/zq_ident" "$tmp/big/big.bin")")
done
t_bp=$(min "${bp[@]}") t_bi=$(min "${bi[@]}")
stop_center

printf '\n%-58s %12s %12s %8s %s\n' "run" "zq_publish" "baseline" "ratio" "target"
printf '%-58s %10.1f/s %10.1f/s %8s %s\n' "a. $files x 16 KiB, per file, beside a datareport loop" "$pub_rate" "$dr_rate" \
  "$(ratio "$pub_rate" "$dr_rate")" ">= 20 x: $(verdict "$pub_rate / $dr_rate" '>=' 20)"
printf '%-58s %11.3fs %11.3fs %8s %s\n' "a. the same, time beside rhash -r --ed2k --sha1 --md5" "$t_first" "$t_rhash" \
  "$(ratio "$t_first" "$t_rhash")" "<= 1.0: $(verdict "$t_first / $t_rhash" '<=' 1.0)"
printf '%-58s %11.3fs %11.3fs %8s %s\n' "a. the same at --window 1024, beside rhash" "$t_wide" "$t_rhash" \
  "$(ratio "$t_wide" "$t_rhash")" "<= 1.0: $(verdict "$t_wide / $t_rhash" '<=' 1.0)"
printf '%-58s %11.3fs %11.3fs %8s %s\n' "b. unchanged re-run beside find -printf" "$t_rerun" "$t_find" \
  "$(ratio "$t_rerun" "$t_find")" "<= 3: $(verdict "$t_rerun / $t_find" '<=' 3)"
printf '%-58s %11.3fs %11.3fs %8s %s\n' "c. one $big_mib MiB file beside zq_ident" "$t_bp" "$t_bi" \
  "$(ratio "$t_bp" "$t_bi")" "<= 1.1: $(verdict "$t_bp / $t_bi" '<=' 1.1)"
