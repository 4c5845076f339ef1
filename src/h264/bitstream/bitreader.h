// Bit reader for one NAL unit: start code and emulation prevention removal, fixed-length
// reads, Exp-Golomb codes and the RBSP end tests.
//
// The reader keeps its own copy of the RBSP (after emulation prevention removal) followed by
// kReaderPadding zero bytes, so every peek may load eight bytes without a bounds test and a
// parsed-but-not-yet-decoded slice survives the caller reusing its buffer. Errors are sticky:
// a read past the end or an over-long code sets `error`, which only InitReader clears.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "common/errors.h"

// Reads one syntax element in a parser and returns from the parser with its negative result.
#define VX_TRY(expr)           \
  do {                         \
    const int vx_r = (expr);   \
    if (vx_r < 0) return vx_r; \
  } while (0)

namespace vexlor::h264 {

constexpr int kReaderPadding = 16;

struct BitReader {
  const uint8_t* data = nullptr;  // RBSP; kReaderPadding zero bytes follow data[size - 1]
  int32_t size = 0;               // RBSP length in bytes
  uint32_t bitPos = 0;            // next bit to read; never above bitEnd
  uint32_t bitEnd = 0;            // size * 8
  int32_t error = kOk;            // kOk, or the kReader* code of the first failed read
  std::vector<uint8_t> storage;   // owns the RBSP bytes and the padding
};

// Attaches the reader to one NAL unit of n bytes (with or without its start code prefix),
// copying its RBSP into the reader with emulation prevention bytes removed. Trailing zero bytes
// after the rbsp_stop_one_bit are dropped (they belong to the byte stream, not to the RBSP).
// Returns 0.
int InitReader(BitReader* r, const uint8_t* bytes, int32_t n);

namespace detail {
inline uint64_t LoadBe64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return __builtin_bswap64(v);
}
}  // namespace detail

// The next 32 bits, zero-padded past the end; nothing is consumed.
inline uint32_t PeekBits32(const BitReader* r) {
  const uint64_t v = detail::LoadBe64(r->data + (r->bitPos >> 3)) << (r->bitPos & 7);
  return static_cast<uint32_t>(v >> 32);
}

// The next 57 bits (at least), left-aligned in 64, zero-padded past the end.
inline uint64_t PeekBits64(const BitReader* r) {
  return detail::LoadBe64(r->data + (r->bitPos >> 3)) << (r->bitPos & 7);
}

inline int32_t BitsLeft(const BitReader* r) {
  return static_cast<int32_t>(r->bitEnd - r->bitPos);
}

// Next n bits (0 <= n <= 32) without consuming them; zero bits stand in past the end.
inline uint32_t ShowBits(const BitReader* r, int n) {
  return static_cast<uint32_t>(uint64_t{PeekBits32(r)} >> (32 - n));
}

// u(n), 0 <= n <= 32 (u(0) reads nothing and gives 0). Past the end: error kReaderPastEnd, result
// 0, nothing consumed.
inline uint32_t ReadBits(BitReader* r, int n) {
  if (r->bitPos + static_cast<uint32_t>(n) > r->bitEnd) [[unlikely]] {
    r->error = kReaderPastEnd;
    return 0;
  }
  const uint32_t v = static_cast<uint32_t>(uint64_t{PeekBits32(r)} >> (32 - n));
  r->bitPos += n;
  return v;
}

inline uint32_t ReadBit(BitReader* r) {
  return ReadBits(r, 1);
}

// Consumes n bits; past the end sets error kReaderPastEnd, consumes what is left and returns it.
inline int SkipBits(BitReader* r, int n) {
  if (r->bitPos + static_cast<uint32_t>(n) > r->bitEnd) [[unlikely]] {
    r->bitPos = r->bitEnd;
    r->error = kReaderPastEnd;
    return kReaderPastEnd;
  }
  r->bitPos += n;
  return 0;
}

// Drops the bits up to the next byte boundary and reads one byte into *out. Returns 0, or 1
// when no whole byte is left (error is not set).
inline int ReadByte(BitReader* r, uint8_t* out) {
  const uint32_t aligned = (r->bitPos + 7) & ~7u;
  if (aligned + 8 > r->bitEnd) {
    r->bitPos = aligned < r->bitEnd ? aligned : r->bitEnd;
    return 1;
  }
  *out = r->data[aligned >> 3];
  r->bitPos = aligned + 8;
  return 0;
}

// Slow path of ReadUe: 16 or more leading zeros, or a code that runs past the end.
uint32_t ReadUeSlow(BitReader* r);

// ue(v) with at most 16 leading zeros: codeNum 0..65535. Longer codes set kReaderCodeTooLong.
inline uint32_t ReadUe(BitReader* r) {
  const uint32_t v = PeekBits32(r);
  if (v >= 0x00010000u) [[likely]] {
    const int lz = __builtin_clz(v);
    const int len = 2 * lz + 1;
    if (r->bitPos + static_cast<uint32_t>(len) <= r->bitEnd) [[likely]] {
      r->bitPos += len;
      return (v >> (32 - len)) - 1;
    }
  }
  return ReadUeSlow(r);
}

// ue(v) with at most 32 leading zeros: codeNum 0..4294967295.
uint32_t ReadUeLong(BitReader* r);

inline int32_t SeFromCodeNum(uint32_t k) {
  return (k & 1) ? static_cast<int32_t>((k + 1) >> 1) : -static_cast<int32_t>(k >> 1);
}
inline int32_t ReadSe(BitReader* r) {
  return SeFromCodeNum(ReadUe(r));
}
inline int32_t ReadSeLong(BitReader* r) {
  const uint32_t k = ReadUeLong(r);
  return (k & 1) ? static_cast<int32_t>(static_cast<int64_t>(k >> 1) + 1)
                 : static_cast<int32_t>(-static_cast<int64_t>(k >> 1));
}

// more_rbsp_data(): 1 when anything other than the rbsp_stop_one_bit and its alignment zeros
// remains.
int MoreRbspData(const BitReader* r);

// rbsp_trailing_bits(): returns the number of bits consumed (>= 1), or a negative error
// (kReaderPastEnd, or kReaderBadTrailingBits when the bits are not a one followed by zeros to
// the byte boundary).
int CheckTrailingBits(BitReader* r);

// Range-tested reads used by the syntax parsers. Each stores what it read into *dst even when
// it then fails. Results: kOk, kErrRead when the reader failed, kErrRange out of range.
int ReadU(BitReader* r, int n, int32_t* dst);
int ReadUeMax(BitReader* r, uint32_t max, int32_t* dst);
int ReadUeLongMax(BitReader* r, uint32_t max, uint32_t* dst);
int ReadSeRange(BitReader* r, int32_t low, int32_t high, int32_t* dst);
int ReadSeLongAny(BitReader* r, int32_t* dst);

}  // namespace vexlor::h264
