// Splitting an H.264 Annex B byte stream into access units (one picture each), with the
// decoder's own parsers; `vexlor mkrec` sends one access unit per recording frame.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace vexlor::h264 {

struct AccessUnit {
  std::vector<uint8_t> bytes;  // begins with the four-byte start code 00 00 00 01
  bool idr = false;            // holds an IDR slice
};

// Splits `stream` into access units by the rules of H.264 clause 7.4.1.2.3: an access unit
// delimiter, SEI, parameter set or reserved NAL unit (types 14 to 18) after a slice, or the
// first slice of a new primary picture (clause 7.4.1.2.4, decided from the slice header and the
// parameter sets seen so far; without them, a slice with first_mb_in_slice 0), starts a new
// unit. Bytes before the first start code are dropped. The first start code of each unit is
// written with four bytes; all other bytes are kept.
std::vector<AccessUnit> SplitAccessUnits(std::span<const uint8_t> stream);

}  // namespace vexlor::h264
