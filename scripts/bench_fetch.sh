#!/usr/bin/env bash
# zq_fetch's benchmarks, on loopback only:
#  a. four nginx mirrors on 127.0.0.2-5, each limited per connection to
#     FETCH_RATE bytes/s, one FETCH_MIB MiB file: zq_fetch --connections 4
#     --per-mirror 1 beside `aria2c -s 4 -x 1` given the same four URLs, runs
#     alternating (best of FETCH_REPS); rates beside aria2c's and beside the
#     mirrors' combined rate (targets >= 1.0 and >= 0.9);
#  b. --repair of three damaged pieces in a REPAIR_MIB MiB file beside
#     `zq_ident --verify` of the same file (in the page cache), alternating:
#     bytes fetched (target <= 4 pieces) and the time ratio (target <= 1.2).
# usage: scripts/bench_fetch.sh [BIN_DIR]  (default build-bench/bin)
# Installs nginx and aria2 with apt-get when missing and running as root.
set -euo pipefail
cd "$(dirname "$0")/.."

bin=${1:-build-bench/bin}
mib=${FETCH_MIB:-128}
rate=${FETCH_RATE:-20000000}
reps=${FETCH_REPS:-3}
repair_mib=${REPAIR_MIB:-1024}

die() { echo "!! $*" >&2; exit 1; }
. scripts/bench_lib.sh
for tool in nginx:/usr/sbin/nginx aria2:/usr/bin/aria2c; do
  pkg=${tool%%:*} path=${tool#*:}
  bench_tool "$pkg" "$path" || die "$path is needed (apt-get install $pkg)"
done
[ -x "$bin/zq_fetch" ] && [ -x "$bin/zq_ident" ] || die "$bin/zq_fetch and $bin/zq_ident must be built"

tmp=$(mktemp -d)
ngx_pid=""
cleanup() {
  [ -n "$ngx_pid" ] && kill "$ngx_pid" 2>/dev/null && wait "$ngx_pid" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
mkdir -p "$tmp/www" "$tmp/get"

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
{
  echo "daemon off; master_process off; worker_processes 1;"
  [ "$(id -u)" = 0 ] && echo "user root;"
  echo "pid $tmp/nginx.pid; error_log $tmp/error.log;"
  echo "events { worker_connections 256; }"
  echo "http { access_log off; sendfile on;"
  for t in client_body proxy fastcgi uwsgi scgi; do echo "  ${t}_temp_path $tmp/$t;"; done
  for a in 2 3 4 5; do echo "  server { listen 127.0.0.$a:$port; root $tmp/www; limit_rate $rate; }"; done
  echo "  server { listen 127.0.0.6:$port; root $tmp/www; }"
  echo "}"
} > "$tmp/nginx.conf"
/usr/sbin/nginx -p "$tmp" -c "$tmp/nginx.conf" -e "$tmp/error.log" &
ngx_pid=$!
for a in 2 3 4 5 6; do
  for _ in $(seq 100); do
    python3 -c "import socket,sys; socket.create_connection(('127.0.0.$a',$port),0.2)" 2>/dev/null && break
    sleep 0.1
  done
done

now() { date +%s.%N; }
secs() { python3 -c "print('%.3f' % ($2 - $1))"; }
ratio() { python3 -c "print('%.2f' % ($1 / $2))"; }
verdict() { python3 -c "print('met' if $1 $2 $3 else 'MISSED')"; }

echo "== a. $mib MiB from four mirrors at $rate bytes/s per connection each (loopback; other work on this machine counts)"
head -c $(( mib * 1024 * 1024 )) /dev/urandom > "$tmp/www/f.bin"
"$bin/zq_ident" --tpt-out "$tmp/f.tpt" "$tmp/www/f.bin" >/dev/null
urls=()
for a in 2 3 4 5; do urls+=("http://127.0.0.$a:$port/f.bin"); done
best_zq=999999 best_aria=999999
for r in $(seq "$reps"); do
  rm -f "$tmp/get/"*
  t0=$(now); "$bin/zq_fetch" --tpt "$tmp/f.tpt" -o "$tmp/get/z.bin" --connections 4 --per-mirror 1 "${urls[@]}" >/dev/null
  t1=$(now); cmp -s "$tmp/get/z.bin" "$tmp/www/f.bin" || die "zq_fetch's copy differs"
  rm -f "$tmp/get/"*
  t2=$(now); aria2c -q -s 4 -x 1 -d "$tmp/get" -o a.bin --allow-overwrite=true --auto-file-renaming=false "${urls[@]}"
  t3=$(now); cmp -s "$tmp/get/a.bin" "$tmp/www/f.bin" || die "aria2c's copy differs"
  z=$(secs "$t0" "$t1") a=$(secs "$t2" "$t3")
  echo "  run $r: zq_fetch ${z} s, aria2c ${a} s"
  best_zq=$(python3 -c "print(min($best_zq, $z))") best_aria=$(python3 -c "print(min($best_aria, $a))")
done
bytes=$(( mib * 1024 * 1024 ))
zq_rate=$(python3 -c "print('%.1f' % ($bytes / $best_zq / 1e6))")
aria_rate=$(python3 -c "print('%.1f' % ($bytes / $best_aria / 1e6))")
combined=$(python3 -c "print('%.1f' % (4 * $rate / 1e6))")
r1=$(ratio "$zq_rate" "$aria_rate") r2=$(ratio "$zq_rate" "$combined")
echo "  best: zq_fetch $zq_rate MB/s, aria2c $aria_rate MB/s, mirrors combined $combined MB/s"
echo "  zq_fetch / aria2c = $r1 (target >= 1.0: $(verdict "$r1" ">=" 1.0)); zq_fetch / combined = $r2 (target >= 0.9: $(verdict "$r2" ">=" 0.9))"
rm -f "$tmp/www/f.bin" "$tmp/get/"*

echo
echo "== b. --repair of three damaged pieces in a $repair_mib MiB file beside zq_ident --verify (page cache)"
head -c $(( repair_mib * 1024 * 1024 )) /dev/urandom > "$tmp/www/big.bin"
"$bin/zq_ident" --tpt-out "$tmp/big.tpt" "$tmp/www/big.bin" >/dev/null
cp "$tmp/www/big.bin" "$tmp/get/big.bin"
size=$(stat -c %s "$tmp/www/big.bin")
damage() {
  python3 - "$tmp/get/big.bin" "$size" <<'PY'
import sys
path, size = sys.argv[1], int(sys.argv[2])
with open(path, "r+b") as f:
    for at in (size // 7, size // 2 + 12345, size - 3):
        f.seek(at); b = f.read(1); f.seek(at); f.write(bytes([b[0] ^ 0xFF]))
PY
}
piece=$("$bin/zq_ident" "$tmp/www/big.bin" | sed -n 's/^piece_size: //p')
best_rep=999999 best_ver=999999 fetched=0
for r in $(seq "$reps"); do
  damage
  t0=$(now); line=$("$bin/zq_fetch" --tpt "$tmp/big.tpt" --repair "$tmp/get/big.bin" "http://127.0.0.6:$port/big.bin")
  t1=$(now); "$bin/zq_ident" --verify "$tmp/big.tpt" "$tmp/get/big.bin" >/dev/null || die "the repaired copy does not verify"
  t2=$(now); "$bin/zq_ident" --verify "$tmp/big.tpt" "$tmp/get/big.bin" >/dev/null
  t3=$(now)
  fetched=$(echo "$line" | sed -n 's/.*fetched (\([0-9]*\) bytes).*/\1/p')
  rp=$(secs "$t0" "$t1") vf=$(secs "$t2" "$t3")
  echo "  run $r: --repair ${rp} s ($fetched bytes fetched), --verify ${vf} s"
  best_rep=$(python3 -c "print(min($best_rep, $rp))") best_ver=$(python3 -c "print(min($best_ver, $vf))")
done
r3=$(ratio "$best_rep" "$best_ver")
pieces=$(python3 -c "print('%.2f' % ($fetched / $piece))")
echo "  bytes fetched = $pieces pieces of $piece (target <= 4: $(verdict "$pieces" "<=" 4))"
echo "  --repair / --verify = $r3 (target <= 1.2: $(verdict "$r3" "<=" 1.2))"
