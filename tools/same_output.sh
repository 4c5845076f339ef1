#!/usr/bin/env bash
# Proves that a plain `vexlor convert REC` writes the same files, byte for byte, as the program
# built from an earlier commit: the bundled sample and a multi-channel recording made with
# `vexlor mkrec` (audio on two channels, passthrough frames, every kind of damage) are converted
# by both programs and every file is compared.
#
# Usage: tools/same_output.sh [BASE]
#   BASE  the commit to compare with (default: the last commit of main merged into HEAD)
# Environment:
#   VEXLOR  the program under test (default build/src/cli/vexlor of this checkout, which must be
#           built already)
#   TZ      passed on unchanged; the conversion does not depend on it
# The base program is built once per commit under build-same/<commit>/ and kept for reruns.
# Exit status 0 when every file is identical, 1 when any differs, 2 on a usage or build error.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
base_ref=${1:-$(git merge-base HEAD main)}
base=$(git rev-parse --verify --short=12 "$base_ref^{commit}") || exit 2
new=${VEXLOR:-$root/build/src/cli/vexlor}
[ -x "$new" ] || { echo "same_output: $new is not built (make build)" >&2; exit 2; }
for tool in x264 ffmpeg; do
  command -v "$tool" >/dev/null || { echo "same_output: $tool is needed" >&2; exit 2; }
done

# The base program: the commit's tree exported (no checkout, no second worktree), only the
# command-line program built.
store=$root/build-same/$base
old=$store/obj/src/cli/vexlor
if [ ! -x "$old" ]; then
  echo "same_output: building vexlor at $base"
  rm -rf "$store"
  mkdir -p "$store/src"
  git archive "$base" | tar -x -C "$store/src"
  cmake -S "$store/src" -B "$store/obj" -DCMAKE_BUILD_TYPE=Release -DVEXLOR_GUI=OFF \
    -DVEXLOR_TESTS=OFF -DVEXLOR_BENCH=OFF >"$store/configure.log" 2>&1 ||
    { tail -20 "$store/configure.log" >&2; exit 2; }
  cmake --build "$store/obj" --target vexlor -j 2 >"$store/build.log" 2>&1 ||
    { tail -20 "$store/build.log" >&2; exit 2; }
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The recordings. mkrec of the program under test makes the multi-channel one; the streams are
# the checked-in x264 test streams.
data=$root/tests/data/x264
mkdir -p "$work/rec"
cp "$root/samples/sample.kvr" "$work/rec/sample.kvr"
"$new" mkrec -o "$work/rec/site.kvr" --fps 25 --start 1764590400 \
  --channel "0=$data/deblock_weak.264" --channel "3=$data/odd_size.264" \
  --channel "7=$data/qp51.264" --channel "12=$data/refs_slices.264" \
  --audio 3 --audio 7 --passthrough 6 \
  --damage garbage:4 --damage kind255:3 --damage endmark:1 --damage truncate:200 \
  --seed 7 >/dev/null

status=0
for rec in "$work"/rec/*.kvr; do
  name=$(basename "$rec" .kvr)
  for side in old new; do
    mkdir -p "$work/$side"
    cp "$rec" "$work/$side/$name.kvr"
    program=$old
    [ "$side" = new ] && program=$new
    # The exit status is compared too; a failed conversion is not a pass.
    rc=0
    "$program" convert "$work/$side/$name.kvr" >"$work/$side/$name.log" 2>&1 || rc=$?
    echo "$rc" >"$work/$side/$name.rc"
  done
  if ! cmp -s "$work/old/$name.rc" "$work/new/$name.rc"; then
    echo "DIFFERENT exit status for $name: $(cat "$work/old/$name.rc") then $(cat "$work/new/$name.rc")"
    status=1
  fi
  old_files=$(cd "$work/old" && ls "$name"_*.avi 2>/dev/null || true)
  new_files=$(cd "$work/new" && ls "$name"_*.avi 2>/dev/null || true)
  if [ "$old_files" != "$new_files" ]; then
    echo "DIFFERENT file lists for $name:"
    echo "  $base: $(echo $old_files)"
    echo "  HEAD: $(echo $new_files)"
    status=1
  fi
  [ -n "$old_files" ] || { echo "NO FILES written for $name"; status=1; }
  for f in $old_files; do
    [ -f "$work/new/$f" ] || continue
    if cmp -s "$work/old/$f" "$work/new/$f"; then
      echo "identical $f $(stat -c %s "$work/new/$f") bytes sha256 $(sha256sum <"$work/new/$f" | cut -c1-16)"
    else
      echo "DIFFERENT $f: $(cmp "$work/old/$f" "$work/new/$f" 2>&1 | head -1)"
      status=1
    fi
  done
done
if [ "$status" = 0 ]; then
  echo "same_output: every file is byte-identical to $base's"
else
  echo "same_output: the files differ from $base's"
fi
exit "$status"
