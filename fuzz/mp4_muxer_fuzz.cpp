// Fuzz target of the MP4 muxer: the input is a recording of pictures and sound with their
// stamps, written in a private folder. The checks are those of tests/fuzz/mp4_muxer_check.h
// (without ffprobe, which the replay test adds: a program started per input would slow the
// search a hundredfold).
#include <cstdint>
#include <cstdio>

#include "fuzz/mp4_muxer_check.h"
#include "fuzz/scratch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static vexlor::testing::ScratchFolder folder("vexlor-mp4-fuzz");
  if (!folder.ok()) __builtin_trap();
  const std::string problem =
      vexlor::testing::Mp4MuxerProgramProblem(data, size, folder.path(), false);
  if (!problem.empty()) {
    std::fprintf(stderr, "mp4_muxer_fuzz: %s\n", problem.c_str());
    __builtin_trap();
  }
  return 0;
}
