// JSON output of the commands: one object per line.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace vexlor::cli {

// One line of JSON. Bytes of a path that are not UTF-8 become U+FFFD instead of failing.
inline std::string JsonLine(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace vexlor::cli
