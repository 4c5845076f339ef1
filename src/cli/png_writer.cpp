// PNG files through stb_image_write (Debian's libstb-dev), the same code on every platform. The
// library only encodes into memory; the file is ours, written by the rule of every output file.
#include "png_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/output_file.h"

#define STBI_WRITE_NO_STDIO
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#include <stb/stb_image_write.h>
#pragma GCC diagnostic pop

namespace vexlor::cli {
namespace {

struct Output {
  std::FILE* file;
  bool ok;
  int error_number;  // errno of the write that failed
};

void Append(void* context, void* data, int size) {
  Output* out = static_cast<Output*>(context);
  if (!out->ok) return;
  out->ok = size >= 0 && std::fwrite(data, 1, size_t(size), out->file) == size_t(size);
  if (!out->ok) out->error_number = errno;
}

// The PNG encoding itself, into an open file. False on any error, with the system's errno of a
// failed write in *error_number (0 for none).
bool EncodePng(std::FILE* f, const uint8_t* pixels, int width, int height, size_t stride,
               int* error_number) {
  *error_number = 0;
  if (width <= 0 || height <= 0) return false;
  std::vector<uint8_t> rgb(size_t(width) * size_t(height) * 3);
  for (int y = 0; y < height; ++y) {
    const uint8_t* src = pixels + size_t(y) * stride;
    uint8_t* dst = rgb.data() + size_t(y) * size_t(width) * 3;
    for (int x = 0; x < width; ++x) {
      dst[3 * x] = src[4 * x + 2];
      dst[3 * x + 1] = src[4 * x + 1];
      dst[3 * x + 2] = src[4 * x];
    }
  }
  Output out{f, true, 0};
  const bool encoded =
      stbi_write_png_to_func(Append, &out, width, height, 3, rgb.data(), width * 3) != 0 && out.ok;
  *error_number = out.error_number;
  return encoded;
}

}  // namespace

bool WritePng(const std::string& file_name, const std::string& keep, const uint8_t* pixels,
              int width, int height, size_t stride, std::string* why) {
  platform::OutputFile output;
  platform::OutputFile::Result r = output.Create(file_name, keep);
  int error_number = 0;
  if (r == platform::OutputFile::kOk) {
    r = output.Finish(EncodePng(output.file(), pixels, width, height, stride, &error_number));
  }
  *why = output.ErrorText(r);
  if (r != platform::OutputFile::kOk && error_number != 0) {
    *why += std::string(": ") + std::strerror(error_number);
  }
  return r == platform::OutputFile::kOk;
}

}  // namespace vexlor::cli
