// PNG output of the snapshot command.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vexlor::cli {

// Writes width x height 32-bit pixels (blue, green, red, 0; rows of stride bytes) as an 8-bit
// RGB PNG file named `file_name` (UTF-8), by the rule of every output file
// (platform::OutputFile): never over `keep`, and an earlier file of that name stays when
// writing fails. Returns false on any error, with the reason in *why.
bool WritePng(const std::string& file_name, const std::string& keep, const uint8_t* pixels,
              int width, int height, size_t stride, std::string* why);

}  // namespace vexlor::cli
