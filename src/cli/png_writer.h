// PNG output of the snapshot command.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vexlor::cli {

// Writes width x height 32-bit pixels (blue, green, red, 0; rows of stride bytes) as an 8-bit
// RGB PNG. Returns false on any error.
bool WritePng(const std::string& file_name, const uint8_t* pixels, int width, int height,
              size_t stride);

}  // namespace vexlor::cli
