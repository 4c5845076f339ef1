// Fuzz target of the whole conversion: the input is a recording, converted into a private
// folder. The checks are those of tests/fuzz/conversion_check.h.
#include <cstdint>
#include <cstdio>

#include "fuzz/conversion_check.h"
#include "fuzz/scratch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static vexlor::testing::ScratchFolder folder("vexlor-conversion-fuzz");
  if (!folder.ok()) __builtin_trap();
  const std::string problem = vexlor::testing::ConversionInputProblem(data, size, folder.path());
  if (!problem.empty()) {
    std::fprintf(stderr, "conversion_fuzz: %s\n", problem.c_str());
    __builtin_trap();
  }
  return 0;
}
