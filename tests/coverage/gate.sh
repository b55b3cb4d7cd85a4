#!/bin/sh
# Coverage gate: builds the coverage preset, runs the whole suite once (forked
# children write their counters too), and fails unless the library's sources under
# Source/ have every line and at least 95% of branches covered. The failing side of
# an asserted precondition is not counted: it aborts the process, and death tests
# prove it in children whose counters abort discards.
# Usage: tests/coverage/gate.sh [LINE% [BRANCH%]]   (from anywhere in the tree)
set -eu
cd "$(dirname "$0")/../.."
lines=${1:-100}
branches=${2:-95}
cmake --preset coverage >/dev/null
cmake --build --preset coverage -j2
# Counts from test discovery at build time or an earlier run must not count.
find build-coverage -name '*.gcda' -delete
ctest --preset coverage
gcovr -r . --filter 'Source/' build-coverage \
  --exclude-unreachable-branches --exclude-throw-branches \
  --exclude-branches-by-pattern '.*ZU_ASSERT.*' \
  --print-summary --sort-uncovered \
  --fail-under-line "$lines" --fail-under-branch "$branches"
