#!/usr/bin/env bash
# Benchmarks, three tables:
#  - the decoder: for each benchmark stream, our decoding rate through `vexlor decode` (no output
#    written) and, when ffmpeg is installed, ffmpeg's single-threaded rate on the same stream in
#    the same run, with the ratio ours/ffmpeg (frame rates; the ratio of processor times beside
#    it) and the peak memory of both;
#  - the conversion of a 4-channel recording made from the benchmark streams, against `cp` of it
#    (BENCH_BASE=path/to/other/vexlor, named BENCH_BASE_LABEL in the table, adds another
#    build's conversion in the same run);
#  - the scale table (bench/scale.sh; BENCH_SCALE=0 skips it): recordings of 1.9 GB and 5 GB
#    converted against cp;
#  - kernel_tests --bench: each kernel at each CPU level against its portable reference.
# The best of REPEAT runs counts (default 3).
# Before timing, our output is checked against ffmpeg's picture by picture (BENCH_CHECK=0 skips).
#
# Usage: bench/run.sh [BUILD_DIR]      (streams are made into BUILD_DIR/bench-streams)
# Then the Google Benchmark micro-benchmarks run when they were built.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-build}
vexlor=$build/src/cli/vexlor
repeat=${REPEAT:-3}
[ -x "$vexlor" ] || { echo "bench: $vexlor is missing (build first)" >&2; exit 1; }
"$here/make_streams.sh" "$build/bench-streams"

have_ffmpeg=0
command -v ffmpeg >/dev/null && have_ffmpeg=1

# best_run COMMAND...: "WALL CPU PEAK", the shortest wall time and the shortest processor time
# (user + system) of $repeat runs in seconds, and the largest peak resident memory in MB. On a
# busy machine the processor times compare the two decoders more fairly than the wall times.
best_run() {
  python3 - "$repeat" "$@" <<'PY'
import os, subprocess, sys, time
repeat, cmd = int(sys.argv[1]), sys.argv[2:]
wall = cpu = float('inf')
peak = 0
for _ in range(repeat):
    start = time.monotonic()
    child = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, _, usage = os.wait4(child.pid, 0)
    wall = min(wall, time.monotonic() - start)
    cpu = min(cpu, usage.ru_utime + usage.ru_stime)
    peak = max(peak, usage.ru_maxrss)
print(f'{wall:.4f} {max(cpu, 0.001):.4f} {peak / 1024:.1f}')
PY
}

# check STREAM: compares our pictures with ffmpeg's (same full-size I420 md5 per picture).
check() {
  local ours theirs first
  ours=$("$vexlor" decode "$1" --md5 2>/dev/null | awk '{ print $3 }')
  theirs=$(ffmpeg -nostdin -loglevel error -threads 1 -i "$1" -f framemd5 -pix_fmt yuv420p - |
    awk -F', *' '!/^#/ && NF >= 6 { print $6 }')
  if [ "$ours" = "$theirs" ]; then
    echo "$(echo "$ours" | grep -c .) pictures, same as ffmpeg"
  else
    first=$(paste -d' ' <(echo "$ours") <(echo "$theirs") | awk '$1 != $2 { print NR - 1; exit }')
    echo "DIFFERS from ffmpeg ($(echo "$ours" | grep -c .) vs $(echo "$theirs" | grep -c .)" \
      "pictures, first difference at picture ${first:-?}): the rate below is not meaningful"
  fi
}

echo "Decoder: frames per second, best of $repeat; ratio = ours / ffmpeg -threads 1 (wall, and"
echo "processor time); peak resident memory"
printf '%-12s %6s %11s %11s %7s %9s %9s %9s\n' stream frames "vexlor fps" "ffmpeg fps" ratio \
  "cpu ratio" "vexlor MB" "ffmpeg MB"
for s in "$build"/bench-streams/*.264; do
  name=$(basename "$s" .264)
  frames=$(cat "${s%.264}.frames")
  if [ "$have_ffmpeg" = 1 ] && [ "${BENCH_CHECK:-1}" = 1 ]; then
    echo "  $name: $(check "$s")"
  fi
  read -r ours ours_cpu ours_mb < <(best_run "$vexlor" decode "$s")
  ours_fps=$(awk -v f="$frames" -v t="$ours" 'BEGIN { printf "%.1f", f / t }')
  theirs_fps=- ratio=- cpu_ratio=- theirs_mb=-
  if [ "$have_ffmpeg" = 1 ]; then
    read -r theirs theirs_cpu theirs_mb < <(best_run ffmpeg -nostdin -loglevel error -threads 1 \
      -i "$s" -f null -)
    theirs_fps=$(awk -v f="$frames" -v t="$theirs" 'BEGIN { printf "%.1f", f / t }')
    ratio=$(awk -v a="$theirs" -v b="$ours" 'BEGIN { printf "%.2f", a / b }')
    cpu_ratio=$(awk -v a="$theirs_cpu" -v b="$ours_cpu" 'BEGIN { printf "%.2f", a / b }')
  fi
  printf '%-12s %6d %11s %11s %7s %9s %9s %9s\n' "$name" "$frames" "$ours_fps" "$theirs_fps" \
    "$ratio" "$cpu_ratio" "$ours_mb" "$theirs_mb"
done

# Conversion: a 4-channel recording of the benchmark streams (cycled), converted by this build
# and, when BENCH_BASE names another build's vexlor, by that one, against copying the file.
echo
work=$build/bench-streams/conversion
mkdir -p "$work"
rec=$work/four.kvr
if [ ! -s "$rec" ]; then
  streams=("$build"/bench-streams/bench_576p.264 "$build"/bench-streams/bench_720p.264
    "$build"/bench-streams/bench_parts.264 "$build"/bench-streams/bench_576p.264)
  args=()
  for n in 0 1 2 3; do args+=(--channel "$n=${streams[$n]}"); done
  "$vexlor" mkrec -o "$rec" "${args[@]}" >/dev/null
fi
echo "Conversion of a 4-channel recording ($(($(stat -c %s "$rec") / 1048576)) MB), best of $repeat"
printf '%-34s %8s %8s %9s\n' run "wall s" "cpu s" "peak MB"
convert_row() {
  local label=$1
  shift
  read -r wall cpu mb < <(best_run "$@")
  printf '%-34s %8s %8s %9s\n' "$label" "$wall" "$cpu" "$mb"
}
convert_row "vexlor convert" "$vexlor" convert "$rec"
convert_row "vexlor convert, scan on 1 thread" env VEXLOR_SCAN_THREADS=1 "$vexlor" convert "$rec"
if [ -n "${BENCH_BASE:-}" ]; then
  convert_row "${BENCH_BASE_LABEL:-base build} convert" "$BENCH_BASE" convert "$rec"
fi
convert_row "cp" cp "$rec" "$work/copy.kvr"
rm -f "$work"/copy.kvr "$work"/four_*.avi

# The scale table: recordings of 1.9 and 5 GB (bench/scale.sh says how).
if [ "${BENCH_SCALE:-1}" = 1 ]; then
  echo
  echo "Scale: conversions of large recordings against cp, outputs on tmpfs"
  "$here/scale.sh" "$build"
fi

# The kernels: each entry's speed at each CPU level relative to the portable reference.
if [ -x "$build/tests/kernels/kernel_tests" ]; then
  echo
  "$build/tests/kernels/kernel_tests" --bench
fi

for micro in "$build/bench/decoder_bench" "$build/tests/h264/bitreader_bench"; do
  if [ -x "$micro" ]; then "$micro" --benchmark_min_time=0.2; fi
done
