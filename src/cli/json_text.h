// JSON output of the commands: one object per line.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "platform/utf8.h"

namespace vexlor::cli {

// One line of JSON. Bytes of a text that are not UTF-8 become U+FFFD instead of failing.
inline std::string JsonLine(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

// Sets object[key] to a file name. A name that is not UTF-8 (POSIX names are any bytes) cannot
// be a JSON string as it is: its invalid bytes print as U+FFFD, and object[key + "_hex"] holds
// the exact name, two hexadecimal digits per byte, so that a script can always find the file.
inline void PutName(nlohmann::json* object, const std::string& key, const std::string& name) {
  (*object)[key] = name;
  if (platform::IsUtf8(name)) return;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (const char c : name) {
    hex.push_back(kHex[uint8_t(c) >> 4]);
    hex.push_back(kHex[uint8_t(c) & 15]);
  }
  (*object)[key + "_hex"] = hex;
}

}  // namespace vexlor::cli
