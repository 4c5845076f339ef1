#!/usr/bin/env bash
# Makes the bundled sample recording samples/sample.kvr from synthetic video.
#
# Three cameras on the non-contiguous channels 0, 2 and 5 (shown as files _01, _03 and _06 after a
# conversion), four seconds at 25 frames per second, x264 Baseline profile:
#   channel 0: 352x288 test pattern with a moving gradient
#   channel 2: 176x144 colour bars with a counter, plus a 440 Hz tone as 8-bit audio
#   channel 5: 320x240 test pattern, one IDR picture per second
# Intermediate streams stay in a temporary directory; only the recording is written.
#
# Usage: tools/make_sample.sh [BUILD_DIR] [OUTPUT]   (defaults: build, samples/sample.kvr)
# Needs ffmpeg, x264 and a built `vexlor` (make build).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
out=${2:-$root/samples/sample.kvr}
vexlor=$build/src/cli/vexlor
for tool in ffmpeg x264; do
  command -v "$tool" >/dev/null || { echo "make_sample: $tool is needed (make deps)" >&2; exit 1; }
done
[ -x "$vexlor" ] || { echo "make_sample: $vexlor not built (make build)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
seconds=4
fps=25

# encode NAME LAVFI_SOURCE WIDTH HEIGHT [x264 options...]
encode() {
  local name=$1 source=$2 w=$3 h=$4
  shift 4
  ffmpeg -nostdin -loglevel error -f lavfi -i "$source=size=${w}x${h}:rate=$fps" -t "$seconds" \
    -pix_fmt yuv420p -f rawvideo "$work/$name.yuv"
  x264 --quiet --threads 1 --profile baseline --preset medium --crf 30 --fps "$fps" \
    --input-res "${w}x${h}" "$@" -o "$work/$name.264" "$work/$name.yuv" 2>/dev/null
}

encode cam0 testsrc2 352 288 --keyint 50
encode cam2 smptebars 176 144 --keyint 50
encode cam5 testsrc 320 240 --keyint 25
ffmpeg -nostdin -loglevel error -f lavfi -i "sine=frequency=440:sample_rate=8000" -t "$seconds" \
  -ac 1 -f u8 "$work/tone.raw"

"$vexlor" mkrec -o "$out" --fps "$fps" --start 1700000000 \
  --channel "0=$work/cam0.264" --channel "2=$work/cam2.264" --channel "5=$work/cam5.264" \
  --audio "2=$work/tone.raw"
ls -l "$out"
