// Micro-benchmark of the bit reader (a decoder internal, so it lives beside the decoder's tests):
// Exp-Golomb codes of mixed lengths, the bulk of header and macroblock syntax. `make bench` runs
// it after the decoder benchmarks.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "bitstream/bitreader.h"

namespace {

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
