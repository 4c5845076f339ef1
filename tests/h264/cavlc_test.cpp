// CAVLC residual decoding: the code tables against H.264 Tables 9-5, 9-7, 9-8, 9-9a and 9-10,
// rejection of bit patterns that are not codes, levels with escapes, and round trips of random
// blocks through an encoder written from clause 9.2.
#include "syntax/cavlc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "mb_bits.h"

namespace vexlor::h264 {
namespace {

using testing_bits::Attach;
using testing_bits::Bits;

// Table 9-5 as printed: TrailingOnes, TotalCoeff, then the codes for 0<=nC<2, 2<=nC<4, 4<=nC<8,
// 8<=nC, nC=-1 ("" where the table has none).
struct TokenRow {
  int t1, tc;
  const char* code[5];
};
const TokenRow kTable9_5[] = {
    {0, 0, {"1", "11", "1111", "0000 11", "01"}},
    {0, 1, {"0001 01", "0010 11", "0011 11", "0000 00", "0001 11"}},
    {1, 1, {"01", "10", "1110", "0000 01", "1"}},
    {0, 2, {"0000 0111", "0001 11", "0010 11", "0001 00", "0001 00"}},
    {1, 2, {"0001 00", "0011 1", "0111 1", "0001 01", "0001 10"}},
    {2, 2, {"001", "011", "1101", "0001 10", "001"}},
    {0, 3, {"0000 0011 1", "0000 111", "0010 00", "0010 00", "0000 11"}},
    {1, 3, {"0000 0110", "0010 10", "0110 0", "0010 01", "0000 011"}},
    {2, 3, {"0000 101", "0010 01", "0111 0", "0010 10", "0000 010"}},
    {3, 3, {"0001 1", "0101", "1100", "0010 11", "0001 01"}},
    {0, 4, {"0000 0001 11", "0000 0111", "0001 111", "0011 00", "0000 10"}},
    {1, 4, {"0000 0011 0", "0001 10", "0101 0", "0011 01", "0000 0011"}},
    {2, 4, {"0000 0101", "0001 01", "0101 1", "0011 10", "0000 0010"}},
    {3, 4, {"0000 11", "0100", "1011", "0011 11", "0000 000"}},
    {0, 5, {"0000 0000 111", "0000 0100", "0001 011", "0100 00", ""}},
    {1, 5, {"0000 0001 10", "0000 110", "0100 0", "0100 01", ""}},
    {2, 5, {"0000 0010 1", "0000 101", "0100 1", "0100 10", ""}},
    {3, 5, {"0000 100", "0011 0", "1010", "0100 11", ""}},
    {0, 6, {"0000 0000 0111 1", "0000 0011 1", "0001 001", "0101 00", ""}},
    {1, 6, {"0000 0000 110", "0000 0110", "0011 10", "0101 01", ""}},
    {2, 6, {"0000 0001 01", "0000 0101", "0011 01", "0101 10", ""}},
    {3, 6, {"0000 0100", "0010 00", "1001", "0101 11", ""}},
    {0, 7, {"0000 0000 0101 1", "0000 0001 111", "0001 000", "0110 00", ""}},
    {1, 7, {"0000 0000 0111 0", "0000 0011 0", "0010 10", "0110 01", ""}},
    {2, 7, {"0000 0000 101", "0000 0010 1", "0010 01", "0110 10", ""}},
    {3, 7, {"0000 0010 0", "0001 00", "1000", "0110 11", ""}},
    {0, 8, {"0000 0000 0100 0", "0000 0001 011", "0000 1111", "0111 00", ""}},
    {1, 8, {"0000 0000 0101 0", "0000 0001 110", "0001 110", "0111 01", ""}},
    {2, 8, {"0000 0000 0110 1", "0000 0001 101", "0001 101", "0111 10", ""}},
    {3, 8, {"0000 0001 00", "0000 100", "0110 1", "0111 11", ""}},
    {0, 9, {"0000 0000 0011 11", "0000 0000 1111", "0000 1011", "1000 00", ""}},
    {1, 9, {"0000 0000 0011 10", "0000 0001 010", "0000 1110", "1000 01", ""}},
    {2, 9, {"0000 0000 0100 1", "0000 0001 001", "0001 010", "1000 10", ""}},
    {3, 9, {"0000 0000 100", "0000 0010 0", "0011 00", "1000 11", ""}},
    {0, 10, {"0000 0000 0010 11", "0000 0000 1011", "0000 0111 1", "1001 00", ""}},
    {1, 10, {"0000 0000 0010 10", "0000 0000 1110", "0000 1010", "1001 01", ""}},
    {2, 10, {"0000 0000 0011 01", "0000 0000 1101", "0000 1101", "1001 10", ""}},
    {3, 10, {"0000 0000 0110 0", "0000 0001 100", "0001 100", "1001 11", ""}},
    {0, 11, {"0000 0000 0001 111", "0000 0000 1000", "0000 0101 1", "1010 00", ""}},
    {1, 11, {"0000 0000 0001 110", "0000 0000 1010", "0000 0111 0", "1010 01", ""}},
    {2, 11, {"0000 0000 0010 01", "0000 0000 1001", "0000 1001", "1010 10", ""}},
    {3, 11, {"0000 0000 0011 00", "0000 0001 000", "0000 1100", "1010 11", ""}},
    {0, 12, {"0000 0000 0001 011", "0000 0000 0111 1", "0000 0100 0", "1011 00", ""}},
    {1, 12, {"0000 0000 0001 010", "0000 0000 0111 0", "0000 0101 0", "1011 01", ""}},
    {2, 12, {"0000 0000 0001 101", "0000 0000 0110 1", "0000 0110 1", "1011 10", ""}},
    {3, 12, {"0000 0000 0010 00", "0000 0000 1100", "0000 1000", "1011 11", ""}},
    {0, 13, {"0000 0000 0000 1111", "0000 0000 0101 1", "0000 0011 01", "1100 00", ""}},
    {1, 13, {"0000 0000 0000 001", "0000 0000 0101 0", "0000 0011 1", "1100 01", ""}},
    {2, 13, {"0000 0000 0001 001", "0000 0000 0100 1", "0000 0100 1", "1100 10", ""}},
    {3, 13, {"0000 0000 0001 100", "0000 0000 0110 0", "0000 0110 0", "1100 11", ""}},
    {0, 14, {"0000 0000 0000 1011", "0000 0000 0011 1", "0000 0010 01", "1101 00", ""}},
    {1, 14, {"0000 0000 0000 1110", "0000 0000 0010 11", "0000 0011 00", "1101 01", ""}},
    {2, 14, {"0000 0000 0000 1101", "0000 0000 0011 0", "0000 0010 11", "1101 10", ""}},
    {3, 14, {"0000 0000 0001 000", "0000 0000 0100 0", "0000 0010 10", "1101 11", ""}},
    {0, 15, {"0000 0000 0000 0111", "0000 0000 0010 01", "0000 0001 01", "1110 00", ""}},
    {1, 15, {"0000 0000 0000 1010", "0000 0000 0010 00", "0000 0010 00", "1110 01", ""}},
    {2, 15, {"0000 0000 0000 1001", "0000 0000 0010 10", "0000 0001 11", "1110 10", ""}},
    {3, 15, {"0000 0000 0000 1100", "0000 0000 0000 1", "0000 0001 10", "1110 11", ""}},
    {0, 16, {"0000 0000 0000 0100", "0000 0000 0001 11", "0000 0000 01", "1111 00", ""}},
    {1, 16, {"0000 0000 0000 0110", "0000 0000 0001 10", "0000 0001 00", "1111 01", ""}},
    {2, 16, {"0000 0000 0000 0101", "0000 0000 0001 01", "0000 0000 11", "1111 10", ""}},
    {3, 16, {"0000 0000 0000 1000", "0000 0000 0001 00", "0000 0000 10", "1111 11", ""}},
};

// Tables 9-7/9-8 (total_zeros by TotalCoeff 1..15), 9-9a (chroma DC, TotalCoeff 1..3) and 9-10
// (run_before by zerosLeft 1..6, >6): [row][value] codes.
const std::vector<std::vector<std::string>> kTotalZeros = {
    {"1", "011", "010", "0011", "0010", "0001 1", "0001 0", "0000 11", "0000 10", "0000 011",
     "0000 010", "0000 0011", "0000 0010", "0000 0001 1", "0000 0001 0", "0000 0000 1"},
    {"111", "110", "101", "100", "011", "0101", "0100", "0011", "0010", "0001 1", "0001 0",
     "0000 11", "0000 10", "0000 01", "0000 00"},
    {"0101", "111", "110", "101", "0100", "0011", "100", "011", "0010", "0001 1", "0001 0",
     "0000 01", "0000 1", "0000 00"},
    {"0001 1", "111", "0101", "0100", "110", "101", "100", "0011", "011", "0010", "0001 0",
     "0000 1", "0000 0"},
    {"0101", "0100", "0011", "111", "110", "101", "100", "011", "0010", "0000 1", "0001", "0000 0"},
    {"0000 01", "0000 1", "111", "110", "101", "100", "011", "010", "0001", "001", "0000 00"},
    {"0000 01", "0000 1", "101", "100", "011", "11", "010", "0001", "001", "0000 00"},
    {"0000 01", "0001", "0000 1", "011", "11", "10", "010", "001", "0000 00"},
    {"0000 01", "0000 00", "0001", "11", "10", "001", "01", "0000 1"},
    {"0000 1", "0000 0", "001", "11", "10", "01", "0001"},
    {"0000", "0001", "001", "010", "1", "011"},
    {"0000", "0001", "01", "1", "001"},
    {"000", "001", "1", "01"},
    {"00", "01", "1"},
    {"0", "1"},
};
const std::vector<std::vector<std::string>> kTotalZerosDc = {
    {"1", "01", "001", "000"}, {"1", "01", "00"}, {"1", "0"}};
const std::vector<std::vector<std::string>> kRunBefore = {
    {"1", "0"},
    {"1", "01", "00"},
    {"11", "10", "01", "00"},
    {"11", "10", "01", "001", "000"},
    {"11", "10", "011", "010", "001", "000"},
    {"11", "000", "001", "011", "010", "101", "100"},
    {"111", "110", "101", "100", "011", "010", "001", "0001", "00001", "000001", "0000001",
     "00000001", "000000001", "0000000001", "00000000001"},
};

int ColumnOf(int nC) {
  return nC < 0 ? 4 : nC < 2 ? 0 : nC < 4 ? 1 : nC < 8 ? 2 : 3;
}

const char* TokenCode(int nC, int tc, int t1) {
  for (const TokenRow& row : kTable9_5) {
    if (row.tc == tc && row.t1 == t1) return row.code[ColumnOf(nC)];
  }
  return "";
}

// residual_block_cavlc() written out from clause 9.2 in the encoding direction. list holds the
// maxNumCoeff levels in coding order.
void EncodeBlock(Bits* b, const std::vector<int>& list, int nC) {
  const int maxNum = static_cast<int>(list.size());
  std::vector<int> levels;  // highest frequency first
  std::vector<int> positions;
  for (int i = maxNum - 1; i >= 0; --i) {
    if (list[i] != 0) {
      levels.push_back(list[i]);
      positions.push_back(i);
    }
  }
  const int tc = static_cast<int>(levels.size());
  int t1 = 0;
  while (t1 < tc && t1 < 3 && (levels[t1] == 1 || levels[t1] == -1)) ++t1;
  b->Put(TokenCode(nC, tc, t1));
  if (tc == 0) return;
  for (int i = 0; i < t1; ++i) b->U(levels[i] < 0 ? 1 : 0, 1);
  int suffixLength = (tc > 10 && t1 < 3) ? 1 : 0;
  for (int i = t1; i < tc; ++i) {
    const int level = levels[i];
    int levelCode = level > 0 ? 2 * level - 2 : -2 * level - 1;
    if (i == t1 && t1 < 3) levelCode -= 2;
    if (suffixLength == 0) {
      if (levelCode < 14) {
        b->U(1, levelCode + 1);
      } else if (levelCode < 30) {
        b->U(1, 15).U(levelCode - 14, 4);
      } else {
        b->U(1, 16).U(levelCode - 30, 12);
      }
    } else if (levelCode < (15 << suffixLength)) {
      b->U(1, (levelCode >> suffixLength) + 1)
          .U(levelCode & ((1 << suffixLength) - 1), suffixLength);
    } else {
      b->U(1, 16).U(levelCode - (15 << suffixLength), 12);
    }
    if (suffixLength == 0) suffixLength = 1;
    if (std::abs(level) > (3 << (suffixLength - 1)) && suffixLength < 6) ++suffixLength;
  }
  int zerosLeft = positions[0] + 1 - tc;
  if (tc < maxNum) {
    b->Put(nC < 0 ? kTotalZerosDc[tc - 1][zerosLeft] : kTotalZeros[tc - 1][zerosLeft]);
  }
  for (int i = 0; i < tc - 1 && zerosLeft > 0; ++i) {
    const int run = positions[i] - positions[i + 1] - 1;
    b->Put(kRunBefore[std::min(zerosLeft, 7) - 1][run]);
    zerosLeft -= run;
  }
}

// Decodes one 4x4 block whose nC is forced through the context entries.
int DecodeWithNc(const Bits& bits, int nC, int startIdx, int32_t* out, BitReader* r) {
  Attach(r, bits);
  uint8_t top = static_cast<uint8_t>(nC), left = static_cast<uint8_t>(nC);
  std::memset(out, 0, 16 * sizeof(int32_t));
  return ParseResidualBlock(r, out, 1, 1, &top, &left, 0, startIdx);
}

TEST(CavlcTables, EveryCoeffTokenDecodes) {
  const int kNc[4] = {0, 2, 4, 8};
  for (const TokenRow& row : kTable9_5) {
    for (int col = 0; col < 5; ++col) {
      if (row.code[col][0] == '\0') continue;
      // Follow the token with trailing-one signs (+) and levels so that the block is complete:
      // encode a block with exactly this TotalCoeff / TrailingOnes.
      std::vector<int> list(col == 4 ? 4 : 16, 0);
      for (int i = 0; i < row.tc; ++i) list[i] = i < row.tc - row.t1 ? 5 : 1;
      const int nC = col == 4 ? -1 : kNc[col];
      Bits b;
      EncodeBlock(&b, list, nC);
      ASSERT_EQ(b.s.substr(0, Bits().Put(row.code[col]).s.size()), Bits().Put(row.code[col]).s);
      b.Put("1");
      BitReader r;
      int32_t out[16];
      int tc;
      if (col == 4) {
        Attach(&r, b);
        tc = ParseChromaDcBlock(&r, out);
      } else {
        tc = DecodeWithNc(b, nC, 0, out, &r);
      }
      ASSERT_EQ(tc, row.tc) << "column " << col << " code " << row.code[col];
      EXPECT_EQ(r.bitPos, b.s.size() - 1);
      const int n = col == 4 ? 4 : 16;
      for (int i = 0; i < n; ++i) {
        EXPECT_EQ(out[col == 4 ? i : kZigzag4x4[i]], list[i])
            << "column " << col << " tc " << row.tc;
      }
    }
  }
}

// Every 16-bit pattern that does not start with a code of the column is rejected without
// consuming anything.
TEST(CavlcTables, PatternsThatAreNotCoeffTokensAreRejected) {
  const int kNc[4] = {0, 2, 4, 8};
  for (int col = 0; col < 5; ++col) {
    std::vector<std::string> codes;
    for (const TokenRow& row : kTable9_5) {
      if (row.code[col][0]) codes.push_back(Bits().Put(row.code[col]).s);
    }
    int rejected = 0;
    for (uint32_t v = 0; v < 65536; ++v) {
      Bits b;
      b.U(v, 16).Put("1");
      bool isCode = false;
      for (const std::string& c : codes) isCode |= b.s.compare(0, c.size(), c) == 0;
      if (isCode) continue;
      ++rejected;
      BitReader r;
      int32_t out[16];
      int tc;
      if (col == 4) {
        Attach(&r, b);
        tc = ParseChromaDcBlock(&r, out);
      } else {
        tc = DecodeWithNc(b, kNc[col], 0, out, &r);
      }
      ASSERT_EQ(tc, -1) << "column " << col << " pattern " << b.s;
      EXPECT_EQ(r.bitPos, 0u);
    }
    // Table 9-5 leaves one pattern per variable-length column unused (15, 13 and 10 zero bits),
    // and two 6-bit codes of the fixed-length column; the chroma DC column is complete.
    const int expected[5] = {2, 8, 64, 2 * 1024, 0};
    EXPECT_EQ(rejected, expected[col]) << "column " << col;
  }
}

TEST(CavlcTables, EveryTotalZerosAndRunBeforeCodeDecodes) {
  // For each TotalCoeff and total_zeros, a block of TotalCoeff levels of 2 with all zeros below
  // the lowest level... and for run_before, blocks whose runs walk each table row.
  for (int tc = 1; tc <= 15; ++tc) {
    for (int tz = 0; tz + tc <= 16; ++tz) {
      std::vector<int> list(16, 0);
      // Levels at the top tc positions below tc + tz, zeros at the bottom.
      for (int i = 0; i < tc; ++i) list[tz + i] = 2;
      Bits b;
      EncodeBlock(&b, list, 0);
      b.Put("1");
      BitReader r;
      int32_t out[16];
      ASSERT_EQ(DecodeWithNc(b, 0, 0, out, &r), tc) << tc << " " << tz;
      for (int i = 0; i < 16; ++i) ASSERT_EQ(out[kZigzag4x4[i]], list[i]) << tc << " " << tz;
    }
  }
  // run_before: two levels with every gap for each zerosLeft row.
  for (int tz = 1; tz <= 14; ++tz) {
    for (int run = 0; run <= tz; ++run) {
      std::vector<int> list(16, 0);
      list[tz + 1] = 3;     // highest frequency level
      list[tz - run] = -4;  // run zeros between the two levels
      Bits b;
      EncodeBlock(&b, list, 0);
      b.Put("1");
      BitReader r;
      int32_t out[16];
      ASSERT_EQ(DecodeWithNc(b, 0, 0, out, &r), 2);
      for (int i = 0; i < 16; ++i) ASSERT_EQ(out[kZigzag4x4[i]], list[i]) << tz << " " << run;
    }
  }
  // Chroma DC total_zeros.
  for (int tc = 1; tc <= 4; ++tc) {
    for (int tz = 0; tz + tc <= 4; ++tz) {
      std::vector<int> list(4, 0);
      for (int i = 0; i < tc; ++i) list[tz + i] = -1;
      Bits b;
      EncodeBlock(&b, list, -1);
      b.Put("1");
      BitReader r;
      Attach(&r, b);
      int32_t out[4];
      ASSERT_EQ(ParseChromaDcBlock(&r, out), tc);
      for (int i = 0; i < 4; ++i) EXPECT_EQ(out[i], list[i]);
    }
  }
}

TEST(CavlcBlocks, RandomBlocksRoundTrip) {
  std::mt19937 rng(12345);
  for (int iter = 0; iter < 20000; ++iter) {
    const int kind = iter % 3;  // 0 whole block, 1 AC block, 2 chroma DC
    const int maxNum = kind == 0 ? 16 : kind == 1 ? 15 : 4;
    std::vector<int> list(maxNum, 0);
    const int density = rng() % 100;
    const int scale = std::array<int, 5>{1, 2, 8, 100, 2000}[rng() % 5];
    for (int& v : list) {
      if (static_cast<int>(rng() % 100) < density) {
        v = static_cast<int>(rng() % (2 * scale + 1)) - scale;
      }
    }
    const int nC = kind == 2 ? -1 : std::array<int, 8>{0, 1, 2, 3, 4, 7, 8, 16}[rng() % 8];
    Bits b;
    EncodeBlock(&b, list, nC);
    const size_t blockBits = b.s.size();
    b.Put("1");
    // Half of the blocks are followed by more data than any block needs, so that both the
    // decoding near the end of the data and the one well inside it are exercised.
    if (iter % 2) b.Put(std::string(1100, '1'));
    BitReader r;
    int32_t out[16] = {};
    int tc;
    if (kind == 2) {
      Attach(&r, b);
      tc = ParseChromaDcBlock(&r, out);
    } else {
      tc = DecodeWithNc(b, nC, kind == 1 ? 1 : 0, out, &r);
    }
    int expectTc = 0;
    for (int v : list) expectTc += v != 0;
    ASSERT_EQ(tc, expectTc) << "iteration " << iter;
    ASSERT_EQ(r.bitPos, blockBits) << "iteration " << iter;
    for (int i = 0; i < maxNum; ++i) {
      const int at = kind == 2 ? i : kZigzag4x4[i + (kind == 1 ? 1 : 0)];
      ASSERT_EQ(out[at], list[i]) << "iteration " << iter << " position " << i;
    }
    if (kind == 1) {
      ASSERT_EQ(out[0], 0);
    }
  }
}

TEST(CavlcBlocks, LevelCodes) {
  BitReader r;
  // suffixLength 0: prefix p < 14 alternates +1, -1, +2, ...
  Attach(&r, Bits().Put("1 01 001 0001 1"));
  EXPECT_EQ(ReadLevelSuffix0(&r), 1);
  EXPECT_EQ(ReadLevelSuffix0(&r), -1);
  EXPECT_EQ(ReadLevelSuffix0(&r), 2);
  EXPECT_EQ(ReadLevelSuffix0(&r), -2);
  // prefix 14 with the 4-bit suffix 0001: -8; prefix 15 with a 12-bit suffix s: 16 + s/2.
  Attach(&r, Bits().U(1, 15).Put("0001").U(1, 16).U(6, 12).U(1, 16).U(4095, 12).Put("1"));
  EXPECT_EQ(ReadLevelSuffix0(&r), -8);
  EXPECT_EQ(ReadLevelSuffix0(&r), 19);
  EXPECT_EQ(ReadLevelSuffix0(&r), -(16 + 2047));
  // suffixLength 3: prefix 2, suffix 101 -> (2 << 2) + 2 + 1 = 11, negative.
  Attach(&r, Bits().Put("001 101").U(1, 16).U(0, 12).Put("1"));
  EXPECT_EQ(ReadLevelSuffixN(&r, 3), -11);
  EXPECT_EQ(ReadLevelSuffixN(&r, 3), (15 << 2) + 1);
  EXPECT_EQ(r.error, 0);
  // A prefix of 16 zeros is too long for these profiles.
  Attach(&r, Bits().U(1, 17).U(0, 12).Put("1"));
  ReadLevelSuffixN(&r, 2);
  EXPECT_EQ(r.error, kReaderCodeTooLong);

  // The first non-trailing level after fewer than three trailing ones is one larger: a block of
  // one level coded as prefix 0 is +2.
  int32_t out[16];
  EXPECT_EQ(DecodeWithNc(Bits().Put("0001 01").Put("1").Put("1").Put("1"), 0, 0, out, &r), 1);
  EXPECT_EQ(out[0], 2);
}

TEST(CavlcBlocks, BlocksThatDoNotFitAreRejected) {
  BitReader r;
  int32_t out[16];
  // TotalCoeff 16 in an AC block (15 positions).
  {
    std::vector<int> list(16, 7);
    Bits b;
    EncodeBlock(&b, list, 0);
    b.Put("1");
    EXPECT_EQ(DecodeWithNc(b, 0, 1, out, &r), -1);
  }
  // TotalCoeff 1 + total_zeros 15 in an AC block.
  EXPECT_EQ(DecodeWithNc(Bits().Put("01 0 0000 0000 1 1"), 0, 1, out, &r), -1);
  // The same in a whole block is fine (level at position 15).
  EXPECT_EQ(DecodeWithNc(Bits().Put("01 0 0000 0000 1 1"), 0, 0, out, &r), 1);
  EXPECT_EQ(out[15], 1);
  // total_zeros of TotalCoeff 1: nine zero bits are not a code.
  EXPECT_EQ(DecodeWithNc(Bits().Put("01 0 0000 0000 0 1"), 0, 0, out, &r), -1);
  // run_before with zerosLeft > 6: eleven zero bits, and a run above zerosLeft.
  // TotalCoeff 2, TrailingOnes 2 (nC 0: "001"), signs, total_zeros 7 (TotalCoeff 2: "0011").
  EXPECT_EQ(DecodeWithNc(Bits().Put("001 00 0011 0000 0000 000 1"), 0, 0, out, &r), -1);
  EXPECT_EQ(DecodeWithNc(Bits().Put("001 00 0011 0000 0001 1"), 0, 0, out, &r), -1);  // run 11
  EXPECT_EQ(DecodeWithNc(Bits().Put("001 00 0011 0001 1"), 0, 0, out, &r), 2);        // run 7
  EXPECT_EQ(out[kZigzag4x4[8]], 1);
  EXPECT_EQ(out[kZigzag4x4[0]], 1);
  // Data that ends inside a block.
  Attach(&r, Bits().Put("0000 0000 0000 1111"));  // TotalCoeff 13, nothing follows
  uint8_t t = 0, l = 0;
  std::memset(out, 0, sizeof(out));
  EXPECT_EQ(ParseResidualBlock(&r, out, 0, 0, &t, &l, 0, 0), -1);
  EXPECT_LT(r.error, 0);
}

TEST(CavlcBlocks, ContextSelection) {
  // nC from the left and top entries: averaged when both are available (by position or by the
  // neighbour flags), one alone otherwise, 0 with neither. Ones only: TotalCoeff 0 is "1" for
  // nC < 2, "11" for 2 <= nC < 4 and "1111" for 4 <= nC < 8, so the bits used tell the column.
  BitReader r;
  int32_t out[16];
  auto bitsFor = [&](int x, int y, int top, int left, int flags) {
    Attach(&r, Bits().Put("1111 1111"));
    uint8_t t = static_cast<uint8_t>(top), l = static_cast<uint8_t>(left);
    std::memset(out, 0, sizeof(out));
    EXPECT_EQ(ParseResidualBlock(&r, out, x, y, &t, &l, flags, 0), 0);
    EXPECT_EQ(t, 0);
    EXPECT_EQ(l, 0);
    return static_cast<int>(r.bitPos);
  };
  EXPECT_EQ(bitsFor(0, 0, 3, 5, 0), 1);                         // neither: nC 0
  EXPECT_EQ(bitsFor(0, 0, 3, 5, kAvailAbove), 2);               // top only: 3
  EXPECT_EQ(bitsFor(0, 0, 3, 5, kAvailLeft), 4);                // left only: 5
  EXPECT_EQ(bitsFor(0, 0, 3, 7, kAvailLeft | kAvailAbove), 4);  // (3 + 7 + 1) >> 1 = 5
  EXPECT_EQ(bitsFor(1, 0, 9, 2, 0), 2);                         // left by position
  EXPECT_EQ(bitsFor(0, 1, 2, 9, 0), 2);                         // top by position
  EXPECT_EQ(bitsFor(1, 1, 1, 2, 0), 2);                         // (1 + 2 + 1) >> 1 = 2
  EXPECT_EQ(bitsFor(1, 1, 1, 1, 0), 1);                         // (1 + 1 + 1) >> 1 = 1
  // For nC >= 8, 000011 means no coefficients.
  Attach(&r, Bits().Put("0000 11 1"));
  uint8_t t = 8, l = 8;
  EXPECT_EQ(ParseResidualBlock(&r, out, 1, 1, &t, &l, 0, 0), 0);
  EXPECT_EQ(r.bitPos, 6u);
}

}  // namespace
}  // namespace vexlor::h264
