#!/usr/bin/env bash
# Every benchmark in one run, on this machine, each beside its baseline:
#  1. the digest primitives (MD4, MD5, SHA-1 on 16 KiB and 1 MiB inputs)
#     beside `openssl speed`, with the ratios;
#  2. end to end: zq_ident on a 1 GiB file already in the page cache beside
#     the sum of `openssl dgst -md4` (legacy provider), `-sha1` and `-md5` on
#     the same file, for --threads 1 and zq_ident's default, with zq_ident's
#     peak resident memory (GNU time); then zq_ident --verify of that file
#     against its own piece table beside zq_ident on it, runs alternating;
#  3. zq_rcenter's accepted reports per second with 32 loopback clients,
#     beside the same server built from RCENTER_BASELINE_REF (default: the
#     commit before the store of record, when it kept a TSV journal);
#  4. the other benchmarks found in bench/ (cache, aio).
# Builds Release with benchmarks in build-bench/. Times are the best of
# BENCH_REPS runs (default 3). BENCH_FILE_MIB changes the file size (default
# 1024). Exits non-zero when something cannot be built or run; targets that
# are missed are reported, not failed.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-bench
reps=${BENCH_REPS:-3}
file_mib=${BENCH_FILE_MIB:-1024}
jobs=$(nproc 2>/dev/null || echo 2)

die() { echo "!! $*" >&2; exit 1; }

command -v openssl >/dev/null || die "openssl is needed for the baselines"
echo "== configure $build (Release, benchmarks on)"
bash scripts/install_deps.sh || die "libraries the build needs are missing"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZQ_BUILD_BENCH=ON -DZQ_BUILD_TESTS=OFF >/dev/null
echo "== build $build"
cmake --build "$build" -j "$jobs" >/dev/null || die "build failed (run: cmake --build $build)"
bin=$build/bin
[ -x "$bin/digest_bench" ] || die "$bin/digest_bench was not built"
[ -x "$bin/zq_ident" ] || die "$bin/zq_ident was not built"

echo
echo "== 1. digest primitives beside openssl speed"
"$bin/digest_bench"

# GNU time reports the peak resident memory; without it, install it when we
# may, otherwise leave the memory column empty.
gnu_time=/usr/bin/time
if [ ! -x "$gnu_time" ]; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "== /usr/bin/time is missing: apt-get install time"
    apt-get install -y -qq time >/dev/null || true
  fi
  [ -x "$gnu_time" ] || { echo "!! no /usr/bin/time: peak memory not measured"; gnu_time=""; }
fi

tmp=$(mktemp -d "${TMPDIR:-/tmp}/zqbench.XXXXXX")
trap 'rm -rf "$tmp"' EXIT
file=$tmp/big.bin
echo
echo "== 2. end to end on a $file_mib MiB file in the page cache ($file)"
avail_kib=$(awk '/^MemAvailable:/ {print $2}' /proc/meminfo)
if [ "${avail_kib:-0}" -lt $(( file_mib * 1024 * 2 )) ]; then
  echo "!! less than twice the file in free memory: reads may hit the disk and skew the figures"
fi
load_start=$(cut -d' ' -f1-3 /proc/loadavg)
head -c $(( file_mib * 1024 * 1024 )) /dev/urandom >"$file"
cat "$file" >/dev/null
cat "$file" >/dev/null

# Wall-clock time of one run of a command, in milliseconds.
run_ms() {
  local t0 t1
  t0=$(date +%s%N)
  "$@" >/dev/null
  t1=$(date +%s%N)
  echo $(( (t1 - t0) / 1000000 ))
}

# Best wall-clock time of $reps runs of a command, in milliseconds.
best_ms() {
  local best="" ms i
  for (( i = 0; i < reps; i++ )); do
    ms=$(run_ms "$@")
    if [ -z "$best" ] || [ "$ms" -lt "$best" ]; then best=$ms; fi
  done
  echo "$best"
}

# Peak resident memory of one run, in KiB, or empty.
peak_kib() {
  [ -n "$gnu_time" ] || return 0
  "$gnu_time" -v "$@" 2>&1 >/dev/null | awk -F': ' '/Maximum resident set size/ {print $2}'
}

secs() { awk -v ms="$1" 'BEGIN { printf "%.2f", ms / 1000 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
verdict() { awk -v r="$1" -v t="$2" 'BEGIN { print (r <= t ? "met" : "NOT met") }'; }

# The same file gives the same SHA-1 both ways, or the comparison means nothing.
ours_sha1=$("$bin/zq_ident" "$file" | awk '/^sha1: / {print $2}')
their_sha1=$(openssl dgst -sha1 -r "$file" | awk '{print $1}')
[ "$ours_sha1" = "$their_sha1" ] || die "zq_ident and openssl disagree on the SHA-1 ($ours_sha1 / $their_sha1)"

md4_ms=$(best_ms openssl dgst -provider legacy -provider default -md4 "$file")
sha1_ms=$(best_ms openssl dgst -sha1 "$file")
md5_ms=$(best_ms openssl dgst -md5 "$file")
sum_ms=$(( md4_ms + sha1_ms + md5_ms ))
default_threads=$(( jobs < 3 ? jobs : 3 ))
one_ms=$(best_ms "$bin/zq_ident" --threads 1 "$file")
def_ms=$(best_ms "$bin/zq_ident" "$file")
one_kib=$(peak_kib "$bin/zq_ident" --threads 1 "$file")
def_kib=$(peak_kib "$bin/zq_ident" "$file")
mem() { if [ -n "$1" ]; then awk -v k="$1" 'BEGIN { printf "%.1f MiB", k / 1024 }'; else echo "n/a"; fi; }

printf '\n%-34s %8s\n' "run (best of $reps)" "seconds"
printf '%-34s %8s\n' "openssl dgst -md4 (legacy)" "$(secs "$md4_ms")"
printf '%-34s %8s\n' "openssl dgst -sha1" "$(secs "$sha1_ms")"
printf '%-34s %8s\n' "openssl dgst -md5" "$(secs "$md5_ms")"
printf '%-34s %8s\n' "openssl sum of the three" "$(secs "$sum_ms")"
printf '\n%-34s %8s %7s %8s %-8s %12s\n' "zq_ident" "seconds" "ratio" "target" "" "peak RSS"
r1=$(ratio "$one_ms" "$sum_ms")
printf '%-34s %8s %7s %8s %-8s %12s\n' "--threads 1" "$(secs "$one_ms")" "$r1" "<= 0.85" "$(verdict "$r1" 0.85)" "$(mem "$one_kib")"
r2=$(ratio "$def_ms" "$sum_ms")
target2=0.55
[ "$default_threads" -ge 2 ] || target2=0.85
printf '%-34s %8s %7s %8s %-8s %12s\n' "default ($default_threads threads)" "$(secs "$def_ms")" "$r2" "<= $target2" \
  "$(verdict "$r2" "$target2")" "$(mem "$def_kib")"
# Checking against a table reads the file as identifying it does; the two
# alternate so that a change in the machine's load weighs on both.
"$bin/zq_ident" --tpt-out "$tmp/big.tpt" "$file" >/dev/null
ident_best=""
verify_best=""
for (( i = 0; i < reps; i++ )); do
  ms=$(run_ms "$bin/zq_ident" "$file")
  if [ -z "$ident_best" ] || [ "$ms" -lt "$ident_best" ]; then ident_best=$ms; fi
  ms=$(run_ms "$bin/zq_ident" --verify "$tmp/big.tpt" "$file")
  if [ -z "$verify_best" ] || [ "$ms" -lt "$verify_best" ]; then verify_best=$ms; fi
done
r3=$(ratio "$verify_best" "$ident_best")
printf '%-34s %8s %7s %8s %-8s\n' "--verify (vs zq_ident $(secs "$ident_best") s)" "$(secs "$verify_best")" "$r3" \
  "<= 1.2" "$(verdict "$r3" 1.2)"
for kib in "$one_kib" "$def_kib"; do
  if [ -n "$kib" ] && [ "$kib" -gt $(( 16 * 1024 )) ]; then echo "peak RSS target (<= 16 MiB) NOT met"; fi
done
echo "(load average at the start: $load_start, at the end: $(cut -d' ' -f1-3 /proc/loadavg), on $jobs processors;"
echo " other work on the machine slows both sides, and the threaded run most)"

echo
echo "== 3. zq_rcenter with 32 concurrent clients, beside a baseline build"
if [ -x "$bin/rcenter_bench" ] && [ -x "$bin/zq_rcenter" ]; then
  base_ref=${RCENTER_BASELINE_REF:-$(git log --diff-filter=A --format=%H -- tools/rcenter/rc_store.cpp 2>/dev/null | tail -n 1)^}
  base_src=$tmp/rcenter-baseline
  mkdir -p "$base_src"
  echo "-- baseline: zq_rcenter at $(git rev-parse --short "$base_ref" 2>/dev/null || echo "$base_ref")"
  if git archive "$base_ref" | tar -x -C "$base_src" &&
     cmake -S "$base_src" -B "$base_src/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZQ_BUILD_TESTS=OFF >/dev/null &&
     cmake --build "$base_src/build" -j "$jobs" --target zq_rcenter >/dev/null; then
    ZQ_RCENTER_BASELINE=$base_src/build/bin/zq_rcenter "$bin/rcenter_bench"
  else
    echo "!! the baseline could not be built; this build alone:"
    "$bin/rcenter_bench"
  fi
else
  echo "(rcenter_bench not built)"
fi

echo
echo "== 4. other benchmarks"
found=0
for name in cache_bench aio_bench; do
  if [ -x "$bin/$name" ]; then
    found=1
    echo "-- $name"
    "$bin/$name"
  fi
done
[ $found = 1 ] || echo "(none built)"
echo
echo "== done"
