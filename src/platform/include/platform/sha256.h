// SHA-256 through the system's own implementation: OpenSSL's libcrypto on Linux, BCrypt on
// Windows. The digests are what sha256sum prints.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "platform/status.h"

namespace vexlor::platform {

using Sha256Digest = std::array<uint8_t, 32>;

// A hash over bytes that arrive in pieces of any size: Update any number of times, then Final.
// After Final the hasher starts again, empty. One thread at a time.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(Sha256&&) noexcept;
  Sha256& operator=(Sha256&&) noexcept;
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Update(std::span<const uint8_t> bytes);
  // The digest of every byte since the start. A failure of the system's hash (it could not get
  // the memory it needed) is reported here, and *digest is then all zeros.
  Status Final(Sha256Digest* digest);

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// 64 lower-case hexadecimal digits, as sha256sum prints them.
std::string HexDigest(const Sha256Digest& digest);

// The digest and size of the file `path` (UTF-8), read from start to end. kCannotOpen or
// kReadFailed, with the system's reason, when it cannot be read whole.
Status HashFile(const std::string& path, Sha256Digest* digest, int64_t* size);

}  // namespace vexlor::platform
