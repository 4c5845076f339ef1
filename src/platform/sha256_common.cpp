// What every platform's SHA-256 shares: the digest as text, and the hash of a whole file.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/file.h"
#include "platform/sha256.h"

namespace vexlor::platform {

std::string HexDigest(const Sha256Digest& digest) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (const uint8_t b : digest) {
    text.push_back(kHex[b >> 4]);
    text.push_back(kHex[b & 15]);
  }
  return text;
}

Status HashFile(const std::string& path, Sha256Digest* digest, int64_t* size) {
  digest->fill(0);
  *size = 0;
  if (KindOf(path) == PathKind::kDirectory) {
    return Status(StatusCode::kIsDirectory, "cannot read " + path + ": it is a folder");
  }
  std::FILE* file = OpenFile(path, "rb");
  if (file == nullptr) {
    return Status(StatusCode::kCannotOpen, "cannot open " + path + ": " + std::strerror(errno));
  }
  Sha256 hash;
  std::vector<uint8_t> buffer(1 << 20);
  int64_t total = 0;
  size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) {
    hash.Update(std::span(buffer.data(), n));
    total += int64_t(n);
  }
  const bool failed = std::ferror(file) != 0;
  const int error = errno;
  std::fclose(file);
  if (failed) {
    return Status(StatusCode::kReadFailed, "cannot read " + path + ": " + std::strerror(error));
  }
  *size = total;
  return hash.Final(digest);
}

}  // namespace vexlor::platform
