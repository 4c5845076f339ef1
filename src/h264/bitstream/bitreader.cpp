#include "bitstream/bitreader.h"

#include "common/alloc.h"
#include "h264/annexb.h"

namespace vexlor::h264 {

int InitReader(BitReader* r, const uint8_t* bytes, int32_t n) {
  r->error = kOk;
  r->bitPos = 0;
  if (n < 0 || bytes == nullptr) n = 0;
  // Bit positions are 32-bit: no NAL unit of this decoder comes near this size.
  constexpr int32_t kMaxNalBytes = 1 << 28;
  if (n > kMaxNalBytes) n = kMaxNalBytes;

  // A start code prefix in front is dropped; all zero data gives an empty RBSP.
  const int32_t start = StartCodePrefixLength(bytes, n);

  const size_t need = static_cast<size_t>(n - start) + kReaderPadding;
  if (r->storage.size() < need) ResizeOrDie(&r->storage, need);
  uint8_t* out = r->storage.data();

  // Emulation prevention: drop every 03 preceded by two zero input bytes (the window runs over
  // input bytes, dropped ones included). Runs between zero bytes are copied whole.
  int32_t kept = 0;
  int32_t k = start;
  while (k < n) {
    const void* zp = std::memchr(bytes + k, 0, static_cast<size_t>(n - k));
    if (zp == nullptr) {
      std::memcpy(out + kept, bytes + k, static_cast<size_t>(n - k));
      kept += n - k;
      break;
    }
    const int32_t z = static_cast<int32_t>(static_cast<const uint8_t*>(zp) - bytes);
    if (z + 2 < n && bytes[z + 1] == 0 && bytes[z + 2] == 3) {
      std::memcpy(out + kept, bytes + k, static_cast<size_t>(z + 2 - k));
      kept += z + 2 - k;
      k = z + 3;  // the 03 is dropped
    } else {
      std::memcpy(out + kept, bytes + k, static_cast<size_t>(z + 1 - k));
      kept += z + 1 - k;
      k = z + 1;
    }
  }
  // Trailing zero bytes after the stop bit belong to the byte stream.
  while (kept > 0 && out[kept - 1] == 0) --kept;
  std::memset(out + kept, 0, kReaderPadding);

  r->data = out;
  r->size = kept;
  r->bitEnd = static_cast<uint32_t>(kept) * 8;
  return 0;
}

uint32_t ReadUeSlow(BitReader* r) {
  const uint64_t v = PeekBits64(r);
  const int lz = v == 0 ? 64 : __builtin_clzll(v);
  if (lz < 16) {
    // A short code that runs past the end of the data.
    const uint32_t len = 2 * lz + 1;
    const uint32_t code = static_cast<uint32_t>(v >> (64 - len)) - 1;
    const bool prefixInside = r->bitPos + static_cast<uint32_t>(lz) + 1 <= r->bitEnd;
    r->bitPos = r->bitEnd;
    r->error = prefixInside ? kReaderPastEnd : kReaderCodeTooLong;
    return prefixInside ? code : 0;
  }
  if (lz == 16) {
    // Sixteen zeros, the one, and sixteen suffix bits: only an all-zero suffix is allowed.
    if (r->bitPos + 33 > r->bitEnd) {
      r->bitPos = r->bitEnd;
      r->error = kReaderCodeTooLong;
      return 0;
    }
    const uint32_t suffix = static_cast<uint32_t>(v >> (64 - 33)) & 0xFFFF;
    r->bitPos += 33;
    if (suffix != 0) {
      r->error = kReaderCodeTooLong;
      return 0;
    }
    return 65535;
  }
  // Seventeen or more zeros: too long.
  const uint32_t consume = 33;
  r->bitPos = r->bitPos + consume <= r->bitEnd ? r->bitPos + consume : r->bitEnd;
  r->error = kReaderCodeTooLong;
  return 0;
}

uint32_t ReadUeLong(BitReader* r) {
  const uint64_t v = PeekBits64(r);
  const int lz = v == 0 ? 64 : __builtin_clzll(v);
  if (lz > 32) {
    r->bitPos = r->bitPos + 33 <= r->bitEnd ? r->bitPos + 33 : r->bitEnd;
    r->error = kReaderCodeTooLong;
    return 0;
  }
  if (r->bitPos + static_cast<uint32_t>(2 * lz + 1) > r->bitEnd) {
    const bool prefixInside = r->bitPos + static_cast<uint32_t>(lz) + 1 <= r->bitEnd;
    r->bitPos = r->bitEnd;
    r->error = prefixInside ? kReaderPastEnd : kReaderCodeTooLong;
    return 0;
  }
  r->bitPos += lz + 1;
  if (lz == 0) return 0;
  uint64_t suffix = 0;
  if (lz <= 24) {
    suffix = ReadBits(r, lz);
  } else {
    suffix = static_cast<uint64_t>(ReadBits(r, 24)) << (lz - 24);
    suffix |= ReadBits(r, lz - 24);
  }
  if (lz == 32) {
    if (suffix != 0) {
      r->error = kReaderCodeTooLong;
      return 0;
    }
    return 0xFFFFFFFFu;
  }
  return static_cast<uint32_t>((uint64_t{1} << lz) - 1 + suffix);
}

int MoreRbspData(const BitReader* r) {
  const uint32_t left = r->bitEnd - r->bitPos;
  if (left == 0) return 0;
  if (left > 8) return 1;
  // At most eight bits remain: they are the stop bit and its alignment zeros, or more data.
  const uint32_t bits = ShowBits(r, static_cast<int>(left));
  return bits == (1u << (left - 1)) ? 0 : 1;
}

int CheckTrailingBits(BitReader* r) {
  const uint32_t one = ReadBits(r, 1);
  if (r->error < 0) return r->error;
  if (one != 1) {
    r->error = kReaderBadTrailingBits;
    return kReaderBadTrailingBits;
  }
  int consumed = 1;
  while (r->bitPos & 7) {
    const uint32_t z = ReadBits(r, 1);
    if (r->error < 0) return r->error;
    ++consumed;
    if (z != 0) {
      r->error = kReaderBadTrailingBits;
      return kReaderBadTrailingBits;
    }
  }
  return consumed;
}

int ReadU(BitReader* r, int n, int32_t* dst) {
  *dst = static_cast<int32_t>(ReadBits(r, n));
  return r->error < 0 ? kErrRead : kOk;
}

int ReadUeMax(BitReader* r, uint32_t max, int32_t* dst) {
  const uint32_t v = ReadUe(r);
  *dst = static_cast<int32_t>(v);
  if (r->error < 0) return kErrRead;
  return v > max ? kErrRange : kOk;
}

int ReadUeLongMax(BitReader* r, uint32_t max, uint32_t* dst) {
  const uint32_t v = ReadUeLong(r);
  *dst = v;
  if (r->error < 0) return kErrRead;
  return v > max ? kErrRange : kOk;
}

int ReadSeRange(BitReader* r, int32_t low, int32_t high, int32_t* dst) {
  const int32_t v = ReadSe(r);
  *dst = v;
  if (r->error < 0) return kErrRead;
  return (v < low || v > high) ? kErrRange : kOk;
}

int ReadSeLongAny(BitReader* r, int32_t* dst) {
  *dst = ReadSeLong(r);
  return r->error < 0 ? kErrRead : kOk;
}

}  // namespace vexlor::h264
