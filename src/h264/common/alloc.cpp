#include "common/alloc.h"

#include <cstdio>
#include <cstdlib>

namespace vexlor::h264 {

void OutOfMemory() {
  std::fputs("out of memory\n", stderr);
  std::exit(1);
}

}  // namespace vexlor::h264
