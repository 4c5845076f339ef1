// Fuzz target of the Matroska muxer: the input is a program of samples, stamps and endings, run
// in a private folder. The checks are those of tests/fuzz/mkv_muxer_check.h.
#include <cstdint>
#include <cstdio>

#include "fuzz/mkv_muxer_check.h"
#include "fuzz/scratch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static vexlor::testing::ScratchFolder folder("vexlor-mkv-fuzz");
  if (!folder.ok()) __builtin_trap();
  const std::string problem = vexlor::testing::MkvMuxerProgramProblem(data, size, folder.path());
  if (!problem.empty()) {
    std::fprintf(stderr, "mkv_muxer_fuzz: %s\n", problem.c_str());
    __builtin_trap();
  }
  return 0;
}
