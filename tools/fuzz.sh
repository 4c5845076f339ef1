#!/usr/bin/env bash
# Runs the libFuzzer targets one after another: tools/fuzz.sh BUILD_DIR SECONDS [TARGET...]
#
# BUILD_DIR holds a -DVEXLOR_FUZZ=ON build made with clang (`make fuzz` makes it); without TARGET
# names every target runs, each for SECONDS. Seeds: the committed corpus fuzz/corpus/TARGET and
# the reproducers tests/data/fuzz/TARGET. New inputs collect in BUILD_DIR/fuzz-corpus/TARGET,
# faults in BUILD_DIR/fuzz-artifacts/TARGET; once a fault is fixed, copy its input into
# tests/data/fuzz/TARGET and the replay test runs it from then on. The targets run under
# `nice -n 19` (the machine is shared). libFuzzer's time-out per input is wall-clock time, so a
# niced target on a busy machine can report a slow input that is not slow at all: FUZZ_TIMEOUT
# (seconds, default 120) sets it; a time-out is real only if the input is slow when run alone.
#
# To refresh a committed corpus from a long run (a few hundred KB in all), let libFuzzer's merge
# measure every input, then keep a small set that covers the same edges:
#   BUILD_DIR/fuzz/TARGET_fuzz -merge=1 -max_len=N -merge_control_file=ctl scratch/ \
#       fuzz/corpus/TARGET BUILD_DIR/fuzz-corpus/TARGET
#   tools/fuzz_cover.py ctl new/ BUDGET_BYTES   # then replace fuzz/corpus/TARGET by new/
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?usage: tools/fuzz.sh BUILD_DIR SECONDS [TARGET...]}
seconds=${2:?usage: tools/fuzz.sh BUILD_DIR SECONDS [TARGET...]}
shift 2
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(decoder reader conversion avi_writer mp4_muxer mkv_muxer)

# Per target: the largest input (bytes) and the dictionary, if any.
max_len() {
  case $1 in
    decoder | avi_writer | mp4_muxer | mkv_muxer) echo 4096 ;;
    *) echo 16384 ;;  # about a dozen packets of a recording
  esac
}
dictionary() {
  case $1 in
    decoder) echo "$root/fuzz/h264.dict" ;;
    reader | conversion) echo "$root/fuzz/recording.dict" ;;
  esac
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
failed=0
for t in "${targets[@]}"; do
  exe=$build/fuzz/${t}_fuzz
  [ -x "$exe" ] || { echo "fuzz: $exe is missing (make fuzz builds it)" >&2; exit 1; }
  corpus=$build/fuzz-corpus/$t
  artifacts=$build/fuzz-artifacts/$t
  mkdir -p "$corpus" "$artifacts"
  seeds=()
  for d in "$root/fuzz/corpus/$t" "$root/tests/data/fuzz/$t"; do
    [ -d "$d" ] && seeds+=("$d")
  done
  args=(-max_total_time="$seconds" -max_len="$(max_len "$t")" -timeout="${FUZZ_TIMEOUT:-120}" -rss_limit_mb=2560
        -artifact_prefix="$artifacts/" -print_final_stats=1)
  dict=$(dictionary "$t")
  [ -n "$dict" ] && args+=(-dict="$dict")
  log=$build/fuzz-$t.log
  echo "fuzz: $t for $seconds s"
  status=0
  nice -n 19 "$exe" "$corpus" "${seeds[@]}" "${args[@]}" >"$log" 2>&1 || status=$?
  grep -E "^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)" \
    "$log" | sed "s/^/  /" || true
  grep -E "^#[0-9]+[[:space:]]+(DONE|pulse|NEW|REDUCE)" "$log" | tail -1 | sed -E 's/^/  /' || true
  if [ "$status" -ne 0 ]; then
    grep -E "ERROR|SUMMARY|deadly signal|Test unit written|_fuzz: " "$log" | head -20
    echo "fuzz: $t FAILED (exit status $status); log in $log, inputs in $artifacts"
    failed=1
  else
    echo "fuzz: $t found no fault; corpus now $(ls "$corpus" | wc -l) inputs"
  fi
done
exit $failed
