#!/usr/bin/env bash
# Runs vexlor-gui on a virtual X server, converts a recording by clicking through the
# dialog, and saves a picture of the dialog after the conversion.
#   tools/gui_screenshot.sh [BUILD_DIR] [RECORDING] [OUTPUT_PNG]
# Needs xvfb-run, xdotool and ImageMagick's import (Debian: xvfb xdotool imagemagick);
# openbox, when installed, adds the window frame to the picture.
# Set VEXLOR_SCREEN=1 to run inside an X server that is already up ($DISPLAY).
# Exits with 77 when a needed tool is missing (the test suite counts that as skipped).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$root/build}")
recording=${2:-$(ls "$root"/samples/*.kvr 2>/dev/null | head -n1)}
output=$(realpath -m "${3:-$root/docs/screenshot.png}")
[ -f "$recording" ] || { echo "no recording given and none under samples/" >&2; exit 2; }
recording=$(realpath "$recording")

for tool in xdotool import; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed" >&2; exit 77; }
done
if [ "${VEXLOR_SCREEN:-}" != 1 ]; then
  command -v xvfb-run >/dev/null || { echo "skipped: xvfb-run is not installed" >&2; exit 77; }
  exec env VEXLOR_SCREEN=1 xvfb-run -a -s "-screen 0 800x600x24 -dpi 96" "$0" "$build" "$recording" "$output"
fi

gui=""
wm=""
work=$(mktemp -d)
trap 'kill "$gui" ${wm:-} 2>/dev/null || true; rm -rf "$work"' EXIT
cp "$recording" "$work/cam.kvr"

if command -v openbox >/dev/null; then   # a window manager draws the caption and the icon
  openbox >/dev/null 2>&1 &
  wm=$!
  sleep 1
fi
"$build/src/ui/vexlor-gui" &
gui=$!
wid=""
# Generous bounds on every wait: a slow start (a sanitizer build, a busy machine) must not fail.
for _ in $(seq 1200); do
  wid=$(xdotool search --onlyvisible --name '^Vexlor$' 2>/dev/null | head -n1) && [ -n "$wid" ] && break
  sleep 0.1
done
[ -n "$wid" ] || { echo "the dialog did not appear" >&2; exit 1; }
eval "$(xdotool getwindowgeometry --shell "$wid")"   # WIDTH HEIGHT X Y
# Control centres in template units (263 x 130), scaled by the window's size.
click() { xdotool mousemove --window "$wid" $(( $1 * WIDTH / 263 )) $(( $2 * HEIGHT / 130 )) click 1; }

click 131 60                                            # OPEN KVR
chooser=""
for _ in $(seq 1200); do
  chooser=$(xdotool search --onlyvisible --pid "$gui" --name . 2>/dev/null | grep -v "^$wid$" | head -n1) && [ -n "$chooser" ] && break
  sleep 0.1
done
[ -n "$chooser" ] || { echo "the open-file dialog did not appear" >&2; exit 1; }
# A slow start (a sanitizer build, a busy machine) can swallow what is typed before the file
# dialog takes input: type the path again until the dialog has closed.
chooser_open() { xdotool search --onlyvisible --pid "$gui" --name . 2>/dev/null | grep -qx "$chooser"; }
for _ in $(seq 30); do
  sleep 0.5
  xdotool windowfocus --sync "$chooser" 2>/dev/null || true
  xdotool key --clearmodifiers ctrl+a
  xdotool type --delay 5 "$work/cam.kvr"
  xdotool key Return
  for _ in $(seq 20); do chooser_open || break; sleep 0.1; done
  chooser_open || break
done
chooser_open && { echo "the open-file dialog did not take the path" >&2; exit 1; }
sleep 0.5
click 131 96                                            # CONVERT
# The dialog's status line cannot be read from outside. The files it will write are those of
# the channels the command-line tool's scan finds; each appears under its name only when it is
# complete, so the conversion is over when all of them are there.
expected=$("$build/src/cli/vexlor" probe "$work/cam.kvr" | sed -n 's/^CH_\([0-9][0-9]\) .*/cam_\1.avi/p')
[ -n "$expected" ] || { echo "the recording has no channel to convert" >&2; exit 1; }
all_written() { for f in $expected; do [ -f "$work/$f" ] || return 1; done; }
for _ in $(seq $(( ${VEXLOR_WAIT:-600} * 5 ))); do all_written && break; sleep 0.2; done
all_written || { echo "not every AVI file was written: $(ls "$work")" >&2; exit 1; }
sleep 1   # for the final status line to be painted in the picture
import -frame -window "$wid" "$output"
ls -l "$work"
if command -v ffprobe >/dev/null; then   # the files must open in a player's demuxer
  for f in "$work"/cam_*.avi; do
    echo "$(basename "$f"): $(ffprobe -v error -select_streams v:0 -count_packets \
      -show_entries stream=codec_name,width,height,nb_read_packets -of csv=p=0 "$f")"
  done
fi
echo "saved $output"
# Escape ends the dialog and with it the program; the bound is generous, for a busy machine.
xdotool key Escape
for _ in $(seq 600); do kill -0 "$gui" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$gui" 2>/dev/null; then echo "vexlor-gui did not exit after Escape" >&2; exit 1; fi
wait "$gui" && echo "vexlor-gui exited with status 0"
