#!/usr/bin/env bash
# Makes the small x264 test streams under tests/data/x264 and their reference checksums, and the
# streams of other profiles under tests/data/profiles with what ffprobe says of them.
#
# Each stream NAME gets NAME.264 (Annex B, Baseline) and NAME.md5: one line per picture in output
# order, "index WxH md5", the md5 taken over the visible I420 picture of x264's own
# reconstruction (--dump-yuv writes the cropped picture). When ffmpeg is installed its decoding of
# each stream is compared with that reconstruction as a sanity check of the references.
#
# Each stream NAME of another profile gets NAME.264 and NAME.probe: ffprobe's profile, level,
# width, height and has_b_frames as key=value lines, and "order=" with the decoding index
# (coded_picture_number) of every frame in presentation order.
#
# Usage: tools/make_test_streams.sh [OUTDIR [PROFILES_OUTDIR]]
#        (default tests/data/x264 and tests/data/profiles of this checkout)
# The output is deterministic for a given x264 build; rerun only when the set of streams changes.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/tests/data/x264}
profiles=${2:-$root/tests/data/profiles}
mkdir -p "$out" "$profiles"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for tool in x264 ffmpeg ffprobe python3; do
  command -v "$tool" >/dev/null || { echo "make_test_streams: $tool is needed" >&2; exit 1; }
done

# md5 per picture of an I420 file of W x H pictures -> "index WxH md5" lines.
picture_md5s() {
  python3 - "$1" "$2" "$3" <<'EOF'
import hashlib, sys
path, w, h = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
size = w * h * 3 // 2
data = open(path, 'rb').read()
if len(data) % size:
    sys.exit(f'{path}: {len(data)} bytes is not a whole number of {w}x{h} pictures')
for i in range(len(data) // size):
    print(f'{i} {w}x{h} {hashlib.md5(data[i * size:(i + 1) * size]).hexdigest()}')
EOF
}

# make NAME WIDTH HEIGHT FRAMES SOURCE [x264 options...]
# SOURCE is an ffmpeg lavfi graph producing the pictures (scaled/cropped to WIDTH x HEIGHT here).
make_stream() {
  local name=$1 w=$2 h=$3 frames=$4 source=$5
  shift 5
  ffmpeg -nostdin -loglevel error -f lavfi -i "$source" -frames:v "$frames" \
    -vf "scale=${w}:${h}:flags=bicubic" -pix_fmt yuv420p -f rawvideo "$work/$name.yuv"
  x264 --quiet --profile baseline --threads 1 --no-psy --input-res "${w}x${h}" --fps 25 \
    "$@" -o "$out/$name.264" --dump-yuv "$work/$name.rec" "$work/$name.yuv" 2>/dev/null
  picture_md5s "$work/$name.rec" "$w" "$h" >"$out/$name.md5"
  local n
  n=$(wc -l <"$out/$name.md5")
  if [ "$n" -ne "$frames" ]; then
    echo "make_test_streams: $name has $n pictures, expected $frames" >&2
    exit 1
  fi
  # Independent check of the reference: a second decoder must agree with x264's reconstruction.
  ffmpeg -nostdin -loglevel error -i "$out/$name.264" -f rawvideo -pix_fmt yuv420p "$work/$name.dec"
  if ! cmp -s "$work/$name.dec" "$work/$name.rec"; then
    echo "make_test_streams: $name: ffmpeg's decoding differs from x264's reconstruction" >&2
    exit 1
  fi
  printf '%-22s %4dx%-4d %3d pictures %7d bytes  %s\n' "$name" "$w" "$h" "$n" \
    "$(stat -c %s "$out/$name.264")" "$*"
}

# Sources: a test card with moving parts and temporal noise (busy residuals, large
# coefficients at low QP), and a zooming fractal panned fast across the picture (long motion
# vectors that reach past the picture edges).
noisy="testsrc=size=176x144:rate=25,noise=alls=12:allf=t"
pan="mandelbrot=size=480x360:rate=25,crop=176:144:'mod(t*250,300)':'mod(t*120,210)'"

make_stream refs_slices 176 144 30 "$noisy" --qp 28 --ref 5 --slices 4 --keyint 15 --scenecut 0
make_stream partitions_umh 176 144 20 "$pan" --qp 26 --partitions all --me umh --merange 64 \
  --subme 9 --ref 3
make_stream no_deblock 176 144 20 "$noisy" --qp 30 --no-deblock --ref 2
make_stream deblock_strong 176 144 20 "$pan" --qp 36 --deblock 6:6 --ref 2
make_stream deblock_weak 176 144 20 "$pan" --qp 36 --deblock -6:-6 --ref 2
make_stream chroma_qp_plus12 176 144 15 "$noisy" --qp 26 --chroma-qp-offset 12
make_stream chroma_qp_minus12 176 144 15 "$noisy" --qp 26 --chroma-qp-offset -12
make_stream qp1 176 144 8 "$noisy" --qp 1
make_stream qp51 176 144 20 "$pan" --qp 51 --ref 2
make_stream odd_size 170 102 20 "$pan" --qp 28 --ref 2 --partitions all
make_stream constrained_intra 176 144 25 "$pan" --qp 30 --constrained-intra --ref 2 \
  --partitions all
make_stream intra_refresh 176 144 30 "$noisy" --qp 30 --intra-refresh --keyint 10

# make_profile_stream NAME WIDTH HEIGHT FRAMES [x264 options...]: a stream of another profile (the
# options name it), a moving test card at a coarse quantiser so that it stays small.
make_profile_stream() {
  local name=$1 w=$2 h=$3 frames=$4
  shift 4
  ffmpeg -nostdin -loglevel error -f lavfi -i "testsrc=size=${w}x${h}:rate=25" -frames:v "$frames" \
    -pix_fmt yuv420p -f rawvideo "$work/$name.yuv"
  x264 --quiet --threads 1 --input-res "${w}x${h}" --fps 25 --qp 40 "$@" \
    -o "$profiles/$name.264" "$work/$name.yuv" 2>/dev/null
  {
    ffprobe -v error -select_streams v -show_entries stream=profile,level,width,height,has_b_frames \
      -of default=noprint_wrappers=1 "$profiles/$name.264"
    printf 'order='
    ffprobe -v error -show_entries frame=coded_picture_number -of csv=p=0 "$profiles/$name.264" |
      sed 's/,.*//' | grep -v '^$' | paste -sd' '
  } >"$profiles/$name.probe"
  printf '%-22s %4dx%-4d %3d pictures %7d bytes  %s\n' "$name" "$w" "$h" "$frames" \
    "$(stat -c %s "$profiles/$name.264")" "$*"
}

make_profile_stream baseline 640 360 12 --profile baseline
make_profile_stream main_cabac 640 360 12 --profile main --bframes 0 --weightp 0
make_profile_stream main_bframes 480 270 12 --profile main --no-cabac --bframes 3 \
  --b-pyramid normal --weightp 0 --no-weightb
make_profile_stream high_8x8 630 360 12 --profile high --bframes 0 --weightp 0
make_profile_stream interlaced 640 360 12 --profile high --tff --bframes 3 --b-pyramid normal
