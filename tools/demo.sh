#!/usr/bin/env bash
# Converts the bundled sample recording: shows the channels the scan finds, runs the conversion
# (one AVI file per channel, written beside the recording) and lists the files it wrote.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
vexlor=$build/src/cli/vexlor
sample=$root/samples/sample.kvr
stem=${sample%.*}
rm -f "$stem"_[0-9][0-9].avi
echo "== channels of $sample"
"$vexlor" probe "$sample"
echo "== vexlor convert $sample"
"$vexlor" convert "$sample"
echo "== AVI files written"
ls -l "$stem"_[0-9][0-9].avi
if command -v ffprobe >/dev/null; then
  echo "== as a player sees them (ffprobe)"
  for f in "$stem"_[0-9][0-9].avi; do
    printf '%s: ' "$(basename "$f")"
    ffprobe -v error -select_streams v:0 -show_entries stream=codec_name,width,height,r_frame_rate \
      -of compact=p=0 "$f"
  done
fi
