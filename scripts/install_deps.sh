#!/usr/bin/env bash
# What the build and the tests need beyond the compilers, CMake, Ninja,
# GoogleTest and Google Benchmark, each package for one job:
#   libsqlite3-dev       zq_rcenter's store (SQLite)
#   libssl-dev           libcrypto: the cipher and random bytes of signed removals
#   libhttp-parser-dev   zq_rcenter's HTTP requests
#   nlohmann-json3-dev   every JSON the programs write or read
#   libcurl4-openssl-dev zq_fetch's HTTP client
#   nginx, openssl       the tests' mirrors, and a test certificate
#   aria2, curl          the center's redirect and Metalink, downloaded by other clients in its tests
#   chromium, nodejs, npm the page's browser tests (npm brings playwright-core)
#   libpq-dev            the shared store on PostgreSQL
#   postgresql           the throwaway servers of the shared-store tests
#   scdoc, groff-base    the man pages, and their check
#   python3-prometheus-client  the tests' reader of /metrics
#   dpkg-dev, file, lintian, systemd  the Debian package and its checks
# Installs what is missing with apt-get when run as root; otherwise names
# what to install. Exits non-zero when something is still missing.
set -uo pipefail

need=()
[ -f /usr/include/sqlite3.h ] || need+=(libsqlite3-dev)
[ -f /usr/include/openssl/evp.h ] || need+=(libssl-dev)
[ -f /usr/include/http_parser.h ] || need+=(libhttp-parser-dev)
# JSON, read and written by the center and zq_fetch (header-only).
[ -f /usr/include/nlohmann/json.hpp ] || need+=(nlohmann-json3-dev)
# zq_fetch downloads with libcurl; its tests serve the mirrors with nginx
# (the TLS one with a certificate openssl makes).
[ -f /usr/include/x86_64-linux-gnu/curl/curl.h ] || [ -f /usr/include/curl/curl.h ] || need+=(libcurl4-openssl-dev)
[ -x /usr/sbin/nginx ] || need+=(nginx)
[ -x /usr/bin/openssl ] || need+=(openssl)
# The center's download doors are tested with clients of other makers:
# aria2c reads the Metalink (and checks every piece), curl follows the redirect.
command -v aria2c >/dev/null || need+=(aria2)
command -v curl >/dev/null || need+=(curl)
# The page's browser tests (tests/browser/run.sh): Debian's chromium, and
# node with npm, which installs playwright-core into the build tree.
[ -x /usr/bin/chromium ] || need+=(chromium)
command -v node >/dev/null || need+=(nodejs)
command -v npm >/dev/null || need+=(npm)
# libpq: zq_rcenter's shared store; the server itself: the tests' throwaway database.
[ -f /usr/include/postgresql/libpq-fe.h ] || need+=(libpq-dev)
compgen -G '/usr/lib/postgresql/*/bin/initdb' >/dev/null || need+=(postgresql)
# The man pages (scdoc, groff), the metrics parser of the tests, and the
# package and its checks (dpkg-shlibdeps, file, lintian, systemd-analyze).
command -v scdoc >/dev/null || need+=(scdoc)
command -v groff >/dev/null || need+=(groff-base)
[ -f /usr/lib/python3/dist-packages/prometheus_client/parser.py ] || need+=(python3-prometheus-client)
command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
command -v file >/dev/null || need+=(file)
command -v lintian >/dev/null || need+=(lintian)
command -v systemd-analyze >/dev/null || need+=(systemd)
[ ${#need[@]} -eq 0 ] && exit 0

if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  echo "== missing headers: apt-get install ${need[*]}"
  if { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"; } >/dev/null; then
    exit 0
  fi
  echo "!! apt-get install ${need[*]} failed" >&2
else
  echo "!! missing ${need[*]}: install them (as root: apt-get install ${need[*]})" >&2
fi
exit 1
