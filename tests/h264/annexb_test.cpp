// The start code scanner's IDR test, which decides the key chunks of the AVI files.
#include "h264/annexb.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace vexlor::h264 {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(AnnexB, KeyFramesAreThoseWithAnIdrSlice) {
  struct Case {
    Bytes data;
    bool idr;
  };
  const std::vector<Case> cases = {
      {{0, 0, 0, 1, 0x65, 0x88}, true},
      {{0, 0, 0, 1, 0x67, 1, 2, 0, 0, 1, 0x68, 3, 0, 0, 1, 0x45}, true},  // third NAL, ref_idc 2
      {{0, 0, 0, 1, 0x61, 0x9A}, false},                                  // P, nal_ref_idc 3
      {{0, 0, 0, 1, 0x41, 0, 0, 3, 0x05, 0x65}, false},  // emulation-prevented, not a start code
      {{0, 0, 0, 1, 0x41, 0x11, 0, 0, 1}, false},        // start code at the very end
      {{0, 0, 1, 0xE5}, false},                          // forbidden_zero_bit set
      {{0, 0, 1, 0x05}, true},
      {{}, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HoldsIdrSlice(c.data), c.idr) << "case of " << c.data.size() << " bytes";
  }
}

}  // namespace
}  // namespace vexlor::h264
