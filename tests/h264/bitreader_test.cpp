// Bit reader: start code and emulation prevention removal, fixed-length and Exp-Golomb reads,
// and the RBSP end tests.
#include "bitstream/bitreader.h"

#include <gtest/gtest.h>

#include <vector>

#include "h264/frontend_streams.h"

namespace vexlor::h264 {
namespace {

std::vector<uint8_t> Rbsp(std::vector<uint8_t> bytes) {
  BitReader r;
  InitReader(&r, bytes.data(), static_cast<int32_t>(bytes.size()));
  return std::vector<uint8_t>(r.data, r.data + r.size);
}

TEST(BitReader, StartCodeAndEmulationPrevention) {
  EXPECT_EQ(Rbsp({0, 0, 1, 0x65, 0x11}), (std::vector<uint8_t>{0x65, 0x11}));
  EXPECT_EQ(Rbsp({0, 0, 0, 1, 0x65, 0x11}), (std::vector<uint8_t>{0x65, 0x11}));
  EXPECT_EQ(Rbsp({0, 1, 0x65}), (std::vector<uint8_t>{0, 1, 0x65}));  // not a start code
  EXPECT_EQ(Rbsp({0x65, 0x11}), (std::vector<uint8_t>{0x65, 0x11}));
  EXPECT_EQ(Rbsp({0, 0, 0, 0}), (std::vector<uint8_t>{}));
  EXPECT_EQ(Rbsp({0x65, 0, 0, 3, 1, 0x80}), (std::vector<uint8_t>{0x65, 0, 0, 1, 0x80}));
  EXPECT_EQ(Rbsp({0x65, 0, 0, 3, 3, 0x80}), (std::vector<uint8_t>{0x65, 0, 0, 3, 0x80}));
  EXPECT_EQ(Rbsp({0x65, 0, 0, 3, 0, 0, 3, 0x80}), (std::vector<uint8_t>{0x65, 0, 0, 0, 0, 0x80}));
  EXPECT_EQ(Rbsp({0x65, 0, 0, 0, 3, 0x80}), (std::vector<uint8_t>{0x65, 0, 0, 0, 0x80}));
  // Trailing zero bytes belong to the byte stream, not to the unit.
  EXPECT_EQ(Rbsp({0x65, 0x80, 0, 0}), (std::vector<uint8_t>{0x65, 0x80}));
  // The caller's bytes are left as they were.
  std::vector<uint8_t> in = {0, 0, 1, 0x65, 0, 0, 3, 1};
  const std::vector<uint8_t> copy = in;
  BitReader r;
  InitReader(&r, in.data(), static_cast<int32_t>(in.size()));
  EXPECT_EQ(in, copy);
}

TEST(BitReader, RoundTripsWrittenCodes) {
  testing::Bits b;
  const uint32_t ues[] = {0, 1, 2, 3, 7, 8, 254, 255, 1000, 65534, 65535};
  const int32_t ses[] = {0, 1, -1, 2, -2, 100, -100, 32767, -32767};
  for (uint32_t v : ues) b.Ue(v);
  for (int32_t v : ses) b.Se(v);
  b.U(5, 21);
  b.U(32, 0xDEADBEEF);
  b.U(0, 0);
  b.Trailing();
  const std::vector<uint8_t> bytes = testing::Nal(0, 1, b.bytes());
  BitReader r;
  InitReader(&r, bytes.data(), static_cast<int32_t>(bytes.size()));
  uint8_t header = 0;
  ASSERT_EQ(ReadByte(&r, &header), 0);
  for (uint32_t v : ues) EXPECT_EQ(ReadUe(&r), v);
  for (int32_t v : ses) EXPECT_EQ(ReadSe(&r), v);
  EXPECT_EQ(ReadBits(&r, 5), 21u);
  EXPECT_EQ(ReadBits(&r, 32), 0xDEADBEEFu);
  EXPECT_EQ(ReadBits(&r, 0), 0u);
  EXPECT_EQ(MoreRbspData(&r), 0);
  EXPECT_EQ(r.error, 0);
  EXPECT_GE(CheckTrailingBits(&r), 1);
}

BitReader Reader(const std::vector<uint8_t>& rbsp, std::vector<uint8_t>* keep) {
  *keep = rbsp;
  BitReader r;
  InitReader(&r, keep->data(), static_cast<int32_t>(keep->size()));
  return r;
}

TEST(BitReader, ExpGolombLimits) {
  std::vector<uint8_t> keep;
  // Sixteen zeros, a one and sixteen zeros: 65535.
  BitReader r = Reader({0x00, 0x00, 0x80, 0x00, 0x00, 0x80}, &keep);
  EXPECT_EQ(ReadUe(&r), 65535u);
  EXPECT_EQ(r.error, 0);
  // Any other suffix after sixteen zeros is too long.
  r = Reader({0x00, 0x00, 0x80, 0x01, 0x00, 0x80}, &keep);
  EXPECT_EQ(ReadUe(&r), 0u);
  EXPECT_EQ(r.error, kReaderCodeTooLong);
  // Seventeen zeros.
  r = Reader({0x00, 0x00, 0x40, 0x00, 0x00, 0x80}, &keep);
  EXPECT_EQ(ReadUe(&r), 0u);
  EXPECT_EQ(r.error, kReaderCodeTooLong);
  // A prefix running off the end.
  r = Reader({0x00, 0x00}, &keep);
  EXPECT_EQ(ReadUe(&r), 0u);
  EXPECT_LT(r.error, 0);
  // The long form: 32 zeros, a one and 32 zeros is 2^32 - 1; 33 zeros are too long.
  r = Reader({0, 0, 0, 0, 0x80, 0, 0, 0, 0, 0x80}, &keep);
  EXPECT_EQ(ReadUeLong(&r), 0xFFFFFFFFu);
  EXPECT_EQ(r.error, 0);
  r = Reader({0, 0, 0, 0, 0x40, 0, 0, 0, 0, 0x80}, &keep);
  EXPECT_EQ(ReadUeLong(&r), 0u);
  EXPECT_EQ(r.error, kReaderCodeTooLong);
  // 31 zeros: 2^31 - 1 + suffix, and se(v) of the largest values.
  testing::Bits b;
  b.U(8, 0xFF);  // so that the zeros are not taken for a start code
  b.Ue(0xFFFFFFFEu);
  b.Ue(0x7FFFFFFFu);
  b.Trailing();
  r = Reader(b.bytes(), &keep);
  ReadBits(&r, 8);
  EXPECT_EQ(ReadUeLong(&r), 0xFFFFFFFEu);
  EXPECT_EQ(ReadSeLong(&r), 1073741824);
  EXPECT_EQ(r.error, 0);
}

TEST(BitReader, ReadsPastTheEnd) {
  std::vector<uint8_t> keep;
  BitReader r = Reader({0xAB, 0xC0}, &keep);
  ReadBits(&r, 6);
  EXPECT_EQ(ShowBits(&r, 16), 0xF000u);  // ten bits, then zeros
  EXPECT_EQ(ReadBits(&r, 16), 0u);
  EXPECT_EQ(r.error, kReaderPastEnd);
  EXPECT_EQ(BitsLeft(&r), 10);  // nothing consumed
  EXPECT_EQ(SkipBits(&r, 11), kReaderPastEnd);
}

TEST(BitReader, EndOfRbspTests) {
  std::vector<uint8_t> keep;
  BitReader r = Reader({0x80}, &keep);
  EXPECT_EQ(MoreRbspData(&r), 0);
  EXPECT_EQ(CheckTrailingBits(&r), 8);
  r = Reader({0x81}, &keep);
  EXPECT_EQ(MoreRbspData(&r), 1);
  r = Reader({0xC0}, &keep);
  EXPECT_EQ(MoreRbspData(&r), 1);
  EXPECT_EQ(CheckTrailingBits(&r), kReaderBadTrailingBits);
  // The stop bit followed by zero bytes: the zero bytes are not data.
  r = Reader({0x55, 0x80, 0x00, 0x00}, &keep);
  ReadBits(&r, 8);
  EXPECT_EQ(MoreRbspData(&r), 0);
  // ReadByte drops the bits up to the byte boundary.
  r = Reader({0xE0, 0x42, 0x80}, &keep);
  ReadBits(&r, 3);
  uint8_t byte = 0;
  EXPECT_EQ(ReadByte(&r, &byte), 0);
  EXPECT_EQ(byte, 0x42);
  EXPECT_EQ(ReadByte(&r, &byte), 0);
  EXPECT_EQ(ReadByte(&r, &byte), 1);
}

TEST(BitReader, RangeTestedReads) {
  testing::Bits b;
  b.Ue(31);
  b.Ue(32);
  b.Se(-13);
  b.Trailing();
  std::vector<uint8_t> keep;
  BitReader r = Reader(b.bytes(), &keep);
  int32_t v = 0;
  EXPECT_EQ(ReadUeMax(&r, 31, &v), 0);
  EXPECT_EQ(ReadUeMax(&r, 31, &v), -2);
  EXPECT_EQ(v, 32);  // stored even when out of range
  EXPECT_EQ(ReadSeRange(&r, -12, 12, &v), -2);
  EXPECT_EQ(v, -13);
  EXPECT_EQ(ReadU(&r, 16, &v), -1);
}

}  // namespace
}  // namespace vexlor::h264
