#!/usr/bin/env bash
# Runs vexlor-gui on a virtual X server, converts a recording by clicking through the
# dialog, and saves a picture of the dialog after the conversion.
#   tools/gui_screenshot.sh [BUILD_DIR] [RECORDING] [OUTPUT_PNG]
# Needs Xvfb, python3, xdotool and ImageMagick's import (Debian: xvfb python3 xdotool
# imagemagick); openbox, when installed, adds the window frame to the picture. The X server is
# one of its own (tools/virtual_screen.py).
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
  command -v python3 >/dev/null || { echo "skipped: python3 is not installed" >&2; exit 77; }
  exec env VEXLOR_SCREEN=1 python3 "$root/tools/virtual_screen.py" --size 800x600x24 --dpi 96 \
    -- "$0" "$build" "$recording" "$output"
fi

gui=""
wm=""
work=$(mktemp -d)
trap 'kill "$gui" ${wm:-} 2>/dev/null || true; rm -rf "$work"' EXIT
cp "$recording" "$work/cam.kvr"
# The dialog's status line cannot be read from outside. The files it will write are those of
# the channels the command-line tool's scan finds; each appears under its name only when it is
# complete, so the conversion is over when all of them are there.
expected=$(timeout 120 "$build/src/cli/vexlor" probe "$work/cam.kvr" | sed -n 's/^CH_\([0-9][0-9]\) .*/cam_\1.avi/p')
[ -n "$expected" ] || { echo "the recording has no channel to convert" >&2; exit 1; }

# Runs COMMAND until it succeeds, for at most SECONDS. The bounds are generous: a slow start (a
# sanitizer build, a busy machine) must not fail. Each stays well below the test's timeout, so
# that a stall is reported with the step it stopped at.
wait_for() {
  local end=$(( SECONDS + $1 ))
  shift
  until "$@"; do (( SECONDS < end )) || return 1; sleep 0.1; done
}

if command -v openbox >/dev/null; then   # a window manager draws the caption and the icon
  openbox >/dev/null 2>&1 &
  wm=$!
  # It is up when it has announced itself on the root window.
  wait_for 120 xdotool get_num_desktops >/dev/null 2>&1 || { echo "openbox did not start" >&2; exit 1; }
fi
"$build/src/ui/vexlor-gui" &
gui=$!
wid=""
dialog_shown() { wid=$(xdotool search --onlyvisible --name '^Vexlor$' 2>/dev/null | head -n1); [ -n "$wid" ]; }
wait_for 120 dialog_shown || { echo "the dialog did not appear" >&2; exit 1; }
echo "the dialog is on the screen"
eval "$(xdotool getwindowgeometry --shell "$wid")"   # WIDTH HEIGHT X Y
# Control centres in template units (263 x 130), scaled by the window's size.
click() { xdotool mousemove --window "$wid" $(( $1 * WIDTH / 263 )) $(( $2 * HEIGHT / 130 )) click 1; }

click 131 60                                            # OPEN KVR
chooser=""
chooser_shown() {
  chooser=$(xdotool search --onlyvisible --pid "$gui" --name . 2>/dev/null | grep -v "^$wid$" | head -n1)
  [ -n "$chooser" ]
}
wait_for 120 chooser_shown || { echo "the open-file dialog did not appear" >&2; exit 1; }
# What is typed before the file dialog takes input can be lost on a slow start: while it is
# open, type the path again. Keys go out only when it has the focus, since a Return reaching
# the main dialog would end the program.
chooser_closed() { ! xdotool search --onlyvisible --pid "$gui" --name . 2>/dev/null | grep -qx "$chooser"; }
for try in $(seq 12); do
  chooser_closed && break
  (( try == 1 )) || echo "the open-file dialog is still open: typing the path again"
  if timeout 20 xdotool windowfocus --sync "$chooser" 2>/dev/null; then
    xdotool key --clearmodifiers ctrl+a
    xdotool type --delay 5 "$work/cam.kvr"
    xdotool key Return
  fi
  wait_for 10 chooser_closed && break
done
chooser_closed || { echo "the open-file dialog did not take the path" >&2; exit 1; }
# The window goes when the dialog's file request has returned: from then on, a click waits its
# turn behind the taking of the file.
chooser_gone() { ! xdotool getwindowname "$chooser" >/dev/null 2>&1; }
wait_for 120 chooser_gone || { echo "the open-file dialog was not destroyed" >&2; exit 1; }
echo "the open-file dialog took the path"
click 131 96                                            # CONVERT
begun() { [ -n "$(find "$work" -mindepth 1 -maxdepth 1 ! -name cam.kvr -print -quit)" ]; }
wait_for 120 begun || { echo "CONVERT started no conversion" >&2; exit 1; }
echo "converting"
all_written() { for f in $expected; do [ -f "$work/$f" ] || return 1; done; }
wait_for "${VEXLOR_WAIT:-600}" all_written || { echo "not every AVI file was written: $(ls "$work")" >&2; exit 1; }
# Nothing outside the program tells when its last status text is painted; only the picture
# depends on this pause, not the outcome.
sleep 1
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
gui_ended() { ! kill -0 "$gui" 2>/dev/null; }
wait_for 60 gui_ended || { echo "vexlor-gui did not exit after Escape" >&2; exit 1; }
wait "$gui" && echo "vexlor-gui exited with status 0"
