#!/usr/bin/env bash
# Builds the packages (.deb and .tar.gz) in a Release tree, installs the .deb with
# dpkg, runs the installed zuos host, builds a small consumer against the installed
# package with pkg-config, and removes the package again (also when a step fails).
# Needs root. Usage: packaging/check-deb.sh [BUILD_DIR]   (default: build-deb)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-deb}

if [ "$(id -u)" != 0 ]; then
    echo "check-deb: dpkg -i needs root" >&2
    exit 1
fi

echo "== building the packages in $build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DZUOS_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null
rm -f "$build"/zuos_*.deb "$build"/zuos-*.tar.gz
(cd "$build" && cpack >/dev/null)
deb=$(ls "$build"/zuos_*.deb)
tgz=$(ls "$build"/zuos-*.tar.gz)
echo "built $deb and $tgz"
# Listings are captured first: grep -q closing a pipe early would fail under pipefail.
listing=$(tar -tzf "$tgz")
grep -q '/bin/zuos$' <<<"$listing" || { echo "check-deb: zuos is missing from $tgz" >&2; exit 1; }

work=$(mktemp -d /tmp/zuos-check-deb-XXXXXX)
cleanup() {
    dpkg --purge zuos >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

echo "== dpkg -i"
dpkg -i "$deb"
dpkg -L zuos

echo "== zuos host (installed)"
[ "$(command -v zuos)" = /usr/bin/zuos ] || { echo "check-deb: zuos is not /usr/bin/zuos" >&2; exit 1; }
cache=$(ldconfig -p)
grep -q 'libzuOS.so.1.0.0 ' <<<"$cache" || { echo "check-deb: the loader cache lacks libzuOS" >&2; exit 1; }
zuos host

echo "== consumer built with pkg-config against the installed package"
cc -Wall -Wextra -Werror -o "$work/consumer" tests/install/consumer/consumer.c \
    $(pkg-config --cflags --libs zuos)
"$work/consumer"

echo "== dpkg --purge"
dpkg --purge zuos
cache=$(ldconfig -p)
if [ -e /usr/bin/zuos ] || grep -q 'libzuOS.so.1.0.0 ' <<<"$cache" ||
    dpkg -s zuos >/dev/null 2>&1; then
    echo "check-deb: the package left files or loader entries behind" >&2
    exit 1
fi
echo "check-deb: OK"
