// MD5 message digest (RFC 1321), the checksum that conformance references give for decoded
// pictures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "h264/api.h"

namespace vexlor::h264 {

class Md5 {
 public:
  Md5();
  void Update(const void* data, size_t n);
  // Finishes the digest and returns it as 32 lower-case hexadecimal digits.
  std::string HexDigest();

 private:
  void Block(const uint8_t* p);
  uint32_t state_[4];
  uint64_t bytes_ = 0;
  uint8_t buffer_[64];
  size_t buffered_ = 0;
};

// Digest of one buffer.
std::string Md5Hex(const void* data, size_t n);

// Digest of a picture at its full decoded size as raw I420: the luma rows, then the Cb rows,
// then the Cr rows (every sample is read).
std::string PictureMd5(const PictureView& picture);

}  // namespace vexlor::h264
