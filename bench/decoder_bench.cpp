// Micro-benchmarks of the decoder: whole small streams through the entry (pictures per second)
// and the byte-stream and bit-level readers that every NAL unit passes through.
#include <benchmark/benchmark.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bitstream/bitreader.h"
#include "conformance/stream_feed.h"

namespace {

std::vector<uint8_t> ReadStream(const std::string& name) {
  std::ifstream f(std::string(VEXLOR_SOURCE_DIR) + "/tests/data/x264/" + name + ".264",
                  std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// A whole x264 test stream through the decoder entry, as the channel scan feeds it.
void BM_DecodeStream(benchmark::State& state, const char* name) {
  const std::vector<uint8_t> stream = ReadStream(name);
  int64_t pictures = 0;
  for (auto _ : state) {
    pictures +=
        vexlor::testing::FeedStream(stream, [](const vexlor::h264::DecodeRequest&) {}).pictures;
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

// Exp-Golomb codes of mixed lengths, the bulk of header and macroblock syntax.
void BM_ReadUe(benchmark::State& state) {
  // 1 (0), 010 (1), 011 (2), 00100 (3), 0001000 (7) repeated: bits 1010011001000001000.
  std::vector<uint8_t> bits;
  uint64_t acc = 0;
  int have = 0;
  for (int i = 0; i < 20000; ++i) {
    acc = (acc << 19) | 0b1010011001000001000;
    have += 19;
    while (have >= 8) {
      bits.push_back(static_cast<uint8_t>(acc >> (have - 8)));
      have -= 8;
    }
  }
  bits.insert(bits.begin(), {0, 0, 1, 0x01});  // start code and a NAL header
  vexlor::h264::BitReader r;
  vexlor::h264::InitReader(&r, bits.data(), static_cast<int32_t>(bits.size()));
  const uint32_t start = r.bitPos;
  for (auto _ : state) {
    r.bitPos = start;
    uint32_t sum = 0;
    for (int i = 0; i < 5 * 19000; ++i) sum += vexlor::h264::ReadUe(&r);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * 5 * 19000);
}
BENCHMARK(BM_ReadUe);

}  // namespace

BENCHMARK_MAIN();
