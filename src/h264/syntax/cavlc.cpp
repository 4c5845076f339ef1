// CAVLC residual decoding (H.264 clause 9.2).
//
// Every variable-length code is resolved without bit loops: the next 32 bits are peeked, the
// leading zeros counted, and one lookup in a table built (at compile time) from the code lists of
// H.264 Tables 9-5, 9-7, 9-8, 9-9a and 9-10 gives the code length and the value. Bit patterns that
// are not codes of those tables look up as 0 and fail the block.
#include "syntax/cavlc.h"

#include <cstring>

namespace vexlor::h264 {

const uint8_t kZigzag4x4[16] = {0, 1, 4, 8, 5, 2, 3, 6, 9, 12, 13, 10, 7, 11, 14, 15};

namespace {

// ---- Code lists -------------------------------------------------------------------------

// H.264 Table 9-5, coeff_token: TrailingOnes, TotalCoeff and the codes for 0 <= nC < 2,
// 2 <= nC < 4, 4 <= nC < 8 and nC = -1 (null where the table has no entry). The codes for
// 8 <= nC are the 6-bit fixed-length codes built in BuildTables.
struct CoeffTokenRow {
  uint8_t trailingOnes;
  uint8_t totalCoeff;
  const char* code[4];
};

constexpr CoeffTokenRow Table9_5[] = {
    {0, 0, {"1", "11", "1111", "01"}},
    {0, 1, {"0001 01", "0010 11", "0011 11", "0001 11"}},
    {1, 1, {"01", "10", "1110", "1"}},
    {0, 2, {"0000 0111", "0001 11", "0010 11", "0001 00"}},
    {1, 2, {"0001 00", "0011 1", "0111 1", "0001 10"}},
    {2, 2, {"001", "011", "1101", "001"}},
    {0, 3, {"0000 0011 1", "0000 111", "0010 00", "0000 11"}},
    {1, 3, {"0000 0110", "0010 10", "0110 0", "0000 011"}},
    {2, 3, {"0000 101", "0010 01", "0111 0", "0000 010"}},
    {3, 3, {"0001 1", "0101", "1100", "0001 01"}},
    {0, 4, {"0000 0001 11", "0000 0111", "0001 111", "0000 10"}},
    {1, 4, {"0000 0011 0", "0001 10", "0101 0", "0000 0011"}},
    {2, 4, {"0000 0101", "0001 01", "0101 1", "0000 0010"}},
    {3, 4, {"0000 11", "0100", "1011", "0000 000"}},
    {0, 5, {"0000 0000 111", "0000 0100", "0001 011", nullptr}},
    {1, 5, {"0000 0001 10", "0000 110", "0100 0", nullptr}},
    {2, 5, {"0000 0010 1", "0000 101", "0100 1", nullptr}},
    {3, 5, {"0000 100", "0011 0", "1010", nullptr}},
    {0, 6, {"0000 0000 0111 1", "0000 0011 1", "0001 001", nullptr}},
    {1, 6, {"0000 0000 110", "0000 0110", "0011 10", nullptr}},
    {2, 6, {"0000 0001 01", "0000 0101", "0011 01", nullptr}},
    {3, 6, {"0000 0100", "0010 00", "1001", nullptr}},
    {0, 7, {"0000 0000 0101 1", "0000 0001 111", "0001 000", nullptr}},
    {1, 7, {"0000 0000 0111 0", "0000 0011 0", "0010 10", nullptr}},
    {2, 7, {"0000 0000 101", "0000 0010 1", "0010 01", nullptr}},
    {3, 7, {"0000 0010 0", "0001 00", "1000", nullptr}},
    {0, 8, {"0000 0000 0100 0", "0000 0001 011", "0000 1111", nullptr}},
    {1, 8, {"0000 0000 0101 0", "0000 0001 110", "0001 110", nullptr}},
    {2, 8, {"0000 0000 0110 1", "0000 0001 101", "0001 101", nullptr}},
    {3, 8, {"0000 0001 00", "0000 100", "0110 1", nullptr}},
    {0, 9, {"0000 0000 0011 11", "0000 0000 1111", "0000 1011", nullptr}},
    {1, 9, {"0000 0000 0011 10", "0000 0001 010", "0000 1110", nullptr}},
    {2, 9, {"0000 0000 0100 1", "0000 0001 001", "0001 010", nullptr}},
    {3, 9, {"0000 0000 100", "0000 0010 0", "0011 00", nullptr}},
    {0, 10, {"0000 0000 0010 11", "0000 0000 1011", "0000 0111 1", nullptr}},
    {1, 10, {"0000 0000 0010 10", "0000 0000 1110", "0000 1010", nullptr}},
    {2, 10, {"0000 0000 0011 01", "0000 0000 1101", "0000 1101", nullptr}},
    {3, 10, {"0000 0000 0110 0", "0000 0001 100", "0001 100", nullptr}},
    {0, 11, {"0000 0000 0001 111", "0000 0000 1000", "0000 0101 1", nullptr}},
    {1, 11, {"0000 0000 0001 110", "0000 0000 1010", "0000 0111 0", nullptr}},
    {2, 11, {"0000 0000 0010 01", "0000 0000 1001", "0000 1001", nullptr}},
    {3, 11, {"0000 0000 0011 00", "0000 0001 000", "0000 1100", nullptr}},
    {0, 12, {"0000 0000 0001 011", "0000 0000 0111 1", "0000 0100 0", nullptr}},
    {1, 12, {"0000 0000 0001 010", "0000 0000 0111 0", "0000 0101 0", nullptr}},
    {2, 12, {"0000 0000 0001 101", "0000 0000 0110 1", "0000 0110 1", nullptr}},
    {3, 12, {"0000 0000 0010 00", "0000 0000 1100", "0000 1000", nullptr}},
    {0, 13, {"0000 0000 0000 1111", "0000 0000 0101 1", "0000 0011 01", nullptr}},
    {1, 13, {"0000 0000 0000 001", "0000 0000 0101 0", "0000 0011 1", nullptr}},
    {2, 13, {"0000 0000 0001 001", "0000 0000 0100 1", "0000 0100 1", nullptr}},
    {3, 13, {"0000 0000 0001 100", "0000 0000 0110 0", "0000 0110 0", nullptr}},
    {0, 14, {"0000 0000 0000 1011", "0000 0000 0011 1", "0000 0010 01", nullptr}},
    {1, 14, {"0000 0000 0000 1110", "0000 0000 0010 11", "0000 0011 00", nullptr}},
    {2, 14, {"0000 0000 0000 1101", "0000 0000 0011 0", "0000 0010 11", nullptr}},
    {3, 14, {"0000 0000 0001 000", "0000 0000 0100 0", "0000 0010 10", nullptr}},
    {0, 15, {"0000 0000 0000 0111", "0000 0000 0010 01", "0000 0001 01", nullptr}},
    {1, 15, {"0000 0000 0000 1010", "0000 0000 0010 00", "0000 0010 00", nullptr}},
    {2, 15, {"0000 0000 0000 1001", "0000 0000 0010 10", "0000 0001 11", nullptr}},
    {3, 15, {"0000 0000 0000 1100", "0000 0000 0000 1", "0000 0001 10", nullptr}},
    {0, 16, {"0000 0000 0000 0100", "0000 0000 0001 11", "0000 0000 01", nullptr}},
    {1, 16, {"0000 0000 0000 0110", "0000 0000 0001 10", "0000 0001 00", nullptr}},
    {2, 16, {"0000 0000 0000 0101", "0000 0000 0001 01", "0000 0000 11", nullptr}},
    {3, 16, {"0000 0000 0000 1000", "0000 0000 0001 00", "0000 0000 10", nullptr}},
};

// H.264 Tables 9-7 and 9-8, total_zeros for 4x4 blocks: row tzVlcIndex - 1 (= TotalCoeff - 1),
// codes for total_zeros = 0, 1, ... in order.
constexpr const char* Table9_7_8[15] = {
    ("1 011 010 0011 0010 00011 00010 000011 000010 0000011 0000010 00000011 00000010 000000011 "
     "000000010 000000001"),
    "111 110 101 100 011 0101 0100 0011 0010 00011 00010 000011 000010 000001 000000",
    "0101 111 110 101 0100 0011 100 011 0010 00011 00010 000001 00001 000000",
    "00011 111 0101 0100 110 101 100 0011 011 0010 00010 00001 00000",
    "0101 0100 0011 111 110 101 100 011 0010 00001 0001 00000",
    "000001 00001 111 110 101 100 011 010 0001 001 000000",
    "000001 00001 101 100 011 11 010 0001 001 000000",
    "000001 0001 00001 011 11 10 010 001 000000",
    "000001 000000 0001 11 10 001 01 00001",
    "00001 00000 001 11 10 01 0001",
    "0000 0001 001 010 1 011",
    "0000 0001 01 1 001",
    "000 001 1 01",
    "00 01 1",
    "0 1",
};

// H.264 Table 9-9a, total_zeros for chroma DC 2x2 blocks, by TotalCoeff 1..3.
constexpr const char* Table9_9a[3] = {"1 01 001 000", "1 01 00", "1 0"};

// H.264 Table 9-10, run_before for zerosLeft 1..6 and > 6; codes for run_before = 0, 1, ...
constexpr const char* Table9_10[7] = {
    "1 0",
    "1 01 00",
    "11 10 01 00",
    "11 10 01 001 000",
    "11 10 011 010 001 000",
    "11 000 001 011 010 101 100",
    ("111 110 101 100 011 010 001 0001 00001 000001 0000001 00000001 000000001 0000000001 "
     "00000000001"),
};

// ---- Lookup tables ----------------------------------------------------------------------

// coeff_token entries: code length << 8 | TotalCoeff << 2 | TrailingOnes; 0 = not a code.
// nC 0..7: [column][leading zeros 0..15][the three bits after the first one bit].
constexpr int kTokenLz = 16;
// total_zeros entries: code length << 4 | total_zeros; 0 = not a code.
// [TotalCoeff - 1][leading zeros 0..9][the two bits after the first one bit].
constexpr int kTzLz = 10;

struct CavlcTables {
  uint16_t token[3][kTokenLz * 8];
  uint16_t tokenFlc[64];        // 8 <= nC: the 6 bits
  uint16_t tokenChromaDc[256];  // nC = -1: the next 8 bits
  uint8_t totalZeros[15][kTzLz * 4];
  uint8_t totalZerosDc[3][8];  // the next 3 bits
  uint8_t runBefore[7][8];     // the next 3 bits; 0 for the long codes of zerosLeft > 6
};

struct ParsedCode {
  int len = 0;
  int lz = 0;        // leading zero bits
  int restLen = -1;  // bits after the first one bit; -1 when the code is all zeros
  uint32_t rest = 0;
};

constexpr ParsedCode ParseCode(const char* s) {
  ParsedCode c;
  bool seenOne = false;
  for (; *s; ++s) {
    if (*s == ' ') continue;
    ++c.len;
    if (seenOne) {
      c.rest = c.rest << 1 | static_cast<uint32_t>(*s == '1');
      ++c.restLen;
    } else if (*s == '1') {
      seenOne = true;
      c.restLen = 0;
    } else {
      ++c.lz;
    }
  }
  return c;
}

// Splits a space-separated code list; returns the i-th code's start (codes have no inner spaces).
constexpr int NextCode(const char* s, int from, int* end) {
  while (s[from] == ' ') ++from;
  int e = from;
  while (s[e] && s[e] != ' ') ++e;
  *end = e;
  return from;
}

// Enters a code into a [leading zeros][suffixBits bits after the one] table.
template <typename T>
constexpr void AddLzCode(T* table, int maxLz, int suffixBits, const ParsedCode& c, T value) {
  const int rows = 1 << suffixBits;
  if (c.restLen < 0) {  // all zeros: any longer run of zeros
    for (int lz = c.len; lz < maxLz; ++lz) {
      for (int s = 0; s < rows; ++s) table[lz * rows + s] = value;
    }
    return;
  }
  const int free = suffixBits - c.restLen;
  for (int s = 0; s < (1 << free); ++s) {
    table[c.lz * rows + ((c.rest << free) | s)] = value;
  }
}

// Enters a code into a table indexed by the next `bits` bits.
template <typename T>
constexpr void AddDirectCode(T* table, int bits, const char* code, T value) {
  const ParsedCode c = ParseCode(code);
  uint32_t v = 0;
  for (const char* s = code; *s; ++s) {
    if (*s != ' ') v = v << 1 | static_cast<uint32_t>(*s == '1');
  }
  const int free = bits - c.len;
  for (uint32_t s = 0; s < (1u << free); ++s) table[(v << free) | s] = value;
}

constexpr CavlcTables BuildTables() {
  CavlcTables t{};
  for (const CoeffTokenRow& row : Table9_5) {
    for (int col = 0; col < 4; ++col) {
      const char* code = row.code[col];
      if (code == nullptr) continue;
      const ParsedCode c = ParseCode(code);
      const auto value = static_cast<uint16_t>(c.len << 8 | row.totalCoeff << 2 | row.trailingOnes);
      if (col < 3) {
        AddLzCode<uint16_t>(t.token[col], kTokenLz, 3, c, value);
      } else {
        AddDirectCode<uint16_t>(t.tokenChromaDc, 8, code, value);
      }
    }
    // 8 <= nC: xxxxyy with xxxx = TotalCoeff - 1 and yy = TrailingOnes; 000011 = no coefficients.
    const int flc = row.totalCoeff == 0 ? 3 : ((row.totalCoeff - 1) << 2 | row.trailingOnes);
    t.tokenFlc[flc] = static_cast<uint16_t>(6 << 8 | row.totalCoeff << 2 | row.trailingOnes);
  }
  for (int tc = 0; tc < 15; ++tc) {
    const char* list = Table9_7_8[tc];
    int pos = 0, end = 0, tz = 0;
    while (list[pos]) {
      const int start = NextCode(list, pos, &end);
      char code[24] = {};
      for (int i = start; i < end; ++i) code[i - start] = list[i];
      const ParsedCode c = ParseCode(code);
      AddLzCode<uint8_t>(t.totalZeros[tc], kTzLz, 2, c, static_cast<uint8_t>(c.len << 4 | tz));
      ++tz;
      pos = end;
    }
  }
  for (int tc = 0; tc < 3; ++tc) {
    const char* list = Table9_9a[tc];
    int pos = 0, end = 0, tz = 0;
    while (list[pos]) {
      const int start = NextCode(list, pos, &end);
      char code[8] = {};
      for (int i = start; i < end; ++i) code[i - start] = list[i];
      AddDirectCode<uint8_t>(t.totalZerosDc[tc], 3, code,
                             static_cast<uint8_t>((end - start) << 4 | tz));
      ++tz;
      pos = end;
    }
  }
  for (int zl = 0; zl < 7; ++zl) {
    const char* list = Table9_10[zl];
    int pos = 0, end = 0, run = 0;
    while (list[pos]) {
      const int start = NextCode(list, pos, &end);
      if (end - start <= 3) {
        char code[8] = {};
        for (int i = start; i < end; ++i) code[i - start] = list[i];
        AddDirectCode<uint8_t>(t.runBefore[zl], 3, code,
                               static_cast<uint8_t>((end - start) << 4 | run));
      }
      ++run;
      pos = end;
    }
  }
  return t;
}

constexpr CavlcTables kTables = BuildTables();

// ---- Bit access over the reader's zero-padded copy --------------------------------------
inline uint32_t PeekAt(const uint8_t* data, uint32_t pos) {
  return static_cast<uint32_t>((detail::LoadBe64(data + (pos >> 3)) << (pos & 7)) >> 32);
}

inline int LeadingZeros(uint32_t v) {
  return __builtin_clz(v | 1);
}

// Decodes one level_prefix / level_suffix at the top of v: sets *len and returns levelCode
// (without the first-level adjustment), or -1 for a prefix of 16 or more.
inline int32_t DecodeLevelCode(uint32_t v, int suffixLength, int* len) {
  const int prefix = LeadingZeros(v);
  if (prefix < 14 || (prefix == 14 && suffixLength > 0)) {
    *len = prefix + 1 + suffixLength;
    return (prefix << suffixLength) +
           static_cast<int32_t>((v >> (32 - *len)) & ((1u << suffixLength) - 1));
  }
  if (prefix == 14) {  // suffixLength 0: a 4-bit suffix
    *len = 19;
    return 14 + static_cast<int32_t>((v >> 13) & 15);
  }
  if (prefix == 15) {  // a 12-bit suffix
    *len = 28;
    return (15 << suffixLength) + static_cast<int32_t>((v >> 4) & 0xFFF) +
           (suffixLength == 0 ? 15 : 0);
  }
  return -1;
}

inline int32_t LevelFromCode(int32_t levelCode) {
  return (levelCode & 1) ? (-levelCode - 1) >> 1 : (levelCode + 2) >> 1;
}

int Fail(BitReader* r, uint32_t pos, int readerError) {
  if (readerError != 0) r->error = readerError;
  r->bitPos = pos < r->bitEnd ? pos : r->bitEnd;
  return -1;
}

// residual_block_cavlc(): nC selects the coeff_token table (-1 for chroma DC); list position p
// (0 .. maxNumCoeff - 1) is stored at out[scan[p]]. Returns TotalCoeff or -1. Without kChecked
// the caller has made sure that the whole block lies inside the data.
template <bool kChecked>
int DecodeResidualT(BitReader* r, int nC, int maxNumCoeff, const uint8_t* scan, int32_t* out) {
  const uint8_t* const data = r->data;
  const uint32_t end = r->bitEnd;
  uint32_t pos = r->bitPos;

  uint32_t v = PeekAt(data, pos);
  uint32_t e;
  if (nC < 0) {
    e = kTables.tokenChromaDc[v >> 24];
  } else if (nC < 8) {
    int lz = LeadingZeros(v);
    lz = lz < kTokenLz ? lz : kTokenLz - 1;
    e = kTables.token[nC < 2 ? 0 : (nC < 4 ? 1 : 2)][lz * 8 + (((v << lz) << 1) >> 29)];
  } else {
    e = kTables.tokenFlc[v >> 26];
  }
  if (e == 0) return Fail(r, pos, 0);
  pos += e >> 8;
  if (kChecked && pos > end) return Fail(r, pos, kReaderPastEnd);
  const int totalCoeff = (e >> 2) & 31;
  const int trailingOnes = e & 3;
  if (totalCoeff == 0) {
    r->bitPos = pos;
    return 0;
  }
  if (totalCoeff > maxNumCoeff) return Fail(r, pos, 0);

  int32_t level[16];
  if (trailingOnes > 0) {
    v = PeekAt(data, pos);
    for (int i = 0; i < trailingOnes; ++i)
      level[i] = 1 - 2 * static_cast<int32_t>((v >> (31 - i)) & 1);
    pos += trailingOnes;
    if (kChecked && pos > end) return Fail(r, pos, kReaderPastEnd);
  }
  int suffixLength = (totalCoeff > 10 && trailingOnes < 3) ? 1 : 0;
  for (int i = trailingOnes; i < totalCoeff; ++i) {
    int len = 0;
    int32_t levelCode = DecodeLevelCode(PeekAt(data, pos), suffixLength, &len);
    if (levelCode < 0) return Fail(r, pos, kReaderCodeTooLong);
    pos += len;
    if (kChecked && pos > end) return Fail(r, pos, kReaderPastEnd);
    if (i == trailingOnes && trailingOnes < 3) levelCode += 2;
    const int32_t lv = LevelFromCode(levelCode);
    level[i] = lv;
    if (suffixLength == 0) suffixLength = 1;
    const int32_t mag = lv < 0 ? -lv : lv;
    if (mag > (3 << (suffixLength - 1)) && suffixLength < 6) ++suffixLength;
  }

  int totalZeros = 0;
  if (totalCoeff < maxNumCoeff) {
    v = PeekAt(data, pos);
    uint32_t z;
    if (nC < 0) {
      z = kTables.totalZerosDc[totalCoeff - 1][v >> 29];
    } else {
      int lz = LeadingZeros(v);
      lz = lz < kTzLz ? lz : kTzLz - 1;
      z = kTables.totalZeros[totalCoeff - 1][lz * 4 + (((v << lz) << 1) >> 30)];
    }
    if (z == 0) return Fail(r, pos, 0);
    pos += z >> 4;
    if (kChecked && pos > end) return Fail(r, pos, kReaderPastEnd);
    totalZeros = z & 15;
    if (totalCoeff + totalZeros > maxNumCoeff) return Fail(r, pos, 0);
  }

  int p = totalCoeff + totalZeros - 1;
  int zerosLeft = totalZeros;
  out[scan[p]] = level[0];
  for (int i = 1; i < totalCoeff; ++i) {
    if (zerosLeft > 0) {
      v = PeekAt(data, pos);
      uint32_t rb;
      if (zerosLeft <= 6 || (v >> 29) != 0) {
        rb = kTables.runBefore[zerosLeft <= 6 ? zerosLeft - 1 : 6][v >> 29];
      } else {
        const int lz = LeadingZeros(v);
        if (lz > 10) return Fail(r, pos, 0);
        rb = static_cast<uint32_t>((lz + 1) << 4 | (lz + 4));
      }
      const int run = rb & 15;
      if (run > zerosLeft) return Fail(r, pos, 0);
      pos += rb >> 4;
      if (kChecked && pos > end) return Fail(r, pos, kReaderPastEnd);
      zerosLeft -= run;
      p -= run + 1;
    } else {
      p -= 1;
    }
    out[scan[p]] = level[i];
  }
  r->bitPos = pos;
  return totalCoeff;
}

// No block is longer than this: a 16-bit coeff_token, three sign bits, sixteen 28-bit levels,
// a 9-bit total_zeros and fourteen 11-bit run_before codes.
constexpr uint32_t kMaxBlockBits = 16 + 3 + 16 * 28 + 9 + 14 * 11;

inline int DecodeResidual(BitReader* r, int nC, int maxNumCoeff, const uint8_t* scan,
                          int32_t* out) {
  if (r->bitEnd - r->bitPos >= kMaxBlockBits) {
    return DecodeResidualT<false>(r, nC, maxNumCoeff, scan, out);
  }
  return DecodeResidualT<true>(r, nC, maxNumCoeff, scan, out);
}

constexpr uint8_t kIdentity4[4] = {0, 1, 2, 3};

int32_t ReadLevel(BitReader* r, int suffixLength) {
  int len = 0;
  const int32_t levelCode = DecodeLevelCode(PeekAt(r->data, r->bitPos), suffixLength, &len);
  if (levelCode < 0) {
    Fail(r, r->bitPos, kReaderCodeTooLong);
    return 0;
  }
  if (SkipBits(r, len) < 0) return 0;
  return LevelFromCode(levelCode);
}

}  // namespace

int32_t ReadLevelSuffix0(BitReader* r) {
  return ReadLevel(r, 0);
}
int32_t ReadLevelSuffixN(BitReader* r, int n) {
  return ReadLevel(r, n);
}

int ParseResidualBlock(BitReader* r, int32_t* out, int x, int y, uint8_t* top, uint8_t* left,
                       int neighbourFlags, int startIdx) {
  const bool hasA = x > 0 || (neighbourFlags & kAvailLeft);
  const bool hasB = y > 0 || (neighbourFlags & kAvailAbove);
  int nC = 0;
  if (hasA && hasB) {
    nC = (*left + *top + 1) >> 1;
  } else if (hasA) {
    nC = *left;
  } else if (hasB) {
    nC = *top;
  }
  const int tc = DecodeResidual(r, nC, 16 - startIdx, kZigzag4x4 + startIdx, out);
  if (tc < 0) return -1;
  *top = static_cast<uint8_t>(tc);
  *left = static_cast<uint8_t>(tc);
  return tc;
}

int ParseChromaDcBlock(BitReader* r, int32_t* out) {
  std::memset(out, 0, 4 * sizeof(int32_t));
  return DecodeResidual(r, -1, 4, kIdentity4, out);
}

int ParseLumaDc(BitReader* r, MacroblockState* mb, const uint8_t* topNnzLuma) {
  uint8_t top = topNnzLuma[0];
  uint8_t left = mb->leftNnzLuma[0];
  std::memset(mb->lumaDc, 0, sizeof(mb->lumaDc));
  const int tc = ParseResidualBlock(r, mb->lumaDc, 0, 0, &top, &left, mb->neighbourFlags, 0);
  return (tc < 0 || r->error < 0) ? -1 : 0;
}

int ParseLumaResidual(BitReader* r, MacroblockState* mb, uint8_t* topNnzLuma) {
  const int startIdx = (!mb->isInter && mb->intraKind == 1) ? 1 : 0;
  int mask = mb->lumaCodedMask;
  int dcOnly = 0;
  for (int q = 0; q < 4; ++q) {
    const int qx = (q & 1) * 2, qy = (q >> 1) * 2;
    if (!(mask & (0x33 << (4 * qy + qx)))) {
      topNnzLuma[qx] = topNnzLuma[qx + 1] = 0;
      mb->leftNnzLuma[qy] = mb->leftNnzLuma[qy + 1] = 0;
      continue;
    }
    for (int s = 0; s < 4; ++s) {
      const int x = qx + (s & 1), y = qy + (s >> 1), b = 4 * y + x;
      const int tc = ParseResidualBlock(r, mb->lumaCoeff[b], x, y, &topNnzLuma[x],
                                        &mb->leftNnzLuma[y], mb->neighbourFlags, startIdx);
      if (tc < 0) return -1;
      if (tc == 0) {
        mask &= ~(1 << b);
      } else if (tc == 1 && startIdx == 0 && mb->lumaCoeff[b][0] != 0) {
        dcOnly |= 1 << b;
      }
    }
  }
  mb->lumaCodedMask = mask;
  mb->lumaDcOnlyMask = dcOnly;
  return r->error < 0 ? -1 : 0;
}

int ParseChromaDc(BitReader* r, MacroblockState* mb) {
  for (int c = 0; c < 2; ++c) {
    const int tc = ParseChromaDcBlock(r, mb->chromaDc[c]);
    if (tc < 0) return -1;
    if (tc == 0) mb->chromaDcMask &= ~(1 << c);
  }
  return r->error < 0 ? -1 : 0;
}

int ParseChromaAc(BitReader* r, MacroblockState* mb, uint8_t* topNnzCb, uint8_t* topNnzCr) {
  for (int c = 0; c < 2; ++c) {
    uint8_t* top = c == 0 ? topNnzCb : topNnzCr;
    uint8_t* left = c == 0 ? mb->leftNnzCb : mb->leftNnzCr;
    for (int j = 0; j < 4; ++j) {
      const int x = j & 1, y = j >> 1;
      const int tc = ParseResidualBlock(r, mb->chromaAc[4 * c + j], x, y, &top[x], &left[y],
                                        mb->neighbourFlags, 1);
      if (tc < 0) return -1;
      if (tc == 0) mb->chromaAcMask &= ~(1 << (4 * c + j));
    }
  }
  return r->error < 0 ? -1 : 0;
}

}  // namespace vexlor::h264
