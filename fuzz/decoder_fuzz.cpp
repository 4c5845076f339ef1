// Fuzz target of the decoder: the input is one channel's H.264 byte stream, decoded one NAL unit
// at a time through the decoder's API and then drained, and read for its stream facts (parameter
// sets and slice headers of every profile, picture order). The checks are those of
// tests/conformance/stream_feed.h.
#include <cstdint>
#include <cstdio>
#include <vector>

#include "conformance/stream_feed.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string problem = vexlor::testing::DecoderInputProblem({data, data + size});
  if (!problem.empty()) {
    std::fprintf(stderr, "decoder_fuzz: %s\n", problem.c_str());
    __builtin_trap();
  }
  return 0;
}
