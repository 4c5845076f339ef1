// Fuzz target of the frame reader: the input is a recording, read frame by frame to its end.
// The checks are those of tests/fuzz/reader_check.h.
#include <cstdint>
#include <cstdio>

#include "fuzz/reader_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string problem = vexlor::testing::ReaderInputProblem(data, size);
  if (!problem.empty()) {
    std::fprintf(stderr, "reader_fuzz: %s\n", problem.c_str());
    __builtin_trap();
  }
  return 0;
}
