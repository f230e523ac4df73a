# Sourced by scripts/demo.sh and scripts/demo_postgres.sh: what both demos
# do alike. Expects $root (the project) to be set.

die() {
  echo "demo: $*" >&2
  exit 1
}

# Sets $bin: ZQ_BIN_DIR when given, else build/ after building the three
# programs the demos run (Release) and installing what they need.
demo_programs() {
  if [ -n "${ZQ_BIN_DIR:-}" ]; then
    bin=$(cd "$ZQ_BIN_DIR" && pwd)
  else
    bin=$root/build/bin
    echo "== building datareport, zq_rcenter and zq_lookup (Release) in $root/build"
    bash "$root/scripts/install_deps.sh" || die "what the build needs is missing"
    if [ ! -f "$root/build/CMakeCache.txt" ]; then
      cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null || die "cmake configure failed"
    fi
    cmake --build "$root/build" --target datareport zq_rcenter zq_lookup || die "build failed"
  fi
  local prog
  for prog in datareport zq_rcenter zq_lookup; do
    [ -x "$bin/$prog" ] || die "$bin/$prog is missing"
  done
}

# demo_start_center DIR WHAT: zq_rcenter with DIR/rcenter.conf, run in DIR;
# sets $center_pid, $center_port and $center_http once it announced both
# ports (within 30 s), else dies showing its errors. WHAT names it there.
demo_start_center() {
  local dir=$1 what=$2
  (cd "$dir" && exec "$bin/zq_rcenter" rcenter.conf >server.out 2>server.err) &
  center_pid=$!
  center_port=
  for _ in $(seq 300); do
    center_port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$dir/server.out" 2>/dev/null || true)
    [ -n "$center_port" ] && break
    kill -0 "$center_pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ -z "$center_port" ]; then
    cat "$dir/server.err" >&2 || true
    die "$what did not start"
  fi
  center_http=$(sed -n 's/^http on 127\.0\.0\.1:\([0-9][0-9]*\)$/\1/p' "$dir/server.out")
  [ -n "$center_http" ] || die "$what did not announce its HTTP port"
}
