// Fuzz target of the AVI writer: the input is a program of its operations and settings, run in a
// private folder. The checks are those of tests/fuzz/avi_writer_check.h.
#include <cstdint>
#include <cstdio>

#include "fuzz/avi_writer_check.h"
#include "fuzz/scratch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static vexlor::testing::ScratchFolder folder("vexlor-avi-fuzz");
  if (!folder.ok()) __builtin_trap();
  const std::string problem = vexlor::testing::AviWriterProgramProblem(data, size, folder.path());
  if (!problem.empty()) {
    std::fprintf(stderr, "avi_writer_fuzz: %s\n", problem.c_str());
    __builtin_trap();
  }
  return 0;
}
