#!/bin/sh
# Checks that the guide keeps up with the interface:
#   - every result code the header defines ("#define OS_ERR_NAME NUMBER") has its row
#     "| NUMBER | `OS_ERR_NAME` |" in the guide's table of result codes, and every row
#     of that table is such a code, with the header's number;
#   - every function the library exports (one name a line in EXPORTS_DIR/*.txt, "#"
#     starting a comment) is named in the guide, in its text or in an example.
#   check_guide.sh GUIDE HEADER EXPORTS_DIR
set -eu
export LC_ALL=C
guide=$1 header=$2 exports=$3
work=$(mktemp -d /tmp/zuos-guide-XXXXXX)
trap 'rm -rf "$work"' EXIT

sed -n 's/^#define \(OS_ERR_[A-Z0-9_]*\) \([0-9][0-9]*\).*/\2 \1/p' "$header" | sort >"$work/defined"
sed -n 's/^| \([0-9][0-9]*\) | `\(OS_ERR_[A-Z0-9_]*\)` |.*/\1 \2/p' "$guide" | sort >"$work/rows"
[ -s "$work/defined" ] || { echo "no OS_ERR_ codes found in $header"; exit 1; }

failed=0
comm -23 "$work/defined" "$work/rows" >"$work/missing"
comm -13 "$work/defined" "$work/rows" >"$work/stale"
if [ -s "$work/missing" ]; then
    echo "codes of $header without their row in the result-code table of $guide:"
    sed 's/^/    /' "$work/missing"
    failed=1
fi
if [ -s "$work/stale" ]; then
    echo "rows of $guide naming a code $header does not define (or with another number):"
    sed 's/^/    /' "$work/stale"
    failed=1
fi

names=0
for name in $(cat "$exports"/*.txt | sed 's/#.*//'); do
    names=$((names + 1))
    if ! grep -qw -- "$name" "$guide"; then
        echo "exported but not named in $guide: $name"
        failed=1
    fi
done
[ "$names" -gt 0 ] || { echo "no exported names found in $exports"; exit 1; }

[ "$failed" -eq 0 ] && echo "$(wc -l <"$work/defined") result codes and $names functions, all in $guide"
exit $failed
