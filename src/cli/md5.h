// MD5 message digest (RFC 1321), for checksums of decoded pictures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vexlor::cli {

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

}  // namespace vexlor::cli
