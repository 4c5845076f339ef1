// UTF-8 <-> UTF-16 for the Windows code: the implementation files of this folder and the
// Windows dialog.
#pragma once

#include <windows.h>

#include <string>

namespace vexlor::platform {

// False for text that is not valid UTF-8 (out is then empty).
inline bool Utf8ToWide(const std::string& in, std::wstring* out) {
  out->clear();
  if (in.empty()) return true;
  const int n =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, in.data(), int(in.size()), nullptr, 0);
  if (n <= 0) return false;
  out->resize(size_t(n));
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, in.data(), int(in.size()), out->data(),
                             n) == n;
}

// Unpaired surrogates become U+FFFD.
inline std::string WideToUtf8(const std::wstring& in) {
  if (in.empty()) return std::string();
  const int n =
      WideCharToMultiByte(CP_UTF8, 0, in.data(), int(in.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(size_t(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, in.data(), int(in.size()), out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace vexlor::platform
