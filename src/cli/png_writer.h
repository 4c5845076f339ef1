// PNG files for `vexlor snapshot`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vexlor::cli {

// Writes width x height 32-bit pixels (blue, green, red, 0; rows of stride bytes) as an 8-bit
// RGB PNG file named `file_name` (UTF-8). Returns false on any error; no file is left then.
bool WritePng(const std::string& file_name, const uint8_t* pixels, int width, int height,
              size_t stride);

}  // namespace vexlor::cli
