#!/usr/bin/env bash
# Checks a built zq-tools package: lintian finds no error, systemd-analyze
# accepts the unit, the package holds the programs, pages, conffile and a
# hardened unit, and its zq_rcenter, unpacked into a temporary root, starts
# from the packaged configuration (paths redirected into that root) and
# answers /metrics in a format a real parser reads. A missing tool fails.
set -u
deb=$1
src=$(cd "$(dirname "$0")/../.." && pwd)
fail() { echo "!! $*"; status=1; }
status=0
for tool in lintian systemd-analyze dpkg-deb /usr/bin/python3; do
  command -v "$tool" >/dev/null || { echo "!! $tool is missing (scripts/install_deps.sh installs it)"; exit 1; }
done
[ -f "$deb" ] || { echo "!! no package $deb (scripts/package.sh builds it)"; exit 1; }
root=$(mktemp -d)
pid=
cleanup() {
  [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null
  rm -rf "$root"
}
trap cleanup EXIT

echo "== lintian"
lint=$(timeout 300 lintian "$deb" 2>&1 | grep -v 'running with root privileges')
echo "$lint" | grep -q '^E:' && fail "lintian errors: $lint"

echo "== contents"
list=$(dpkg-deb -c "$deb" | awk '{print $6}')
for path in ./usr/bin/datareport ./usr/bin/zq_ident ./usr/bin/zq_lookup ./usr/bin/zq_sig ./usr/bin/zq_rcenter \
            ./usr/bin/zq_fetch ./usr/share/man/man1/zq_fetch.1.gz \
            ./usr/bin/zq_publish ./usr/share/man/man1/zq_publish.1.gz \
            ./etc/zq/rcenter.conf ./lib/systemd/system/zq-rcenter.service ./usr/share/doc/zq-tools/copyright \
            ./usr/share/man/man1/datareport.1.gz ./usr/share/man/man8/zq_rcenter.8.gz \
            ./usr/share/man/man5/main.conf.5.gz ./usr/share/man/man5/rcenter.conf.5.gz; do
  grep -qx "$path" <<<"$list" || fail "the package lacks $path"
done
dpkg-deb -I "$deb" conffiles | grep -qx /etc/zq/rcenter.conf || fail "/etc/zq/rcenter.conf is not a conffile"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libsqlite3 libssl3 libhttp-parser libcurl4 libpq5 adduser; do
  grep -q "$lib" <<<"$depends" || fail "Depends lacks $lib: $depends"
done

dpkg-deb -x "$deb" "$root" || { echo "!! cannot unpack $deb"; exit 1; }
unit=$root/lib/systemd/system/zq-rcenter.service
for line in Restart=on-failure NoNewPrivileges=yes ProtectSystem=strict ProtectHome=yes PrivateTmp=yes \
            StateDirectory=zq-rcenter LogsDirectory=zq-rcenter User=zq-rcenter KillSignal=SIGTERM \
            "SystemCallFilter=~@privileged @resources" ProcSubset=pid PrivateUsers=yes TasksMax=64; do
  grep -qx "$line" "$unit" || fail "the unit lacks $line"
done
conf=$root/etc/zq/rcenter.conf
grep -q '^db_path: /var/lib/zq-rcenter/' "$conf" || fail "the store is not under /var/lib/zq-rcenter"
grep -q '^err_log_path: /var/log/zq-rcenter/' "$conf" || fail "the log is not under /var/log/zq-rcenter"

echo "== systemd-analyze verify"
# The unit as packaged, its program looked for where it was unpacked; any
# line it prints (a setting it ignores, say) is a fault.
sed "s#^ExecStart=/usr/bin/#ExecStart=$root/usr/bin/#" "$unit" >"$root/zq-rcenter.service"
verify=$(timeout 60 systemd-analyze verify --man=no "$root/zq-rcenter.service" 2>&1) || fail "verify failed: $verify"
[ -z "$verify" ] || fail "systemd-analyze: $verify"

echo "== the packaged zq_rcenter from the packaged configuration"
# Ports any free one, the table small; the first value of a key counts.
{ printf 'listen_port: 0\nhttp_listen_port: 0\nmax_fd_num: 64\nshm_size: 1048576\n'
  sed "s#/var/#$root/var/#g" "$conf"; } >"$root/rcenter.conf"
mkdir -p "$root/run"
"$root/usr/bin/zq_rcenter" "$root/rcenter.conf" >"$root/run/out" 2>"$root/run/err" &
pid=$!
port=
for _ in $(seq 1 200); do
  port=$(sed -n 's/^http on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$root/run/out")
  [ -n "$port" ] && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$port" ]; then
  fail "zq_rcenter did not start: $(cat "$root/run/err")"
else
  /usr/bin/python3 -c 'import sys, urllib.request
r = urllib.request.urlopen("http://127.0.0.1:%s/metrics" % sys.argv[1], timeout=10)
sys.stdout.write(r.read().decode())' "$port" >"$root/run/metrics" || fail "no answer on /metrics"
  parsed=$(/usr/bin/python3 "$src/tests/support/parse_metrics.py" <"$root/run/metrics") || fail "/metrics does not parse"
  grep -q '^zq_rcenter_reports_total{outcome="accepted"} 0.0$' <<<"$parsed" || fail "no report counter: $parsed"
  [ -f "$root/var/lib/zq-rcenter/rcenter.db" ] || fail "the store is not in the redirected /var/lib/zq-rcenter"
  kill -TERM "$pid"
  for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$pid" 2>/dev/null; then
    fail "zq_rcenter did not stop on SIGTERM"
  else
    wait "$pid"; rc=$?; pid=
    [ $rc -eq 0 ] || fail "zq_rcenter ended with $rc on SIGTERM"
  fi
fi
[ $status -eq 0 ] && echo "== the package passes its checks"
exit $status
