#!/usr/bin/env bash
# Makes the decoder benchmark streams with x264 from ffmpeg's synthetic sources, into OUTDIR
# (default build/bench-streams). Streams already there are kept; delete them to remake.
#
#   bench_576p.264   704x576, 25 fps, 600 frames, Baseline, about 2 Mbit/s: a moving test card
#                    under temporal noise, like a camera's sensor noise
#   bench_720p.264   1280x720, 25 fps, 300 frames, Baseline, about 4 Mbit/s: a panned fractal
#                    under lighter noise
#   bench_parts.264  704x576, 25 fps, 300 frames, Baseline, constant QP 22: a zooming, turning
#                    fractal coded with every partition size (many 8x8 and smaller partitions)
# Each NAME.264 gets NAME.frames with its picture count.
set -euo pipefail

out=${1:-build/bench-streams}
mkdir -p "$out"
for tool in x264 ffmpeg; do
  command -v "$tool" >/dev/null || { echo "make_streams: $tool is needed" >&2; exit 1; }
done

# make NAME WIDTH HEIGHT FRAMES KBITS SOURCE [X264 OPTIONS...]: the rate options when KBITS > 0,
# else the given options alone.
make_stream() {
  local name=$1 w=$2 h=$3 frames=$4 kbits=$5 source=$6
  shift 6
  local rate=("$@")
  [ -s "$out/$name.264" ] && [ -s "$out/$name.frames" ] && return 0
  echo "making $out/$name.264 (${w}x${h}, $frames frames)"
  if [ "$kbits" -gt 0 ]; then
    rate=(--preset faster --bitrate "$kbits" --vbv-maxrate "$((kbits * 3 / 2))"
      --vbv-bufsize "$((kbits * 2))")
  fi
  ffmpeg -nostdin -loglevel error -f lavfi -i "$source" -frames:v "$frames" -pix_fmt yuv420p \
    -f rawvideo - |
    x264 --quiet --profile baseline --ref 3 "${rate[@]}" --keyint 250 \
      --input-res "${w}x${h}" --fps 25 -o "$out/$name.264.part" - 2>/dev/null
  mv "$out/$name.264.part" "$out/$name.264"
  echo "$frames" >"$out/$name.frames"
}

make_stream bench_576p 704 576 600 2000 \
  "testsrc2=size=704x576:rate=25,noise=alls=10:allf=t"
make_stream bench_720p 1280 720 300 4000 \
  "mandelbrot=size=1280x720:rate=25,noise=alls=6:allf=t"
make_stream bench_parts 704 576 300 0 \
  "mandelbrot=size=704x576:rate=25:start_scale=0.5:end_scale=0.001,rotate=a=0.5*t:c=black" \
  --preset slow --partitions all --subme 9 --qp 22
