#!/usr/bin/env bash
# Builds the fuzz targets (clang, ASan+UBSan) and runs each for SECONDS (default 30)
# from its seed corpus. New inputs go to a scratch copy, not the committed seeds.
# Usage: fuzz/run.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-30}
shift || true
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j2
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in fuzz/fuzz_*.cpp; do [ -e "$f" ] && targets+=("$(basename "$f" .cpp)"); done
fi
for t in "${targets[@]}"; do
  work=build-fuzz/corpus-work/$t
  mkdir -p "$work"
  [ -d "fuzz/corpus/$t" ] && cp -n fuzz/corpus/"$t"/* "$work"/ 2>/dev/null || true
  echo "== $t for ${secs}s"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "build-fuzz/fuzz/$t" -max_total_time="$secs" -print_final_stats=1 \
    -artifact_prefix="build-fuzz/$t-" "$work"
done
