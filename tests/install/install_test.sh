#!/bin/sh
# Install-and-consume test.
#   install_test.sh MODE BUILD_DIR WORK_DIR LIBDIR C_COMPILER "C_FLAGS"
# MODE install:      cmake --install BUILD_DIR into WORK_DIR/prefix and check the tree.
# MODE find_package: build tests/install/consumer with find_package(zuOS) and run it.
# MODE pkg-config:   compile consumer.c with pkg-config --cflags --libs zuos, with the
#                    prefix's library directory as its run path, and run it.
# Exit 77 (a skip) when pkg-config is not installed.
set -eu
mode=$1 build=$2 work=$3 libdir=$4 cc=$5 cflags=$6
here=$(cd "$(dirname "$0")" && pwd)
prefix=$work/prefix

fail() { echo "install test: $*" >&2; exit 1; }

case $mode in
install)
    rm -rf "$work"
    mkdir -p "$work"
    cmake --install "$build" --prefix "$prefix" >"$work/install.log" || {
        cat "$work/install.log"; fail "cmake --install failed"; }
    for f in "$libdir/libzuOS.so.1.0.0" include/zuos/os/os.h include/zuos/os/os_lock.h \
             include/zuos/os/os_language.h include/zuos/data_types.h include/zuos/zu_public.h \
             "$libdir/pkgconfig/zuos.pc" "$libdir/cmake/zuOS/zuOSConfig.cmake" \
             "$libdir/cmake/zuOS/zuOSConfigVersion.cmake" "$libdir/cmake/zuOS/zuOSTargets.cmake" \
             share/man/man1/zuos.1 share/bash-completion/completions/zuos; do
        [ -f "$prefix/$f" ] || fail "$f is not installed"
    done
    [ "$(readlink "$prefix/$libdir/libzuOS.so")" = libzuOS.so.1.0.0 ] ||
        fail "$libdir/libzuOS.so is not a symlink to libzuOS.so.1.0.0"
    soname=$(objdump -p "$prefix/$libdir/libzuOS.so.1.0.0" | awk '$1 == "SONAME" { print $2 }')
    [ "$soname" = libzuOS.so.1.0.0 ] || fail "SONAME is '$soname'"
    # Only the tool goes to bin; tests and benchmarks stay in the build.
    [ "$(ls "$prefix/bin")" = zuos ] || fail "bin holds: $(ls "$prefix/bin" | tr '\n' ' ')"
    "$prefix/bin/zuos" --version >/dev/null || fail "the installed zuos does not run"
    ;;
find_package)
    rm -rf "$work/fp"
    cmake -S "$here/consumer" -B "$work/fp" -DCMAKE_PREFIX_PATH="$prefix" \
          -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="$cflags" \
          -DCMAKE_EXE_LINKER_FLAGS="$cflags" >"$work/fp.log" 2>&1 &&
        cmake --build "$work/fp" >>"$work/fp.log" 2>&1 || {
        cat "$work/fp.log"; fail "the find_package consumer does not build"; }
    "$work/fp/consumer"
    ;;
pkg-config)
    command -v pkg-config >/dev/null || { echo "pkg-config is not installed: skipped"; exit 77; }
    export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
    version=$(pkg-config --modversion zuos)
    [ "$version" = 1.0.0 ] || fail "pkg-config reports version '$version'"
    mkdir -p "$work/pc"
    # The prefix is not one the loader searches: the program carries it (the README's
    # rpath route).
    # shellcheck disable=SC2046,SC2086
    "$cc" $cflags -std=c11 -Wall -Wextra -Werror -o "$work/pc/consumer" "$here/consumer/consumer.c" \
        $(pkg-config --cflags --libs zuos) -Wl,-rpath,"$(pkg-config --variable=libdir zuos)" ||
        fail "the pkg-config consumer does not build"
    "$work/pc/consumer"
    ;;
*)
    fail "unknown mode '$mode'"
    ;;
esac
