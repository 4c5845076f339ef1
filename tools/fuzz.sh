#!/usr/bin/env bash
# Fuzzing smoke run of the decoder entry: tools/fuzz.sh BUILD_DIR [SECONDS]
#
# BUILD_DIR holds a -DVEXLOR_FUZZ=ON build made with clang (`make fuzz` makes it). Seeds: the
# conformance streams ($VEXLOR_CONFORMANCE_DIR, default ../shared/conformance beside the
# repository), the x264 streams of tests/data/x264 and the crash reproducers of tests/data/fuzz.
# New inputs collect in BUILD_DIR/fuzz-corpus, crashes in BUILD_DIR/fuzz-artifacts; copy a crash
# input into tests/data/fuzz once it is fixed, and the robustness test replays it from then on.
# Environment: FUZZ_MAX_LEN (bytes per input, default 16384).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?usage: tools/fuzz.sh BUILD_DIR [SECONDS]}
seconds=${2:-180}
target=$build/fuzz/decoder_fuzz
[ -x "$target" ] || { echo "fuzz: $target is missing (make fuzz builds it)" >&2; exit 1; }

seeds=$build/fuzz-seeds
corpus=$build/fuzz-corpus
artifacts=$build/fuzz-artifacts
mkdir -p "$seeds" "$corpus" "$artifacts"
conformance=${VEXLOR_CONFORMANCE_DIR:-$root/../shared/conformance}
for f in "$conformance"/streams/* "$root"/tests/data/x264/*.264 "$root"/tests/data/fuzz/*; do
  [ -f "$f" ] && cp -f "$f" "$seeds/"
done
echo "fuzz: $(ls "$seeds" | wc -l) seed files, $seconds s"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
log=$build/fuzz.log
status=0
"$target" "$corpus" "$seeds" -max_total_time="$seconds" -max_len="${FUZZ_MAX_LEN:-16384}" \
  -timeout=20 -rss_limit_mb=2560 \
  -artifact_prefix="$artifacts/" -print_final_stats=1 >"$log" 2>&1 || status=$?
grep -E "^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)" \
  "$log" || true
if [ "$status" -ne 0 ]; then
  grep -E "ERROR|SUMMARY|deadly signal|Test unit written" "$log" | head -20
  echo "fuzz: FAILED (exit status $status); log in $log, inputs in $artifacts"
  exit 1
fi
echo "fuzz: no fault found; corpus now $(ls "$corpus" | wc -l) inputs"
