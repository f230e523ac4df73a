#!/usr/bin/env bash
# tests/browser/run.sh [BUILD_DIR]: the center's page in a real browser.
# Debian's chromium driven by playwright-core (the version package-lock.json
# pins, installed into BUILD_DIR/browser/), against zq_rcenter and datareport
# from BUILD_DIR/bin (default build/), with zq_ident telling what each file
# should show. Installs chromium, node and npm with apt-get (as root) and
# playwright-core with npm when they are missing; when that cannot be done
# it says so and fails: the stage never passes unrun.
# The resource view's screenshots land in BUILD_DIR/browser/.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build}" 2>/dev/null && pwd) || { echo "!! browser tests: no build tree ${1:-$root/build}" >&2; exit 1; }
dir=$build/browser

fail() {
  echo "!! browser tests cannot run: $*" >&2
  exit 1
}

for prog in zq_rcenter datareport zq_ident; do
  [ -x "$build/bin/$prog" ] || fail "$build/bin/$prog is not built"
done

need=()
[ -x /usr/bin/chromium ] || need+=(chromium)
command -v node >/dev/null || need+=(nodejs)
command -v npm >/dev/null || need+=(npm)
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "== browser tests: apt-get install ${need[*]}"
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"; } >/dev/null ||
      fail "apt-get install ${need[*]} failed"
  else
    fail "missing ${need[*]} (as root: apt-get install ${need[*]})"
  fi
fi

mkdir -p "$dir" || fail "cannot make $dir"
if ! cmp -s "$here/package-lock.json" "$dir/package-lock.json" || [ ! -f "$dir/node_modules/playwright-core/package.json" ]; then
  echo "== browser tests: npm ci (playwright-core) in $dir"
  cp "$here/package.json" "$here/package-lock.json" "$dir/" || fail "cannot copy the package files to $dir"
  (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error) || fail "npm ci of playwright-core failed"
fi

echo "== browser tests: $(/usr/bin/chromium --version 2>/dev/null | tail -n 1), node $(node --version)"
ZQ_BIN_DIR=$build/bin ZQ_BROWSER_DIR=$dir timeout 600 node "$here/page_test.js"
