// Bit-string helpers for the macroblock-level tests: build an RBSP bit by bit and attach a
// BitReader to it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bitstream/bitreader.h"

namespace vexlor::h264::testing_bits {

struct Bits {
  std::string s;  // '0' / '1'

  Bits& Put(const std::string& code) {
    for (char c : code) {
      if (c == '0' || c == '1') s.push_back(c);
    }
    return *this;
  }
  Bits& U(uint32_t v, int n) {
    for (int i = n - 1; i >= 0; --i) s.push_back(((v >> i) & 1) ? '1' : '0');
    return *this;
  }
  Bits& Ue(uint32_t v) {
    const uint64_t x = uint64_t{v} + 1;
    int len = 0;
    while ((x >> len) > 1) ++len;
    U(0, len);
    return U(static_cast<uint32_t>(x), len + 1);
  }
  Bits& Se(int32_t v) { return Ue(v > 0 ? 2 * v - 1 : -2 * v); }
  // rbsp_stop_one_bit and alignment.
  Bits& Trailing() {
    s.push_back('1');
    while (s.size() % 8) s.push_back('0');
    return *this;
  }
  std::vector<uint8_t> Bytes() const {
    std::vector<uint8_t> out((s.size() + 7) / 8, 0);
    for (size_t i = 0; i < s.size(); ++i) {
      if (s[i] == '1') out[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
    }
    return out;
  }
};

// A reader over exactly the bits of b (padded to whole bytes with zeros). The reader's copy drops
// trailing zero bytes, so callers that need them end the string with a one bit.
inline void Attach(BitReader* r, const Bits& b) {
  std::vector<uint8_t> bytes = b.Bytes();
  // Prefix a start code so that leading zero bytes of the RBSP are not taken for one.
  std::vector<uint8_t> nal = {0, 0, 1};
  // Emulation prevention: the reader removes 00 00 03, so insert it where the RBSP needs it.
  int zeros = 0;
  for (uint8_t v : bytes) {
    if (zeros >= 2 && v <= 3) {
      nal.push_back(3);
      zeros = 0;
    }
    nal.push_back(v);
    zeros = v == 0 ? zeros + 1 : 0;
  }
  InitReader(r, nal.data(), static_cast<int32_t>(nal.size()));
}

}  // namespace vexlor::h264::testing_bits
