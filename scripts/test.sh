#!/usr/bin/env bash
# The whole test run, from a fresh clone:
#
#   scripts/test.sh            every stage below
#   scripts/test.sh --quick    stages 0 and 1 only, for a developer's loop
#
#  0. the build's dependencies, installed with apt-get when missing
#     (scripts/install_deps.sh, as root);
#  1. a Release build (build/) and its CTest suite: unit and process tests,
#     the servers they start (PostgreSQL, nginx), the dependency check, the
#     man pages;
#  2. the center's page in headless Chromium, driven by playwright-core
#     (tests/browser/run.sh, which installs both when missing);
#  3. the Debian package from the Release build, and its checks (lintian,
#     the unit, its contents, its zq_rcenter started from the packaged
#     configuration: tests/packaging/package_test.sh);
#  4. an AddressSanitizer + UndefinedBehaviorSanitizer build (build-asan/)
#     and the whole CTest suite again under it;
#  5. ThreadSanitizer builds (build-tsan/) of the threaded cases: the
#     one-pass digests, the center's store threads and zq_publish's
#     reading threads;
#  6. every libFuzzer target for ZQ_FUZZ_SECONDS (default 20) each, with
#     clang (scripts/fuzz.sh, build-fuzz/).
#
# Every stage runs even when one before it failed; the script exits non-zero
# when anything failed to build or pass, and says which.
set -uo pipefail
cd "$(dirname "$0")/.."

quick=0
case "${1:-}" in
  --quick) quick=1 ;;
  "") ;;
  *) echo "usage: $0 [--quick]" >&2; exit 2 ;;
esac

jobs=$(nproc 2>/dev/null || echo 2)
status=0

# SQLite, libcrypto, the HTTP parser, libpq and the PostgreSQL server the
# shared-store tests start: installed when missing (as root).
bash scripts/install_deps.sh || echo "!! the build will fail without them"

configure_and_build() {
  local dir=$1; shift
  echo "== configure $dir ($*)"
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null || return 1
  echo "== build $dir"
  cmake --build "$dir" -j "$jobs" || return 1
}

configure_and_build_target() {
  local dir=$1 target=$2; shift 2
  echo "== configure $dir ($*)"
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null || return 1
  echo "== build $dir ($target)"
  cmake --build "$dir" -j "$jobs" --target "$target" || return 1
}

run_tests() {
  local dir=$1
  echo "== ctest $dir"
  local log="$dir/ctest-output.txt"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 600) >"$log" 2>&1
  local rc=$?
  # Keep the console short: failures in full, then ctest's summary lines.
  grep -E -A200 '^(The following tests FAILED|[0-9]+% tests passed)' "$log" || tail -n 40 "$log"
  if [ $rc -ne 0 ]; then
    echo "-- failures in $dir (full output in $log):"
    grep -E -B2 -A40 '\*\*\*Failed|\*\*\*Timeout|\*\*\*Exception' "$log" | head -n 400
  fi
  return $rc
}

if configure_and_build build -DCMAKE_BUILD_TYPE=Release; then
  run_tests build || status=1
else
  echo "!! Release build failed"; status=1
fi
if [ $quick = 1 ]; then
  if [ $status -eq 0 ]; then echo "== quick run passed (the full run: scripts/test.sh)"; else echo "== FAILED"; fi
  exit $status
fi

# The center's page in a real browser (chromium driven by playwright-core,
# both installed when missing) against the Release programs.
if [ -x build/bin/zq_rcenter ] && [ -x build/bin/datareport ]; then
  echo "== browser tests (tests/browser/run.sh build)"
  bash tests/browser/run.sh build || { echo "!! browser tests failed"; status=1; }
fi
# The Debian package, from the Release tree just built: lintian, the unit,
# its contents, and its zq_rcenter started from the packaged configuration.
package_stage() {
  [ -d build ] || return 1
  ZQ_PKG_BUILD_DIR=build bash scripts/package.sh || return 1
  echo "== package checks"
  bash tests/packaging/package_test.sh build-pkg/zq-tools_*_amd64.deb
}
package_stage || { echo "!! package build or checks failed"; status=1; }

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
if configure_and_build build-asan -DCMAKE_BUILD_TYPE=Debug -DZQ_SANITIZE=ON; then
  run_tests build-asan || status=1
else
  echo "!! sanitizer build failed"; status=1
fi

# Threaded code once more under ThreadSanitizer: the same CMake description
# with ZQ_TSAN, building only the test program asked for and running the
# cases where threads hand work to each other (the one-pass digests, the
# center's store threads with a server in the test process, zq_publish's
# reading threads). TSan exits
# non-zero on a race.
tsan_run() {
  local dir=build-tsan target=$1 filter=$2 what=$3
  configure_and_build_target "$dir" "$target" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZQ_TSAN=ON || return 1
  echo "== run $dir/bin/$target ($what cases)"
  TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1} "$dir/bin/$target" --gtest_filter="$filter" --gtest_brief=1 || return 1
  echo "== no data race in the $what cases"
}
tsan_run svrlib_tests 'OnePassThreads.*:OnePassChange.*:OnePassProgress.*' "threaded one-pass" ||
  { echo "!! ThreadSanitizer run failed"; status=1; }
tsan_run rcenter_tests 'StoreWorker.*:RcenterTurn.*:RcenterHttpTurn.*' "store thread" ||
  { echo "!! ThreadSanitizer run of the store thread failed"; status=1; }
tsan_run publish_tests 'PublishHasher.*' "zq_publish hasher" ||
  { echo "!! ThreadSanitizer run of zq_publish's reading threads failed"; status=1; }

# Fuzz stage: a short run of every fuzz target (scripts/fuzz.sh, clang) keeps
# the targets building and alive; anything a target finds fails the script.
fuzz_seconds=${ZQ_FUZZ_SECONDS:-20}
if command -v clang++ >/dev/null 2>&1; then
  echo "== fuzz targets, ${fuzz_seconds} s each"
  bash scripts/fuzz.sh "$fuzz_seconds" || { echo "!! fuzzing failed or found something"; status=1; }
else
  echo "== fuzz targets skipped: clang++ not found"
fi

if [ $status -eq 0 ]; then echo "== all tests passed"; else echo "== FAILED"; fi
exit $status
