#!/usr/bin/env bash
# Every benchmark in one run, on this machine, each beside its baseline:
#  1. the digest primitives (MD4, MD5, SHA-1 on 16 KiB and 1 MiB inputs)
#     beside `openssl speed`, and the multi-lane MD5 and MD4 aggregate at
#     each vector level beside one OpenSSL stream, with the ratios;
#  2. end to end: zq_ident (--threads 1 and its default) on a 1 GiB file
#     already in the page cache beside `rhash --ed2k --sha1 --md5`, beside
#     `openssl dgst -sha1` alone and beside the sum of `openssl dgst -md4`
#     (legacy provider), `-sha1` and `-md5`; then zq_ident --verify of that
#     file against its own piece table beside zq_ident on it, runs
#     alternating; then on a sparse 8 GiB file beside rhash and `openssl
#     dgst -sha1`; with peak resident memory (GNU time) for each; rhash and
#     GNU time are installed with apt-get when missing and running as root;
#  2c. --simd auto beside every forced level on a cached and a cold file
#     (scripts/bench_readorder.sh);
#  3. zq_rcenter's accepted reports per second with 32 loopback clients,
#     beside the same server built from the commit RCENTER_BASELINE_REF
#     (default b4b2e45, the last center that kept a TSV journal, before the
#     store of record); a clone that lacks it (a shallow one) fails this
#     stage and says so;
#  3b. the same load on one and two centers sharing a throwaway PostgreSQL,
#     beside pgbench's own rate (scripts/bench_postgres.sh);
#  4. the other benchmarks found in bench/ (cache, aio, the read-order probe);
#  5. zq_fetch from four rate-limited nginx mirrors beside aria2c, and its
#     --repair beside zq_ident --verify (scripts/bench_fetch.sh);
#  6. the mirror checks and the download doors: wrk on the download redirect
#     beside nginx's own return 302, checks of 10,000 locations on four
#     nginx mirrors, the Metalink of an 8,192-piece resource
#     (scripts/bench_mirrors.sh);
#  7. zq_publish over 10,000 small files beside a datareport loop and rhash,
#     its unchanged re-run beside find, one 1 GiB file beside zq_ident
#     (scripts/bench_publish.sh).
# Builds Release with benchmarks in build-bench/. Times are the best of
# BENCH_REPS runs (default 3; BENCH_BIG_REPS, default 1, for the large file).
# BENCH_FILE_MIB and BENCH_BIG_MIB change the sizes (default 1024 and 8192).
# Every stage runs even when one before it failed; the script then exits
# non-zero, naming the stages that failed. Targets that are missed are
# reported, not failed.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-bench
reps=${BENCH_REPS:-3}
file_mib=${BENCH_FILE_MIB:-1024}
big_mib=${BENCH_BIG_MIB:-8192}
big_reps=${BENCH_BIG_REPS:-1}
jobs=$(nproc 2>/dev/null || echo 2)

die() { echo "!! $*" >&2; exit 1; }
failed=()
stage_failed() { echo "!! $*" >&2; failed+=("$1"); }
baseline_ref=${RCENTER_BASELINE_REF:-b4b2e458ede101a99d7baad1f7e94f62ba58023d}

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
"$bin/digest_bench" || stage_failed "1 (digest_bench)"

# GNU time reports the peak resident memory and rhash is the one-pass
# multi-digest baseline; install either when missing and we may.
. scripts/bench_lib.sh
gnu_time=/usr/bin/time
bench_tool time "$gnu_time" || { echo "!! no /usr/bin/time: peak memory not measured"; gnu_time=""; }
rhash_bin=$(command -v rhash || echo /usr/bin/rhash)
bench_tool rhash "$rhash_bin" || { echo "!! no rhash: the rhash comparisons are left out"; rhash_bin=""; }

tmp=$(mktemp -d "${TMPDIR:-/tmp}/zqbench.XXXXXX")
trap 'rm -rf "$tmp"' EXIT

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

# Peak resident memory of one run in KiB and its processor time (user and
# system) in seconds, or nothing. On a busy machine the processor time says
# more than the wall-clock time.
usage_of() {
  [ -n "$gnu_time" ] || return 0
  "$gnu_time" -v "$@" 2>&1 >/dev/null | awk -F': ' '/Maximum resident set size/ {k = $2}
    /User time/ {c += $2} /System time/ {c += $2} END { printf "%s %.2f\n", k, c }'
}
kib_of() { echo "${1% *}"; }
cpu_of() { if [ -n "$1" ]; then echo "${1#* }"; else echo "n/a"; fi; }

secs() { awk -v ms="$1" 'BEGIN { printf "%.2f", ms / 1000 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
verdict() { awk -v r="$1" -v t="$2" 'BEGIN { print (r <= t ? "met" : "NOT met") }'; }
mem() { if [ -n "$1" ]; then awk -v k="$1" 'BEGIN { printf "%.1f MiB", k / 1024 }'; else echo "n/a"; fi; }
row() { printf '%-34s %8s %7s %8s %-8s %12s\n' "$@"; }
default_threads=$(( jobs < 3 ? jobs : 3 ))

# One file, end to end: zq_ident on one thread and its default beside rhash
# and `openssl dgst -sha1` alone (and, with sums=1, beside the sum of the
# three openssl digests), with ratios, targets and peak resident memory.
end_to_end() {
  local file=$1 sums=$2
  local load_start ours_sha1 their_sha1 sha1_ms rhash_ms="" one_ms def_ms one_use def_use rhash_use="" sha1_use r
  load_start=$(cut -d' ' -f1-3 /proc/loadavg)
  # The same file gives the same SHA-1 both ways, or the comparison means nothing.
  ours_sha1=$("$bin/zq_ident" "$file" | awk '/^sha1: / {print $2}')
  their_sha1=$(openssl dgst -sha1 -r "$file" | awk '{print $1}')
  [ "$ours_sha1" = "$their_sha1" ] || die "zq_ident and openssl disagree on the SHA-1 ($ours_sha1 / $their_sha1)"

  sha1_ms=$(best_ms openssl dgst -sha1 "$file")
  if [ -n "$rhash_bin" ]; then
    rhash_ms=$(best_ms "$rhash_bin" --ed2k --sha1 --md5 "$file")
    rhash_use=$(usage_of "$rhash_bin" --ed2k --sha1 --md5 "$file")
  fi
  one_ms=$(best_ms "$bin/zq_ident" --threads 1 "$file")
  def_ms=$(best_ms "$bin/zq_ident" "$file")
  one_use=$(usage_of "$bin/zq_ident" --threads 1 "$file")
  def_use=$(usage_of "$bin/zq_ident" "$file")
  sha1_use=$(usage_of openssl dgst -sha1 "$file")

  printf '\n%-34s %8s %12s %8s\n' "run (best of $reps)" "seconds" "peak RSS" "cpu s"
  printf '%-34s %8s %12s %8s\n' "openssl dgst -sha1" "$(secs "$sha1_ms")" "$(mem "$(kib_of "$sha1_use")")" \
    "$(cpu_of "$sha1_use")"
  if [ -n "$rhash_ms" ]; then
    printf '%-34s %8s %12s %8s\n' "rhash --ed2k --sha1 --md5" "$(secs "$rhash_ms")" "$(mem "$(kib_of "$rhash_use")")" \
      "$(cpu_of "$rhash_use")"
  fi
  local sum_ms=""
  if [ "$sums" = 1 ]; then
    local md4_ms md5_ms
    md4_ms=$(best_ms openssl dgst -provider legacy -provider default -md4 "$file")
    md5_ms=$(best_ms openssl dgst -md5 "$file")
    sum_ms=$(( md4_ms + sha1_ms + md5_ms ))
    printf '%-34s %8s\n' "openssl dgst -md4 (legacy)" "$(secs "$md4_ms")"
    printf '%-34s %8s\n' "openssl dgst -md5" "$(secs "$md5_ms")"
    printf '%-34s %8s\n' "openssl sum of the three" "$(secs "$sum_ms")"
  fi

  printf '\n'
  row "zq_ident" "seconds" "ratio" "target" "" "peak RSS"
  row "--threads 1" "$(secs "$one_ms")" "" "" "" "$(mem "$(kib_of "$one_use")")"
  row "default ($default_threads threads)" "$(secs "$def_ms")" "" "" "" "$(mem "$(kib_of "$def_use")")"
  echo "(processor time, user and system: --threads 1 $(cpu_of "$one_use") s, default $(cpu_of "$def_use") s)"
  if [ -n "$rhash_ms" ]; then
    r=$(ratio "$one_ms" "$rhash_ms"); row "  --threads 1 / rhash" "" "$r" "<= 0.60" "$(verdict "$r" 0.60)" ""
    local t=0.35
    [ "$default_threads" -ge 2 ] || t=0.60
    r=$(ratio "$def_ms" "$rhash_ms"); row "  default / rhash" "" "$r" "<= $t" "$(verdict "$r" "$t")" ""
  fi
  r=$(ratio "$one_ms" "$sha1_ms"); row "  --threads 1 / openssl sha1" "" "$r" "" "" ""
  if [ "$default_threads" -ge 2 ]; then
    r=$(ratio "$def_ms" "$sha1_ms"); row "  default / openssl sha1" "" "$r" "<= 1.30" "$(verdict "$r" 1.30)" ""
  else
    r=$(ratio "$def_ms" "$sha1_ms"); row "  default / openssl sha1" "" "$r" "" "" ""
  fi
  if [ -n "$sum_ms" ]; then
    r=$(ratio "$one_ms" "$sum_ms"); row "  --threads 1 / openssl sum" "" "$r" "<= 0.85" "$(verdict "$r" 0.85)" ""
    local t2=0.55
    [ "$default_threads" -ge 2 ] || t2=0.85
    r=$(ratio "$def_ms" "$sum_ms"); row "  default / openssl sum" "" "$r" "<= $t2" "$(verdict "$r" "$t2")" ""
  fi
  for kib in "$(kib_of "$one_use")" "$(kib_of "$def_use")"; do
    if [ -n "$kib" ] && [ "$kib" -gt $(( 32 * 1024 )) ]; then echo "peak RSS target (<= 32 MiB) NOT met"; fi
  done
  echo "(load average at the start: $load_start, at the end: $(cut -d' ' -f1-3 /proc/loadavg), on $jobs processors;"
  echo " other work on the machine slows both sides, and the threaded run most)"
}

file=$tmp/big.bin
echo
echo "== 2. end to end on a $file_mib MiB file in the page cache ($file)"
avail_kib=$(awk '/^MemAvailable:/ {print $2}' /proc/meminfo)
if [ "${avail_kib:-0}" -lt $(( file_mib * 1024 * 2 )) ]; then
  echo "!! less than twice the file in free memory: reads may hit the disk and skew the figures"
fi
head -c $(( file_mib * 1024 * 1024 )) /dev/urandom >"$file"
cat "$file" >/dev/null
cat "$file" >/dev/null
end_to_end "$file" 1
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
rm -f "$file" "$tmp/big.tpt"

# The large file is a hole: its pages are zeros the kernel hands out without
# a disk, so this is the processor-bound figure at 8 GiB (1 MiB pieces, the
# widest window), not a disk figure.
big=$tmp/sparse.bin
echo
echo "== 2b. end to end on a sparse $big_mib MiB file (a hole: no disk reads, processor-bound; best of $big_reps)"
truncate -s $(( big_mib * 1024 * 1024 )) "$big"
reps=$big_reps end_to_end "$big" 0
rm -f "$big"
echo
echo "== 2c. the read order of --simd auto beside every forced level (scripts/bench_readorder.sh)"
ORDER_MIB=$file_mib bash scripts/bench_readorder.sh "$bin" || stage_failed "2c (the read-order benchmark)"
echo
echo "== 3. zq_rcenter with 32 concurrent clients, beside a baseline build"
if [ -x "$bin/rcenter_bench" ] && [ -x "$bin/zq_rcenter" ]; then
  base_src=$tmp/rcenter-baseline
  mkdir -p "$base_src"
  echo "-- baseline: zq_rcenter at $baseline_ref"
  if ! git cat-file -e "$baseline_ref^{commit}" 2>/dev/null; then
    stage_failed "3 (the baseline commit $baseline_ref is not in this clone: a shallow clone? set RCENTER_BASELINE_REF)"
  elif git archive "$baseline_ref" | tar -x -C "$base_src" &&
     cmake -S "$base_src" -B "$base_src/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZQ_BUILD_TESTS=OFF >/dev/null &&
     cmake --build "$base_src/build" -j "$jobs" --target zq_rcenter >/dev/null; then
    ZQ_RCENTER_BASELINE=$base_src/build/bin/zq_rcenter "$bin/rcenter_bench" || stage_failed "3 (rcenter_bench)"
  else
    stage_failed "3 (the baseline at $baseline_ref could not be built)"
  fi
else
  stage_failed "3 (rcenter_bench or zq_rcenter not built)"
fi

echo
echo "== 3b. zq_rcenter on a shared PostgreSQL: one SQLite center, one and two PostgreSQL centers, pgbench"
bash scripts/bench_postgres.sh "$bin" || stage_failed "3b (the PostgreSQL benchmark)"

echo
echo "== 4. other benchmarks"
found=0
for name in cache_bench aio_bench readorder_bench; do
  if [ -x "$bin/$name" ]; then
    found=1
    echo "-- $name"
    "$bin/$name" || stage_failed "4 ($name)"
  fi
done
[ $found = 1 ] || echo "(none built)"
echo
echo "== 5. zq_fetch beside aria2c, and --repair beside zq_ident --verify"
bash scripts/bench_fetch.sh "$bin" || stage_failed "5 (the zq_fetch benchmark)"
echo
echo "== 6. the mirror checks, the download redirect beside nginx, the Metalink"
bash scripts/bench_mirrors.sh "$bin" || stage_failed "6 (the mirror benchmark)"
echo
echo "== 7. zq_publish beside a datareport loop, rhash, find and zq_ident"
bash scripts/bench_publish.sh "$bin" || stage_failed "7 (the zq_publish benchmark)"
echo
if [ ${#failed[@]} -gt 0 ]; then
  echo "== done, with failed stages: ${failed[*]}"
  exit 1
fi
echo "== done"
