// Micro-benchmarks of the decoder through its API: whole small streams (pictures per second) and
// the cutting of a byte stream into NAL units. (The bit reader has its own benchmark beside the
// decoder's tests, tests/h264/bitreader_bench.cpp.)
#include <benchmark/benchmark.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "h264/annexb.h"
#include "h264/api.h"

namespace {

std::vector<uint8_t> ReadStream(const std::string& name) {
  std::ifstream f(std::string(VEXLOR_SOURCE_DIR) + "/tests/data/x264/" + name + ".264",
                  std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// A whole x264 test stream through the decoder, one NAL unit at a time.
void BM_DecodeStream(benchmark::State& state, const char* name) {
  const std::vector<uint8_t> stream = ReadStream(name);
  int64_t pictures = 0;
  for (auto _ : state) {
    pictures +=
        vexlor::h264::DecodeStream(stream, [](const vexlor::h264::PictureView&) {}).pictures;
  }
  state.counters["pictures/s"] =
      benchmark::Counter(static_cast<double>(pictures), benchmark::Counter::kIsRate);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(stream.size()));
}
BENCHMARK_CAPTURE(BM_DecodeStream, partitions_umh, "partitions_umh");
BENCHMARK_CAPTURE(BM_DecodeStream, refs_slices, "refs_slices");
BENCHMARK_CAPTURE(BM_DecodeStream, qp1, "qp1");

// Cutting a stream into NAL units.
void BM_FindNalUnits(benchmark::State& state) {
  const std::vector<uint8_t> stream = ReadStream("qp1");
  const auto n = static_cast<int32_t>(stream.size());
  for (auto _ : state) {
    int32_t units = 0;
    for (int32_t pos = 0; pos < n; ++units) {
      int32_t len = vexlor::h264::FindNalUnitLength(stream.data() + pos, n - pos);
      pos += len > 0 ? len : n;
    }
    benchmark::DoNotOptimize(units);
  }
  state.SetBytesProcessed(state.iterations() * n);
}
BENCHMARK(BM_FindNalUnits);

}  // namespace

BENCHMARK_MAIN();
