// Bit writer for test streams: fixed-length and Exp-Golomb codes, RBSP trailing bits, and the
// byte-stream framing of a NAL unit (start code, header, emulation prevention).
#pragma once

#include <cstdint>
#include <vector>

namespace vexlor::h264w {

class BitWriter {
 public:
  // Writes the low n bits of value, most significant first (0 <= n <= 32).
  void PutBits(uint32_t value, int n);
  void PutBit(int bit) { PutBits(bit ? 1u : 0u, 1); }
  void PutUe(uint32_t value);
  void PutSe(int32_t value);
  // rbsp_stop_one_bit and the alignment zero bits.
  void PutTrailingBits();
  // Zero bits up to the next byte boundary (pcm_alignment_zero_bit).
  void AlignWithZeros();
  bool ByteAligned() const { return pending_ == 0; }
  int64_t BitCount() const { return static_cast<int64_t>(bytes_.size()) * 8 + pending_; }
  // The bytes written so far; the writer must be byte aligned.
  const std::vector<uint8_t>& Bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  uint32_t acc_ = 0;  // pending bits, right-aligned
  int pending_ = 0;   // 0..7
};

// Inserts an emulation prevention byte after every two zero bytes that precede a byte of 0..3
// (and after a trailing pair of zeros).
std::vector<uint8_t> AddEmulationPrevention(const std::vector<uint8_t>& rbsp);

// A complete NAL unit in byte-stream form: 00 00 00 01 (or 00 00 01), the header byte, and the
// RBSP with emulation prevention.
std::vector<uint8_t> MakeNalUnit(int nal_ref_idc, int nal_unit_type,
                                 const std::vector<uint8_t>& rbsp, bool fourByteStartCode = true);

}  // namespace vexlor::h264w
