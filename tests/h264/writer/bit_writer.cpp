#include "h264/writer/bit_writer.h"

#include <cassert>

namespace vexlor::h264w {

void BitWriter::PutBits(uint32_t value, int n) {
  assert(n >= 0 && n <= 32);
  for (int i = n - 1; i >= 0; --i) {
    acc_ = (acc_ << 1) | ((value >> i) & 1u);
    if (++pending_ == 8) {
      bytes_.push_back(static_cast<uint8_t>(acc_));
      acc_ = 0;
      pending_ = 0;
    }
  }
}

void BitWriter::PutUe(uint32_t value) {
  const uint64_t code = static_cast<uint64_t>(value) + 1;
  int len = 0;
  while ((code >> len) > 1) ++len;  // len = floor(log2(code))
  PutBits(0, len);
  // code has len + 1 significant bits (at most 33).
  if (len >= 32) {
    PutBits(static_cast<uint32_t>(code >> 32), len - 31);
    PutBits(static_cast<uint32_t>(code), 32);
  } else {
    PutBits(static_cast<uint32_t>(code), len + 1);
  }
}

void BitWriter::PutSe(int32_t value) {
  const int64_t v = value;
  PutUe(static_cast<uint32_t>(v > 0 ? 2 * v - 1 : -2 * v));
}

void BitWriter::PutTrailingBits() {
  PutBit(1);
  AlignWithZeros();
}

void BitWriter::AlignWithZeros() {
  while (pending_ != 0) PutBit(0);
}

std::vector<uint8_t> AddEmulationPrevention(const std::vector<uint8_t>& rbsp) {
  std::vector<uint8_t> out;
  out.reserve(rbsp.size() + rbsp.size() / 64 + 4);
  int zeros = 0;
  for (uint8_t b : rbsp) {
    if (zeros >= 2 && b <= 3) {
      out.push_back(3);
      zeros = 0;
    }
    out.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  if (zeros >= 2) out.push_back(3);
  return out;
}

std::vector<uint8_t> MakeNalUnit(int nal_ref_idc, int nal_unit_type,
                                 const std::vector<uint8_t>& rbsp, bool fourByteStartCode) {
  const std::vector<uint8_t> payload = AddEmulationPrevention(rbsp);
  std::vector<uint8_t> nal;
  nal.reserve(payload.size() + 5);
  if (fourByteStartCode) nal.push_back(0);
  nal.push_back(0);
  nal.push_back(0);
  nal.push_back(1);
  nal.push_back(static_cast<uint8_t>(((nal_ref_idc & 3) << 5) | (nal_unit_type & 31)));
  for (uint8_t b : payload) nal.push_back(b);
  return nal;
}

}  // namespace vexlor::h264w
