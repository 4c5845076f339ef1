// UTF-8 as file names carry it: a name may hold bytes that are not UTF-8 (POSIX takes any), so
// the text functions that look at names say where a sequence is valid and leave other bytes be.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vexlor::platform {

// The length of the UTF-8 sequence that starts at text[i] (1 to 4) and its code point in *code;
// 0 when the bytes there are not one (a stray byte, a cut or overlong sequence, a surrogate).
inline size_t Utf8SequenceAt(std::string_view text, size_t i, uint32_t* code) {
  const uint8_t b = uint8_t(text[i]);
  const size_t n = b < 0x80             ? 1
                   : (b & 0xE0) == 0xC0 ? 2
                   : (b & 0xF0) == 0xE0 ? 3
                   : (b & 0xF8) == 0xF0 ? 4
                                        : 0;
  if (n == 0 || i + n > text.size()) return 0;
  uint32_t c = n == 1 ? b : b & (0xFFu >> (n + 1));
  for (size_t k = 1; k < n; ++k) {
    const uint8_t next = uint8_t(text[i + k]);
    if ((next & 0xC0) != 0x80) return 0;
    c = (c << 6) | (next & 0x3F);
  }
  static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < kSmallest[n] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  *code = c;
  return n;
}

inline bool IsUtf8(std::string_view text) {
  uint32_t code;
  for (size_t i = 0, n; i < text.size(); i += n) {
    if ((n = Utf8SequenceAt(text, i, &code)) == 0) return false;
  }
  return true;
}

inline void AppendUtf8(uint32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(char(c));
    return;
  }
  static constexpr uint32_t kLead[] = {0, 0, 0xC0, 0xE0, 0xF0};
  const int n = c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
  out->push_back(char(kLead[n] | (c >> (6 * (n - 1)))));
  for (int k = n - 2; k >= 0; --k) out->push_back(char(0x80 | ((c >> (6 * k)) & 0x3F)));
}

}  // namespace vexlor::platform
