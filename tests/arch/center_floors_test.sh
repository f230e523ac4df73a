#!/usr/bin/env bash
# The dependency check guards the center's floors: in a copy of the sources,
# a store file that includes an HTTP header, an HTTP file that includes the
# report handler's and a report file that names a backend each fail it.
set -u
src=$1
copy=$(mktemp -d)
trap 'rm -rf "$copy"' EXIT
cp -r "$src/svrlib" "$src/lib" "$src/src" "$src/tools" "$copy/"
python3 "$src/scripts/check_deps.py" --root "$copy" >/dev/null || { echo "the copy fails before any change"; exit 1; }
echo '#include "rc_http.h"' >>"$copy/tools/rcenter/store/rc_store.cpp"
echo '#include "rc_check.h"' >>"$copy/tools/rcenter/http/rc_list.cpp"
echo '#include "rc_sqlite_store.h"' >>"$copy/tools/rcenter/report/rc_check.cpp"
out=$(python3 "$src/scripts/check_deps.py" --root "$copy"); rc=$?
echo "$out"
[ $rc -eq 1 ] || { echo "check passed a store that includes HTTP (exit $rc)"; exit 1; }
for want in "upward include: tools/rcenter/store/rc_store.cpp:[0-9]* includes rc_http.h" \
            "sideways include: tools/rcenter/http/rc_list.cpp:[0-9]* includes rc_check.h" \
            "backend named outside the factory: tools/rcenter/report/rc_check.cpp:[0-9]* includes rc_sqlite_store.h"; do
  grep -q "$want" <<<"$out" || { echo "missing: $want"; exit 1; }
done
