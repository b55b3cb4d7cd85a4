#!/usr/bin/env bash
# Checks what a Release build promises: the library and the tool are hardened
# (hardening-check), one source tree built in two directories gives byte-identical
# installed files, no binary holds the path it was built in, and an assertion
# message names the source file by its path inside the tree.
#
# Control-flow protection is not required: the objects are compiled with
# -fcf-protection, but Debian 12's crti.o and crtn.o carry no IBT/SHSTK note, so no
# binary linked there can be marked (hardening-check flags /usr/bin/ls the same way).
#
# Usage: packaging/check-release.sh      (the tracked and untracked, not ignored files)
set -euo pipefail
cd "$(dirname "$0")/.."

fail() { echo "check-release: $*" >&2; exit 1; }
command -v hardening-check >/dev/null || fail "hardening-check (package devscripts) is missing"

work=$(mktemp -d /tmp/zuos-release-XXXXXX)
trap 'rm -rf "$work"' EXIT
# Two trees whose paths differ in length and depth.
trees=("$work/a/src" "$work/bb/deeper/libzuos-tree")
for tree in "${trees[@]}"; do
    mkdir -p "$tree"
    if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
        git ls-files -z --cached --others --exclude-standard |
            tar --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -xf - -C "$tree"
    else
        tar --exclude='./build*' -cf - . | tar -xf - -C "$tree"
    fi
    echo "== Release build in $tree"
    cmake -S "$tree" -B "$tree/build" -DCMAKE_BUILD_TYPE=Release -DZUOS_BUILD_TESTS=OFF \
          -DCMAKE_INSTALL_LIBDIR=lib >/dev/null
    cmake --build "$tree/build" -j2 >/dev/null
    cmake --install "$tree/build" --prefix "$tree/inst" >/dev/null
done
a=${trees[0]}/inst b=${trees[1]}/inst

echo "== hardening"
hardening-check --nocfprotection "$a/lib/libzuOS.so.1.0.0" "$a/bin/zuos" ||
    fail "a binary lacks a hardening feature"

echo "== reproducibility"
diff -r "$a" "$b" || fail "the two builds differ"
echo "identical: $(cd "$a" && find . -type f | sort | tr '\n' ' ')"
for tree in "${trees[@]}"; do
    if grep -r -l -F "$tree" "$tree/inst" "$tree/build/libzuOS.so.1.0.0"; then
        fail "the files above hold the build path $tree"
    fi
done

echo "== an assertion message"
printf '#include <os/os.h>\nint main(void) { return os_file_close(-1); }\n' >"$work/assert.c"
cc -o "$work/assert" "$work/assert.c" -I"$a/include/zuos" -L"$a/lib" -lzuOS -Wl,-rpath,"$a/lib"
status=0
# (The shell's own "Aborted" report goes to /dev/null.)
{ "$work/assert" 2>"$work/assert.err"; } 2>/dev/null || status=$?
[ "$status" -ne 0 ] || fail "os_file_close(-1) did not abort"
cat "$work/assert.err"
grep -q ' Source/Common/OS/OSLinux/os_file.cpp:' "$work/assert.err" ||
    fail "the message does not name the source file inside the tree"
! grep -q -F "$work" "$work/assert.err" || fail "the message shows the build path"
echo "check-release: OK"
