#!/usr/bin/env bash
# cmake --install of a built tree puts the three programs in PREFIX/bin, and
# an installed datareport runs from there (its usage line, exit 255).
set -u
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null || { echo "cmake --install failed"; exit 1; }
for program in datareport zq_ident zq_rcenter; do
  [ -x "$prefix/bin/$program" ] || { echo "missing $prefix/bin/$program"; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$prefix" "$work"' EXIT
printf 'rc_ip: 127.0.0.1\nrc_port: 9\n' >"$work/main.conf"
out=$(cd "$work" && "$prefix/bin/datareport" 2>&1); rc=$?
[ $rc -eq 255 ] && [[ $out == *"use: "*"filename url"* ]] || { echo "installed datareport: exit $rc: $out"; exit 1; }
echo "installed: $(ls "$prefix/bin" | tr '\n' ' ')"
