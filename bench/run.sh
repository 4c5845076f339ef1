#!/usr/bin/env bash
# Decoder benchmark: for each benchmark stream, our decoding rate through `vexlor decode` (no
# output written) and, when ffmpeg is installed, ffmpeg's single-threaded rate on the same
# stream in the same run, with the ratio ours/ffmpeg (frame rates; the ratio of processor times
# beside it). The best of REPEAT runs counts (default 3).
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

# best_seconds COMMAND...: "WALL CPU", the shortest wall time and the shortest processor time
# (user + system) of $repeat runs, in seconds. On a busy machine the processor times compare the
# two decoders more fairly than the wall times.
best_seconds() {
  python3 - "$repeat" "$@" <<'PY'
import os, subprocess, sys, time
repeat, cmd = int(sys.argv[1]), sys.argv[2:]
wall = cpu = float('inf')
for _ in range(repeat):
    before = os.times()
    start = time.monotonic()
    subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wall = min(wall, time.monotonic() - start)
    after = os.times()
    cpu = min(cpu, (after.children_user - before.children_user) +
              (after.children_system - before.children_system))
print(f'{wall:.4f} {max(cpu, 0.001):.4f}')
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

printf '%-16s %6s %12s %12s %8s %10s\n' stream frames "vexlor fps" "ffmpeg fps" ratio "cpu ratio"
for s in "$build"/bench-streams/*.264; do
  name=$(basename "$s" .264)
  frames=$(cat "${s%.264}.frames")
  if [ "$have_ffmpeg" = 1 ] && [ "${BENCH_CHECK:-1}" = 1 ]; then
    echo "  $name: $(check "$s")"
  fi
  read -r ours ours_cpu < <(best_seconds "$vexlor" decode "$s")
  ours_fps=$(awk -v f="$frames" -v t="$ours" 'BEGIN { printf "%.1f", f / t }')
  theirs_fps=- ratio=- cpu_ratio=-
  if [ "$have_ffmpeg" = 1 ]; then
    read -r theirs theirs_cpu < <(best_seconds ffmpeg -nostdin -loglevel error -threads 1 -i "$s" \
      -f null -)
    theirs_fps=$(awk -v f="$frames" -v t="$theirs" 'BEGIN { printf "%.1f", f / t }')
    ratio=$(awk -v a="$theirs" -v b="$ours" 'BEGIN { printf "%.2f", a / b }')
    cpu_ratio=$(awk -v a="$theirs_cpu" -v b="$ours_cpu" 'BEGIN { printf "%.2f", a / b }')
  fi
  printf '%-16s %6d %12s %12s %8s %10s\n' "$name" "$frames" "$ours_fps" "$theirs_fps" "$ratio" \
    "$cpu_ratio"
done

for micro in "$build/bench/decoder_bench" "$build/tests/h264/bitreader_bench"; do
  if [ -x "$micro" ]; then "$micro" --benchmark_min_time=0.2; fi
done
