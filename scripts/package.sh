#!/usr/bin/env bash
# Builds the Debian package build-pkg/zq-tools_<version>_amd64.deb: a
# Release build (in build-pkg/build, or the tree ZQ_PKG_BUILD_DIR names, as
# scripts/test.sh passes its own), then CPack's DEB generator over it.
# Install it with: dpkg -i build-pkg/zq-tools_<version>_amd64.deb
set -euo pipefail
cd "$(dirname "$0")/.."
out=$PWD/build-pkg
dir=${ZQ_PKG_BUILD_DIR:-$out/build}
jobs=$(nproc 2>/dev/null || echo 2)

bash scripts/install_deps.sh || echo "!! the build or the package will fail without them"
mkdir -p "$out"
if [ -z "${ZQ_PKG_BUILD_DIR:-}" ]; then
  echo "== configure $dir"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZQ_BUILD_TESTS=OFF >/dev/null
fi
echo "== build $dir"
cmake --build "$dir" -j "$jobs"
echo "== package"
rm -f "$out"/zq-tools_*.deb
(cd "$dir" && cpack -G DEB -B "$out" >/dev/null)
rm -rf "$out/_CPack_Packages"
ls "$out"/zq-tools_*_amd64.deb
