# What the benchmark scripts share; sourced by them, not run.

# bench_tool PACKAGE PATH: true once the program PATH is there, installed from
# PACKAGE with apt-get when it is missing and this runs as root.
bench_tool() {
  local pkg=$1 path=$2
  if [ ! -x "$path" ] && [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "== $path is missing: apt-get install $pkg"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$pkg" >/dev/null || true
  fi
  [ -x "$path" ]
}
