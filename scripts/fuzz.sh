#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (build-fuzz/) and runs
# each for SECONDS (default 60), one after the other:
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]     e.g. scripts/fuzz.sh 600 conf
#
# Each target grows its working corpus in build-fuzz/corpus/<target>, seeded
# from the committed tests/fuzz/corpus/<target>; a finding (crash, failed
# check, leak, hang) is written to build-fuzz/artifacts/<target>/ and its path
# printed. Exits non-zero when any target finds something or the build fails.
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift $(( $# > 0 ? 1 : 0 ))
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
  echo "usage: $0 [SECONDS] [TARGET...]" >&2
  exit 2
fi

build=build-fuzz
cc=${FUZZ_CC:-clang}
cxx=${FUZZ_CXX:-clang++}
if ! command -v "$cxx" >/dev/null 2>&1; then
  echo "!! $cxx not found: the fuzz targets need clang (set FUZZ_CC/FUZZ_CXX)" >&2
  exit 2
fi

echo "== configure $build ($cxx, -DZQ_FUZZ=ON)"
CC=$cc CXX=$cxx cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZQ_FUZZ=ON \
  -DZQ_BUILD_TESTS=OFF >/dev/null || { echo "!! configure failed"; exit 1; }
echo "== build $build"
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target zq_fuzz_targets ||
  { echo "!! fuzz build failed"; exit 1; }

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for src in tests/fuzz/*_fuzz.cpp; do
    [ -e "$src" ] || continue
    name=$(basename "$src" .cpp)
    targets+=("${name%_fuzz}")
  done
fi

# Harnesses write their scratch files under TMPDIR: memory is several times
# faster than disk here, and a crashed run leaves nothing behind in /tmp.
scratch_base=/tmp
if [ -d /dev/shm ] && [ -w /dev/shm ]; then scratch_base=/dev/shm; fi
scratch=$(mktemp -d "$scratch_base/zqfuzz-run.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

status=0
summary=()
for target in "${targets[@]}"; do
  bin="$build/bin/${target}_fuzz"
  if [ ! -x "$bin" ]; then
    echo "!! no fuzz target named $target"; status=1; summary+=("$target: no such target"); continue
  fi
  corpus="$build/corpus/$target"
  artifacts="$build/artifacts/$target"
  log="$build/logs/$target.log"
  mkdir -p "$corpus" "$artifacts" "$build/logs"
  # close_fd_mask=1: the code under test may print; the findings go to stderr.
  args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -close_fd_mask=1
        -artifact_prefix="$artifacts/")
  [ -f "tests/fuzz/$target.dict" ] && args+=(-dict="tests/fuzz/$target.dict")
  # A target's own libFuzzer flags (say -max_len), whitespace-separated.
  [ -f "tests/fuzz/$target.options" ] && read -r -a extra <"tests/fuzz/$target.options" && args+=("${extra[@]}")
  seeds=()
  [ -d "tests/fuzz/corpus/$target" ] && seeds+=("tests/fuzz/corpus/$target")

  echo "== fuzz $target for ${seconds} s (log: $log)"
  before=$(find "$artifacts" -type f | wc -l)
  # The outer limit only matters if the fuzzer itself wedges.
  TMPDIR=$scratch timeout --signal=KILL $((seconds + 120)) "$bin" "${args[@]}" "$corpus" "${seeds[@]}" >"$log" 2>&1
  rc=$?

  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n1)
  rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$log" | tail -n1)
  cov=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -n1)
  files=$(find "$corpus" -type f | wc -l)
  line="$target: ${runs:-?} runs (${speed:-?}/s), ${cov:-no coverage line}, corpus $files files, peak ${rss:-?} MB"
  after=$(find "$artifacts" -type f | wc -l)
  if [ $rc -eq 0 ] && [ "$after" -eq "$before" ]; then
    echo "-- $line: nothing found"
    summary+=("ok    $line")
  else
    status=1
    kept=$(sed -n "s/.*Test unit written to //p" "$log" | tail -n1)
    echo "!! $target: finding (exit status $rc); the last lines of $log:"
    grep -E -B2 -A30 '^==[0-9]+==ERROR|runtime error|fuzz check failed|ERROR: libFuzzer' "$log" | head -n 25 ||
      tail -n 40 "$log"
    echo "!! input kept at: ${kept:-(none written; see $log)}"
    [ -n "$kept" ] && echo "!! replay with: $bin $kept"
    summary+=("FOUND $line; input: ${kept:-see $log}")
  fi
done

echo "== fuzz summary (${seconds} s per target)"
for line in "${summary[@]}"; do echo "   $line"; done
exit $status
