#!/bin/sh
# Compiles and runs every ```c block of a Markdown guide, by the rule stated at the
# top of docs/api.md:
#   - a block that declares or defines a function at the start of a line
#     ("int commit(HANDLE log, ...) {") is a whole file, compiled as it is; when one
#     of its functions is main it is also linked and run;
#   - any other block is a fragment: its #include lines go to the top of the file,
#     after <os/os.h>, <stdio.h>, <stdlib.h> and <string.h>, and the rest becomes the
#     body of a function returning int, which main calls.
# Everything is compiled as C11 with -Wall -Wextra -Werror against the given headers
# and library (diagnostics point at lines of the guide). Programs run in an empty
# directory with standard input at end of file and must exit with status 0 within
# 60 seconds. The examples name files under /data and /var/lib/db, which
# must not exist, so that running them changes nothing (exit 77, a skip, if they do).
#   check_examples.sh GUIDE C_COMPILER "C_FLAGS" INCLUDE_DIR LIBRARY_DIR
set -eu
guide=$1 cc=$2 cflags=$3 incdir=$4 libdir=$5
for dir in /data /var/lib/db; do
    if [ -e "$dir" ]; then
        echo "$dir exists: the examples would write there, so they are not run"
        exit 77
    fi
done
work=$(mktemp -d /tmp/zuos-examples-XXXXXX)
trap 'rm -rf "$work"' EXIT

# One file per block (NN.c, the raw lines) and an index line "NN LINE HEADING".
awk -v dir="$work" '
    /^## / { heading = substr($0, 4); count[heading] = 0; next }
    !inblock && /^```c[ \t]*$/ {
        inblock = 1; n++; file = sprintf("%s/%02d.c", dir, n)
        name = heading (++count[heading] > 1 ? " #" count[heading] : "")
        printf "%02d %d %s\n", n, NR + 1, name > (dir "/index")
        printf "" > file
        next
    }
    inblock && /^```[ \t]*$/ { inblock = 0; close(file); next }
    inblock { print > file }
' "$guide"
[ -s "$work/index" ] || { echo "no C examples in $guide" >&2; exit 1; }

failed=0
while read -r n line name; do
    src=$work/$n.c prog=$work/$n.prog
    # A function's declaration or definition: a type, a name and "(" at the start
    # of a line that is not a statement.
    functions=$(grep -E '^[A-Za-z_][A-Za-z0-9_]*[ *]+([A-Za-z_][A-Za-z0-9_]*[ *]+)*[A-Za-z_][A-Za-z0-9_]*[ \t]*\(' "$src" |
                grep -Ev '^(return|else|case|goto|sizeof|if|for|while|switch|do)[^A-Za-z0-9_]' || true)
    link=yes
    if [ -n "$functions" ]; then
        { printf '#line %d "%s"\n' "$line" "$guide"; cat "$src"; } >"$work/$n.full.c"
        printf '%s\n' "$functions" | grep -Eq '[ *]main[ \t]*\(' || link=
    else
        {
            printf '#include <os/os.h>\n#include <stdio.h>\n#include <stdlib.h>\n#include <string.h>\n'
            grep -E '^[ \t]*#[ \t]*include' "$src" || true
            printf 'static int example(void) {\n#line %d "%s"\n' "$line" "$guide"
            # Hoisted lines are left blank, so that line numbers stay those of the guide.
            sed -E 's/^[ \t]*#[ \t]*include.*$//' "$src"
            printf '    return 0;\n}\n\nint main(void) {\n'
            printf '    printf("example returned %%d\\n", example());\n    return 0;\n}\n'
        } >"$work/$n.full.c"
    fi
    if [ -z "$link" ]; then
        # shellcheck disable=SC2086
        if "$cc" $cflags -std=c11 -Wall -Wextra -Werror -I"$incdir" -c -o "$prog.o" \
            "$work/$n.full.c" >"$work/$n.log" 2>&1; then
            echo "ok   $name (compiled; it has no main to run)"
        else
            echo "FAIL $name (line $line of $guide): does not compile"
            cat "$work/$n.log"
            failed=1
        fi
        continue
    fi
    # shellcheck disable=SC2086
    if ! "$cc" $cflags -std=c11 -Wall -Wextra -Werror -I"$incdir" -o "$prog" "$work/$n.full.c" \
        -L"$libdir" -lzuOS -Wl,-rpath,"$libdir" >"$work/$n.log" 2>&1; then
        echo "FAIL $name (line $line of $guide): does not compile"
        cat "$work/$n.log"
        failed=1
        continue
    fi
    mkdir "$work/$n.run"
    status=0
    (cd "$work/$n.run" && timeout 60 "$prog" </dev/null >"$work/$n.log" 2>&1) || status=$?
    if [ "$status" -ne 0 ]; then
        echo "FAIL $name (line $line of $guide): exit status $status$([ "$status" = 124 ] && echo ', timed out')"
        cat "$work/$n.log"
        failed=1
    else
        echo "ok   $name"
    fi
done <"$work/index"
exit $failed
