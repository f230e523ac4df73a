#!/usr/bin/env bash
# scripts/bench_postgres.sh [BIN_DIR]: zq_rcenter on a shared PostgreSQL, in
# one run on this machine (the database, the centers and the clients share
# its cores): rcenter_bench's 32 clients against one SQLite center, one
# PostgreSQL center and two PostgreSQL centers with 16 clients each; then
# pgbench with 32 clients inserting the same rows (a resource and its
# location, one report per transaction) into the same database: the
# database's own rate. Prints the ratios the targets name. BIN_DIR (default
# build-bench/bin) holds rcenter_bench and zq_rcenter; scripts/bench.sh
# builds it. The centers run in rounds (BENCH_RC_ROUNDS, default 3), the three
# kinds in turn, and their medians are compared. BENCH_RC_REPORTS (reports per
# client) and BENCH_PGBENCH_S (the pgbench run's seconds, default 10) size the
# runs.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bin=$(cd "${1:-$root/build-bench/bin}" && pwd)
seconds=${BENCH_PGBENCH_S:-10}
[ -x "$bin/rcenter_bench" ] && [ -x "$bin/zq_rcenter" ] || { echo "!! $bin lacks rcenter_bench or zq_rcenter" >&2; exit 1; }
pg_bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[ -x "$pg_bin/pgbench" ] || { echo "!! no pgbench (scripts/install_deps.sh installs PostgreSQL)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/zq_bench_pg.XXXXXX")
chmod 755 "$work"
trap 'bash "$root/scripts/pg_scratch.sh" stop "$work/pg" || true; rm -rf "$work"' EXIT
url=$(bash "$root/scripts/pg_scratch.sh" start "$work/pg")
echo "-- a throwaway PostgreSQL ($url), synchronous_commit and fsync at their defaults"

out=$(ZQ_BENCH_DB_URL=$url "$bin/rcenter_bench" --benchmark_filter='rcenter_shared' 2>&1) || true
printf '%s\n' "$out"
rates=$(printf '%s\n' "$out" | sed -n 's/^rates: //p')
[ -n "$rates" ] || { echo "!! rcenter_bench gave no rates" >&2; exit 1; }
eval "$rates"

# The same rows the centers write, one report per transaction, new each time.
cat >"$work/report.sql" <<'SQL'
WITH r AS (
  INSERT INTO zq_rc_resource (fid, sid, sha1, md4, size, tpt, first_seen, last_seen, report_count)
  VALUES (md5(random()::text) || substr(md5(random()::text), 1, 8), md5(random()::text) || '00000000',
          md5(random()::text) || '00000000', md5(random()::text), 100000, decode(repeat('ab', 119), 'hex'),
          extract(epoch FROM now())::bigint, extract(epoch FROM now())::bigint, 1)
  ON CONFLICT (fid) DO NOTHING RETURNING id, fid)
INSERT INTO zq_rc_location (resource_id, url, file, ext, ref, first_seen)
SELECT id, convert_to('http://downloads.example.com/' || fid, 'UTF8'), '\x62656e63682e62696e'::bytea,
       '\x62696e'::bytea, '\x687474703a2f2f7265662f'::bytea, extract(epoch FROM now())::bigint FROM r;
SQL
host=$(printf '%s' "$url" | sed -n 's/.*host=\([^ ]*\).*/\1/p')
port=$(printf '%s' "$url" | sed -n 's/.*port=\([0-9]*\).*/\1/p')
echo "-- pgbench: 32 clients, ${seconds} s, one report's rows per transaction"
pg_out=$("$pg_bin/pgbench" -h "$host" -p "$port" -U postgres -n -c 32 -j 2 -T "$seconds" -f "$work/report.sql" postgres 2>&1) ||
  { printf '%s\n' "$pg_out" >&2; exit 1; }
printf '%s\n' "$pg_out" | grep -E '^(tps|number of (failed|transactions))' | sed 's/^/   /'
tps=$(printf '%s\n' "$pg_out" | sed -n 's/^tps = \([0-9.]*\).*/\1/p' | head -n 1)

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
verdict() { awk -v r="$1" -v t="$2" 'BEGIN { print (r >= t ? "met" : "NOT met") }'; }
r1=$(ratio "$postgresql_one_center" "$tps")
r2=$(ratio "$postgresql_two_centers" "$sqlite_one_center")
echo "-- reports/s: SQLite center $sqlite_one_center, PostgreSQL center $postgresql_one_center," \
     "two PostgreSQL centers $postgresql_two_centers; pgbench $tps transactions/s"
echo "   one PostgreSQL center / pgbench: $r1 (target >= 1.0: $(verdict "$r1" 1.0))"
echo "   two PostgreSQL centers / one SQLite center: $r2 (target >= 1.0: $(verdict "$r2" 1.0))"
