#!/usr/bin/env bash
# Random 4 KiB O_DIRECT reads on one file of 1 GiB on disk, in one run: fio with
# io_uring at depth 32 (continuously, and 32 at a time as a batch does) and with
# psync at depth 1, then the library's queue and batch (depth 32), its os_file_pread
# loop and a raw pread loop (zuos_bench BM_Aio_*), and the batch once more on the
# plain engine (ZUOS_IO_URING=0); the same calls on a page-cached file too. Prints
# each rate and the ratios the targets name.
#
#   bench/aio_vs_fio.sh [-t SECONDS] [-f FILE] [-b ZUOS_BENCH] [-k]
#
#   -t  seconds per measurement (default 10)
#   -f  the file (default $TMPDIR or /tmp, zuos-aio-1g.dat); written if missing or
#       shorter than 1 GiB, and then removed at the end unless -k is given
#   -b  the benchmark binary (default build-bench/bench/zuos_bench; build it with
#       cmake --preset bench && cmake --build --preset bench -j2)
set -euo pipefail

secs=10
file="${TMPDIR:-/tmp}/zuos-aio-1g.dat"
bench=build-bench/bench/zuos_bench
keep=0
while getopts "t:f:b:k" opt; do
  case $opt in
    t) secs=$OPTARG ;;
    f) file=$OPTARG ;;
    b) bench=$OPTARG ;;
    k) keep=1 ;;
    *) sed -n '9,15p' "$0"; exit 2 ;;
  esac
done
command -v fio >/dev/null || { echo "fio is not installed (apt-get install fio)" >&2; exit 1; }
[ -x "$bench" ] || { echo "no benchmark binary at $bench" >&2; exit 1; }
fstype=$(stat -f -c %T "$(dirname "$file")")
if [ "$fstype" = tmpfs ]; then
  echo "$file is on tmpfs: O_DIRECT reads need a file on disk" >&2
  exit 1
fi

size=$((1 << 30))
made=0
if [ ! -f "$file" ] || [ "$(stat -c %s "$file")" -lt $size ]; then
  fio --name=prepare --filename="$file" --size=$size --rw=write --bs=1M --direct=1 \
      --ioengine=psync --output=/dev/null
  made=1
fi
[ $made = 1 ] && [ $keep = 0 ] && trap 'rm -f "$file"' EXIT

# Read IOPS of one fio job (field 8 of the terse output); extra options follow the
# engine and depth.
fio_iops() {
  fio --name=randread --filename="$file" --size=$size --rw=randread --bs=4k --direct=1 \
      --ioengine="$1" --iodepth="$2" "${@:3}" --time_based --runtime="$secs" \
      --output-format=terse | awk -F';' '{print $8}'
}
# name,items_per_second pairs from a zuos_bench run.
bench_iops() {
  ZUOS_AIO_FILE="$file" "$bench" --benchmark_filter="$1" --benchmark_min_time="$secs" \
      --benchmark_format=csv 2>/dev/null \
    | awk -F',' -v p="$2" '/^"BM_Aio_/ {gsub(/"|\/real_time/, "", $1); print p $1 "," $7}'
}

echo "file $file ($fstype), $secs s per measurement, $(date -u '+%Y-%m-%d %H:%M UTC')"
uring=$(fio_iops io_uring 32)
# The batch's own pattern: submit 32, wait for all 32, again.
uring_batch=$(fio_iops io_uring 32 --iodepth_batch_submit=32 --iodepth_batch_complete_min=32)
psync=$(fio_iops psync 1)
rates=$( (bench_iops 'BM_Aio_' ''; ZUOS_IO_URING=0 bench_iops 'BM_Aio_.*_Batch' plain:) )
rate() { echo "$rates" | awk -F',' -v n="$1" '$1 == n {print $2}'; }

printf '%-40s %12s\n' "fio io_uring, depth 32" "$uring" "fio io_uring, 32 at a time" \
       "$uring_batch" "fio psync, depth 1" "$psync"
echo "$rates" | awk -F',' '{printf "%-40s %12.0f\n", $1, $2}'
ratio() { awk -v a="$2" -v b="$3" -v t="$1" 'BEGIN {printf "%-54s %6.2f\n", t, a / b}'; }
echo
ratio "queue / fio io_uring (target >= 0.85)" "$(rate BM_Aio_Direct_Queue32)" "$uring"
ratio "batch / fio io_uring (target >= 0.85)" "$(rate BM_Aio_Direct_Batch32)" "$uring"
ratio "batch / fio io_uring 32 at a time" "$(rate BM_Aio_Direct_Batch32)" "$uring_batch"
ratio "fio 32 at a time / fio io_uring (the wait for all)" "$uring_batch" "$uring"
ratio "queue / os_file_pread loop (target >= 4)" "$(rate BM_Aio_Direct_Queue32)" \
      "$(rate BM_Aio_Direct_LibPreadLoop)"
ratio "batch / os_file_pread loop (target >= 4)" "$(rate BM_Aio_Direct_Batch32)" \
      "$(rate BM_Aio_Direct_LibPreadLoop)"
ratio "pread loop / fallback queue (target <= 1.05)" "$(rate BM_Aio_Direct_RawPreadLoop)" \
      "$(rate BM_Aio_Direct_FallbackQueue32)"
ratio "pread loop / fallback batch (target <= 1.05)" "$(rate BM_Aio_Direct_RawPreadLoop)" \
      "$(rate plain:BM_Aio_Direct_Batch32)"
ratio "fio io_uring / fio psync (what the device gives)" "$uring" "$psync"
echo "page-cached, per CPU second:"
ratio "batch / pread loop" "$(rate BM_Aio_Cached_Batch32)" "$(rate BM_Aio_Cached_RawPreadLoop)"
ratio "queue / pread loop" "$(rate BM_Aio_Cached_Queue32)" "$(rate BM_Aio_Cached_RawPreadLoop)"
ratio "pread loop / fallback queue (target <= 1.05)" "$(rate BM_Aio_Cached_RawPreadLoop)" \
      "$(rate BM_Aio_Cached_FallbackQueue32)"
ratio "pread loop / fallback batch (target <= 1.05)" "$(rate BM_Aio_Cached_RawPreadLoop)" \
      "$(rate plain:BM_Aio_Cached_Batch32)"
