#include "flac_frames.h"

namespace vexlor::mp4 {
namespace {

uint8_t Crc8(const uint8_t* p, size_t n) {
  uint8_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int k = 0; k < 8; ++k) crc = uint8_t(crc & 0x80 ? (crc << 1) ^ 0x07 : crc << 1);
  }
  return crc;
}

uint16_t Crc16(const uint8_t* p, size_t n) {
  uint16_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    crc ^= uint16_t(p[i] << 8);
    for (int k = 0; k < 8; ++k) crc = uint16_t(crc & 0x8000 ? (crc << 1) ^ 0x8005 : crc << 1);
  }
  return crc;
}

// The frame number in the frame header's variable-length form (that of UTF-8, up to 31 bits).
void PutFrameNumber(uint32_t v, std::vector<uint8_t>* out) {
  v &= 0x7FFFFFFF;
  if (v < 0x80) {
    out->push_back(uint8_t(v));
    return;
  }
  int extra = v < 0x800 ? 1 : v < 0x10000 ? 2 : v < 0x200000 ? 3 : v < 0x4000000 ? 4 : 5;
  const uint8_t lead = uint8_t(0xFF00 >> (extra + 1));  // 110xxxxx, 1110xxxx, ...
  out->push_back(uint8_t(lead | (v >> (6 * extra))));
  for (int k = extra - 1; k >= 0; --k) out->push_back(uint8_t(0x80 | ((v >> (6 * k)) & 0x3F)));
}

}  // namespace

void AppendFlacFrame(uint32_t frame_number, std::span<const uint8_t> samples,
                     std::vector<uint8_t>* out) {
  const size_t n = samples.size();
  const size_t start = out->size();
  bool constant = true;
  for (uint8_t s : samples) constant = constant && s == samples[0];
  // Header: fixed block size, then the block size code and 8000 Hz, mono, 8 bits per sample. A
  // block of one value gives a frame of ten bytes, which decoders take for too short to be
  // one: its block size is written out in two bytes.
  const uint8_t size_code = n == kFlacBlock && !constant ? 0xC : n <= 256 && !constant ? 0x6 : 0x7;
  out->insert(out->end(), {0xFF, 0xF8, uint8_t(size_code << 4 | 0x4), 0x02});
  PutFrameNumber(frame_number, out);
  if (size_code == 0x6) out->push_back(uint8_t(n - 1));
  if (size_code == 0x7) out->insert(out->end(), {uint8_t((n - 1) >> 8), uint8_t(n - 1)});
  out->push_back(Crc8(out->data() + start, out->size() - start));
  // One subframe, signed samples.
  if (constant) {
    out->insert(out->end(), {0x00, uint8_t(samples[0] ^ 0x80)});
  } else {
    out->push_back(0x02);
    for (uint8_t s : samples) out->push_back(uint8_t(s ^ 0x80));
  }
  const uint16_t crc = Crc16(out->data() + start, out->size() - start);
  out->insert(out->end(), {uint8_t(crc >> 8), uint8_t(crc)});
}

std::array<uint8_t, 34> FlacStreamInfo(uint64_t total_samples) {
  std::array<uint8_t, 34> b{};  // frame sizes unknown (0), no checksum of the sound (0)
  b[0] = b[2] = uint8_t(kFlacBlock >> 8);
  b[1] = b[3] = uint8_t(kFlacBlock);
  // 20 bits of sample rate (8000), 3 of channels - 1 (0), 5 of bits per sample - 1 (7), 36 of
  // total samples.
  b[10] = 0x01;
  b[11] = 0xF4;
  b[12] = 0x00;
  b[13] = uint8_t(0x70 | ((total_samples >> 32) & 0x0F));
  for (int k = 0; k < 4; ++k) b[14 + k] = uint8_t(total_samples >> (24 - 8 * k));
  return b;
}

}  // namespace vexlor::mp4
