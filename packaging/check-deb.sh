#!/usr/bin/env bash
# Builds the three Debian packages (libzuos1.0.0, libzuos-dev, zuos) from a copy of
# the tree with dpkg-buildpackage, checks each with lintian (no error, no warning),
# installs them with dpkg, runs the installed zuos, builds a C consumer through
# pkg-config and through CMake's find_package against the installed files, and purges
# the packages again (also when a step fails).
# Needs root, and debhelper, dpkg-dev, lintian and devscripts (.ci/run installs them).
# Usage: packaging/check-deb.sh
set -euo pipefail
cd "$(dirname "$0")/.."

fail() { echo "check-deb: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || fail "dpkg -i needs root"

packages=(libzuos1.0.0 libzuos-dev zuos)
work=$(mktemp -d /tmp/zuos-check-deb-XXXXXX)
cleanup() {
    dpkg --purge "${packages[@]}" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

echo "== building the packages in $work"
# dpkg-buildpackage writes into the tree and beside it: work on a copy of the
# tracked (and untracked, not ignored) files.
mkdir "$work/src"
git ls-files -z --cached --others --exclude-standard |
    tar --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -xf - -C "$work/src"
(cd "$work/src" && dpkg-buildpackage -b -us -uc >"$work/build.log" 2>&1) || {
    tail -50 "$work/build.log"; fail "dpkg-buildpackage failed"; }
version=$(cd "$work/src" && dpkg-parsechangelog -S Version)
project=$(sed -n 's/^project(libzuOS VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ "$version" = "$project" ] ||
    fail "debian/changelog says $version, CMakeLists.txt $project: add a changelog entry"
arch=$(dpkg --print-architecture)
debs=()
for p in "${packages[@]}"; do
    debs+=("$work/${p}_${version}_${arch}.deb")
    [ -f "${debs[-1]}" ] || fail "${debs[-1]} was not built"
done

echo "== lintian"
# Overrides, if any, are in debian/*.lintian-overrides and listed in packaging/README.md.
lintian --fail-on error,warning --info "${debs[@]}" || fail "lintian found errors or warnings"

echo "== dpkg -i"
dpkg -i "${debs[@]}"
for p in "${packages[@]}"; do dpkg -L "$p"; done

echo "== zuos (installed)"
[ "$(command -v zuos)" = /usr/bin/zuos ] || fail "zuos is not /usr/bin/zuos"
grep -q 'libzuOS.so.1.0.0 ' <<<"$(ldconfig -p)" || fail "the loader cache lacks libzuOS"
[ "$(zuos --version)" = "zuos $version (libzuOS $version)" ] || fail "zuos --version: $(zuos --version)"
zuos host
hardening-check --nocfprotection /usr/lib/"$(dpkg-architecture -qDEB_HOST_MULTIARCH)"/libzuOS.so.1.0.0 \
    /usr/bin/zuos >/dev/null || fail "an installed binary lacks a hardening feature"
man -w zuos >/dev/null || fail "man finds no page for zuos"
[ -f /usr/share/bash-completion/completions/zuos ] || fail "the bash completion is missing"

echo "== consumers built against the installed packages"
cc -std=c11 -Wall -Wextra -Werror -o "$work/pc-consumer" tests/install/consumer/consumer.c \
    $(pkg-config --cflags --libs zuos)
"$work/pc-consumer"
cmake -S tests/install/consumer -B "$work/fp" >"$work/fp.log" 2>&1 &&
    cmake --build "$work/fp" >>"$work/fp.log" 2>&1 || { cat "$work/fp.log"; fail "find_package consumer"; }
"$work/fp/consumer"

echo "== dpkg --purge"
dpkg --purge "${packages[@]}"
for p in "${packages[@]}"; do
    if dpkg -s "$p" >/dev/null 2>&1; then fail "$p is still installed"; fi
done
if [ -e /usr/bin/zuos ] || [ -e /usr/include/zuos ] || grep -q 'libzuOS' <<<"$(ldconfig -p)"; then
    fail "the packages left files or loader entries behind"
fi
echo "check-deb: OK"
