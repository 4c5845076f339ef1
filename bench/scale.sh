#!/usr/bin/env bash
# The scale table: conversions of recordings far larger than the benchmark's others, against
# copying them.
#  - 16 channels, about 1.9 GB; 4 channels, about 5 GB (SCALE_SIZES picks: "16 4" by default);
#  - made by mkrec in a temporary folder (TMPDIR) and removed afterwards, as segments: every
#    channel's benchmark stream, again and again with later start times (packets stand on their
#    own, so the segments one after the other are one recording with continuous time stamps);
#  - `vexlor convert -o` with the outputs on tmpfs (/dev/shm), against `cp` of the recording to
#    the same tmpfs (and BENCH_BASE's convert when it is set and takes the size);
#  - per row: wall and processor time (user + system) in seconds, bytes read from files (the
#    rchar of /proc/PID/io) in GB, peak resident memory in MB;
#  - every file of the 4-channel conversion is then read to its end by ffmpeg, and its packets
#    counted against the frames written.
# Usage: bench/scale.sh BUILD_DIR (the benchmark streams in BUILD_DIR/bench-streams)
set -euo pipefail

build=${1:-build}
vexlor=$(realpath "$build/src/cli/vexlor")
streams=$build/bench-streams
shm=${SCALE_SHM:-/dev/shm}
work=$(mktemp -d)
out=$(mktemp -d -p "$shm")
trap 'rm -rf "$work" "$out"' EXIT

# row LABEL COMMAND...: one run, its figures.
row() {
  local label=$1
  shift
  python3 - "$label" "$@" <<'PY'
import os, subprocess, sys, time
label, cmd = sys.argv[1], sys.argv[2:]
start = time.monotonic()
# A shell of its own: its /proc/PID/io counts what its reaped child read, and wait4 gives the
# processor time and peak memory of the shell and its child together.
child = subprocess.Popen(['bash', '-c', '"$@" >/dev/null 2>&1; grep rchar /proc/$$/io', '_'] + cmd,
                         stdout=subprocess.PIPE, text=True)
text = child.stdout.read()
_, _, usage = os.wait4(child.pid, 0)
wall = time.monotonic() - start
read = int(text.split()[-1]) if text.strip() else 0
print(f'{label:<34} {wall:8.2f} {usage.ru_utime + usage.ru_stime:8.2f} {read / 1e9:8.2f} '
      f'{usage.ru_maxrss / 1024:9.1f}')
PY
}

# make REC CHANNELS TARGET_BYTES STREAM...: segments of CHANNELS channels, channel n carrying
# the n-th STREAM (cycled), until the recording holds TARGET_BYTES.
make() {
  local rec=$1 channels=$2 target=$3
  shift 3
  local list=("$@") start=1700000000 segment=0 args
  : >"$rec"
  while [ "$(stat -c %s "$rec")" -lt "$target" ]; do
    args=()
    for ((n = 0; n < channels; n++)); do
      args+=(--channel "$n=${list[$((n % ${#list[@]}))]}")
    done
    "$vexlor" mkrec -o "$work/segment.kvr" --start "$start" "${args[@]}" >/dev/null
    cat "$work/segment.kvr" >>"$rec"
    start=$((start + 24))  # the longest stream lasts 24 s
    segment=$((segment + 1))
  done
  rm -f "$work/segment.kvr"
}

printf '%-34s %8s %8s %8s %9s\n' run "wall s" "cpu s" "read GB" "peak MB"
for channels in ${SCALE_SIZES:-16 4}; do
  rec=$work/scale$channels.kvr
  if [ "$channels" = 16 ]; then
    make "$rec" 16 $((1900 * 1000 * 1000)) "$streams/bench_576p.264"
  else
    make "$rec" 4 $((5000 * 1000 * 1000)) "$streams/bench_576p.264" "$streams/bench_720p.264" \
      "$streams/bench_parts.264" "$streams/bench_576p.264"
  fi
  echo "$channels channels, $(($(stat -c %s "$rec") / 1000000)) MB:"
  row "  vexlor convert -o tmpfs" "$vexlor" convert "$rec" -o "$out"
  if [ "$channels" = 4 ]; then
    for avi in "$out"/*.avi; do
      frames=$(ffprobe -v error -select_streams v:0 -count_packets -show_entries \
        stream=nb_read_packets -of csv=p=0 "$avi")
      errors=$(ffmpeg -nostdin -v error -i "$avi" -c copy -f null - 2>&1 | wc -l)
      echo "    $(basename "$avi"): $frames video packets, read to its end, $errors errors"
    done
  fi
  rm -f "$out"/*
  if [ -n "${BENCH_BASE:-}" ]; then
    row "  ${BENCH_BASE_LABEL:-base build} convert -o tmpfs" "$BENCH_BASE" convert "$rec" -o "$out"
    rm -f "$out"/*
  fi
  row "  cp to tmpfs" cp "$rec" "$out/copy.kvr"
  rm -f "$out"/* "$rec"
done
