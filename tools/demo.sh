#!/usr/bin/env bash
# Runs the tool on the bundled sample recording: lists every frame the reader delivers, then a
# count per channel and kind.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
sample=$root/samples/sample.kvr
echo "== frames of $sample"
"$build/src/cli/vexlor" frames "$sample" | tee "$build/demo-frames.txt"
echo "== frames per channel and kind"
awk '{ split($2, c, "="); n[c[2] " " $3]++ } END { for (k in n) print "channel " k ": " n[k] }' \
  "$build/demo-frames.txt" | sort -n -k2
