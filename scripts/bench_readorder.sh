#!/usr/bin/env bash
# The read order --simd auto picks, measured:
#  a. one ORDER_MIB MiB file in the page cache: zq_ident under --simd auto
#     beside every level this processor has, with --threads 1 and with the
#     default threads, runs alternating over ORDER_REPS rounds; the median
#     of each, and auto's ratio to the best forced level (target <= 1.05);
#  b. the same file dropped from the cache before every run (ORDER_COLD_REPS
#     rounds, 0 leaves it out): auto beside the widest level, with the disk's
#     rotational flag, so a reader sees which order auto took and what the
#     other one would have cost on this disk.
# usage: scripts/bench_readorder.sh [BIN_DIR]  (default build-bench/bin)
# The file is written under $TMPDIR (or /tmp) and removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."

bin=${1:-build-bench/bin}
mib=${ORDER_MIB:-1024}
reps=${ORDER_REPS:-5}
cold_reps=${ORDER_COLD_REPS:-1}

die() { echo "!! $*" >&2; exit 1; }
[ -x "$bin/zq_ident" ] || die "$bin/zq_ident is missing (build with -DZQ_BUILD_BENCH=ON, or pass BIN_DIR)"
command -v dd >/dev/null || die "dd is needed to drop the file from the cache"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/zqorder.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
file=$tmp/file.bin
avail_mib=$(df -Pm "$tmp" | awk 'NR == 2 {print $4}')
[ "${avail_mib:-0}" -gt $(( mib * 2 )) ] || die "less than $(( mib * 2 )) MiB free under $tmp (ORDER_MIB sets the size)"

# The levels this processor runs: a lacking one is refused with status 2.
levels=()
: >"$tmp/empty"
for level in portable avx2 avx512; do
  if "$bin/zq_ident" --simd "$level" "$tmp/empty" >/dev/null 2>&1; then levels+=("$level"); fi
done
widest=${levels[${#levels[@]}-1]}

echo "== writing $mib MiB to $file"
head -c $(( mib * 1024 * 1024 )) /dev/urandom >"$file"
cat "$file" >/dev/null

run_ms() {
  local t0 t1
  t0=$(date +%s%N)
  "$bin/zq_ident" "$@" "$file" >/dev/null
  t1=$(date +%s%N)
  echo $(( (t1 - t0) / 1000000 ))
}
median() { sort -n | awk '{v[NR] = $1} END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

# Every configuration once per round, in turn, so that a change in the
# machine's load weighs on all of them alike.
declare -A times
configs=()
for threads in 1 default; do
  for level in auto "${levels[@]}"; do configs+=("$threads:$level"); done
done
echo "== a. cached: ${#configs[@]} configurations, $reps rounds, alternating"
for (( i = 0; i < reps; i++ )); do
  for c in "${configs[@]}"; do
    threads=${c%%:*} level=${c#*:}
    args=(--simd "$level")
    [ "$threads" = default ] || args+=(--threads "$threads")
    times[$c]+="$(run_ms "${args[@]}") "
  done
done

met=1
for threads in 1 default; do
  printf '\n%-22s %10s %10s %14s\n' "--threads $threads" "median s" "best s" "median / auto"
  auto_med=$(tr ' ' '\n' <<<"${times[$threads:auto]}" | grep . | median)
  best_forced=""
  for level in auto "${levels[@]}"; do
    med=$(tr ' ' '\n' <<<"${times[$threads:$level]}" | grep . | median)
    best=$(tr ' ' '\n' <<<"${times[$threads:$level]}" | grep . | sort -n | head -1)
    printf '%-22s %10.3f %10.3f %14s\n' "--simd $level" "$(ratio "$med" 1000)" "$(ratio "$best" 1000)" \
      "$(ratio "$med" "$auto_med")"
    if [ "$level" != auto ] && { [ -z "$best_forced" ] || [ "$med" -lt "$best_forced" ]; }; then best_forced=$med; fi
  done
  r=$(ratio "$auto_med" "$best_forced")
  verdict=$(awk -v r="$r" 'BEGIN { print (r <= 1.05 ? "met" : "NOT met") }')
  [ "$verdict" = met ] || met=0
  echo "auto / best forced level (medians): $r (target <= 1.05: $verdict)"
done

if [ "$cold_reps" -gt 0 ]; then
  dev=$(stat -c '%Hd:%Ld' "$file")
  flag=$(cat "/sys/dev/block/$dev/queue/rotational" 2>/dev/null || cat "/sys/dev/block/$dev/../queue/rotational" 2>/dev/null || echo "?")
  echo
  echo "== b. cold: dropped from the cache before each run, $cold_reps rounds (device $dev, rotational: $flag)"
  cold_run() {
    dd if="$file" iflag=nocache count=0 status=none
    run_ms "$@"
  }
  declare -A cold
  for (( i = 0; i < cold_reps; i++ )); do
    for threads in 1 default; do
      for level in auto "$widest"; do
        args=(--simd "$level")
        [ "$threads" = default ] || args+=(--threads "$threads")
        cold[$threads:$level]+="$(cold_run "${args[@]}") "
      done
    done
  done
  for threads in 1 default; do
    a=$(tr ' ' '\n' <<<"${cold[$threads:auto]}" | grep . | median)
    w=$(tr ' ' '\n' <<<"${cold[$threads:$widest]}" | grep . | median)
    printf '%-22s auto %.3f s, %s %.3f s, auto / %s %s\n' "--threads $threads" "$(ratio "$a" 1000)" "$widest" \
      "$(ratio "$w" 1000)" "$widest" "$(ratio "$a" "$w")"
  done
fi

[ "$met" = 1 ] || { echo "!! auto is more than 5 % behind a forced level on a cached file"; exit 1; }
