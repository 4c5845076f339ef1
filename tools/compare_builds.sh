#!/usr/bin/env bash
# Compares what two builds of `vexlor` write, byte for byte, to prove that a change of structure
# changed no behaviour:
#   - the AVI files of the sample recording and of a multi-channel damaged recording (made with
#     the first build's `mkrec`: six channels, audio, passthrough frames, all four damage kinds),
#     the PNG files of `snapshot`, and the output of `probe` and `frames` on both recordings;
#   - the recordings that each build's `mkrec` makes from the same streams;
#   - `decode --md5` and `decode --headers` of every committed x264 stream and every conformance
#     stream ($VEXLOR_CONFORMANCE_DIR, default ../shared/conformance beside the repository).
#
# Usage: tools/compare_builds.sh OLD_VEXLOR NEW_VEXLOR
# Exit status 0 when everything is identical, 1 when anything differs (each difference is
# listed), 2 for bad arguments.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -ne 2 ] || [ ! -x "$1" ] || [ ! -x "$2" ]; then
  echo "usage: tools/compare_builds.sh OLD_VEXLOR NEW_VEXLOR" >&2
  exit 2
fi
old=$(realpath "$1")
new=$(realpath "$2")
conformance=${VEXLOR_CONFORMANCE_DIR:-$root/../shared/conformance}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/old" "$work/new"

differences=0
checked=0
same() {  # same WHAT FILE_A FILE_B
  checked=$((checked + 1))
  if ! cmp -s "$2" "$3"; then
    echo "DIFFERS: $1"
    differences=$((differences + 1))
  fi
}

# run OUT_NAME COMMAND...: runs the command with each build, output and exit status to files.
run_both() {
  local name=$1
  shift
  for side in old new; do
    local bin=$old
    [ "$side" = new ] && bin=$new
    (cd "$work/$side" && "$bin" "$@" >"$name.out" 2>&1; echo "exit $?" >>"$name.out")
  done
  same "vexlor $* (output)" "$work/old/$name.out" "$work/new/$name.out"
}

x264=$root/tests/data/x264
streams=(partitions_umh refs_slices intra_refresh odd_size deblock_strong qp51)
channel_args=()
for i in "${!streams[@]}"; do
  channel_args+=(--channel "$((2 * i + 1))=$x264/${streams[$i]}.264")
done
damaged_args=(-o damaged.kvr --fps 12.5 --start 1700000000 "${channel_args[@]}" --audio 1
  --audio 5 --audio 11 --passthrough 4 --damage garbage:9 --damage endmark:5
  --damage kind255:7 --damage truncate:300 --seed 7)

# run_both_final OUT_NAME COMMAND...: the same, comparing only the exit status and the last line
# of the output (for conversions, whose progress lines may change with their way of reading).
run_both_final() {
  local name=$1
  shift
  for side in old new; do
    local bin=$old
    [ "$side" = new ] && bin=$new
    (cd "$work/$side" && { "$bin" "$@" 2>&1; echo "exit $?"; } | tail -n 2 >"$name.out")
  done
  same "vexlor $* (final line)" "$work/old/$name.out" "$work/new/$name.out"
}

# same_files WHAT DIR_A DIR_B PATTERN: every file of the pattern in both folders, byte for byte.
same_files() {
  local found=0
  for f in "$2"/$4; do
    [ -e "$f" ] || continue
    found=$((found + 1))
    same "$1: $(basename "$f")" "$f" "$3/$(basename "$f")"
  done
  for f in "$3"/$4; do
    [ -e "$f" ] && [ ! -e "$2/$(basename "$f")" ] && same "$1: $(basename "$f") (only the new \
build wrote it)" /dev/null "$f"
  done
  echo "$1: $found files compared"
}

# Recordings made by each build's mkrec must be identical.
run_both mkrec_damaged mkrec "${damaged_args[@]}"
same "mkrec damaged.kvr" "$work/old/damaged.kvr" "$work/new/damaged.kvr"
run_both mkrec_plain mkrec -o plain.kvr "${channel_args[@]}" --audio 3
same "mkrec plain.kvr" "$work/old/plain.kvr" "$work/new/plain.kvr"

# Conversions of the same recordings (the old build's) must write identical files.
mkdir -p "$work/rec"
cp "$root/samples/sample.kvr" "$work/old/damaged.kvr" "$work/old/plain.kvr" "$work/rec/"
rm -f "$work"/old/*.kvr "$work"/new/*.kvr
for rec in "$work"/rec/*.kvr; do
  stem=$(basename "$rec" .kvr)
  cp "$rec" "$work/old/$stem.kvr"
  cp "$rec" "$work/new/$stem.kvr"
  run_both_final "convert_$stem" convert "$stem.kvr"
  run_both "probe_$stem" probe "$stem.kvr"
  run_both "frames_$stem" frames "$stem.kvr"
  run_both "snapshot_$stem" snapshot "$stem.kvr"
  same_files "$stem" "$work/old" "$work/new" "${stem}_[0-9][0-9].png"
  same_files "$stem" "$work/old" "$work/new" "${stem}_[0-9][0-9].avi"
  # Clips: a time range and a list of channels, into a folder.
  for range in "--from +1s --to +3s" "--from +2.5s" "--to +0.5s"; do
    rm -rf "$work/old/clip" "$work/new/clip"
    # shellcheck disable=SC2086
    run_both_final "clip_$stem" convert "$stem.kvr" $range --channels 1-3,6,8-16 -o clip
    same_files "$stem clip $range" "$work/old/clip" "$work/new/clip" "*.avi"
  done
done

# Decoding: pictures and parsed headers of every stream, and the recording mkrec makes of it
# (its access units).
decoded=0
for s in "$x264"/*.264 "$conformance"/streams/*; do
  [ -f "$s" ] || continue
  name=$(basename "$s")
  run_both "md5_$name" decode "$s" --md5
  run_both "headers_$name" decode "$s" --headers
  run_both "mkrec_$name" mkrec -o "stream.kvr" --channel "4=$s"
  same "mkrec of $name" "$work/old/stream.kvr" "$work/new/stream.kvr"
  decoded=$((decoded + 1))
done
echo "$decoded streams decoded by both builds"

if [ "$differences" -ne 0 ]; then
  echo "compare_builds: $differences of $checked comparisons differ"
  exit 1
fi
echo "compare_builds: all $checked comparisons identical"
