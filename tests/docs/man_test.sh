#!/usr/bin/env bash
# Every man page source has its page built, every page renders without a
# groff warning, and every program the build makes has a page.
set -u
build=$1 src=$2
command -v groff >/dev/null || { echo "groff is missing (scripts/install_deps.sh installs it)"; exit 1; }
status=0 pages=0
for scd in "$src"/docs/man/*.scd; do
  page=$(basename "$scd" .scd)
  roff=$build/man/$page
  if [ ! -s "$roff" ]; then echo "not built: $roff"; status=1; continue; fi
  warnings=$(groff -ww -man -Tutf8 -z "$roff" 2>&1)
  [ -z "$warnings" ] || { echo "$page: $warnings"; status=1; }
  pages=$((pages + 1))
done
[ $pages -gt 0 ] || { echo "no man page built"; status=1; }
for program in "$build"/bin/datareport "$build"/bin/zq_*; do
  [ -x "$program" ] || continue
  name=$(basename "$program")
  ls "$build"/man/"$name".[18] >/dev/null 2>&1 || { echo "$name has no man page"; status=1; }
done
[ $status -eq 0 ] && echo "$pages man pages render without a warning"
exit $status
