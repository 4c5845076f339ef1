#include "cli/png_writer.h"

#include <png.h>

#include <cstdio>
#include <vector>

#include "platform/files.h"

namespace vexlor::cli {
namespace {

// The PNG encoding itself, into an open file. False on any error.
bool EncodePng(std::FILE* f, const uint8_t* pixels, int width, int height, size_t stride) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  std::vector<uint8_t> row(size_t(width) * 3);
  bool ok = png != nullptr && info != nullptr;
  if (ok && setjmp(png_jmpbuf(png)) == 0) {
    png_init_io(png, f);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < height; ++y) {
      const uint8_t* src = pixels + size_t(y) * stride;
      for (int x = 0; x < width; ++x) {
        row[3 * x] = src[4 * x + 2];
        row[3 * x + 1] = src[4 * x + 1];
        row[3 * x + 2] = src[4 * x];
      }
      png_write_row(png, row.data());
    }
    png_write_end(png, nullptr);
  } else {
    ok = false;
  }
  png_destroy_write_struct(png ? &png : nullptr, info ? &info : nullptr);
  return ok;
}

}  // namespace

bool WritePng(const std::string& file_name, const std::string& keep, const uint8_t* pixels,
              int width, int height, size_t stride, std::string* why) {
  platform::OutputFile output;
  platform::OutputFile::Result r = output.Create(file_name, keep);
  if (r == platform::OutputFile::kOk) {
    r = output.Finish(EncodePng(output.file(), pixels, width, height, stride));
  }
  *why = platform::OutputFileError(r);
  return r == platform::OutputFile::kOk;
}

}  // namespace vexlor::cli
