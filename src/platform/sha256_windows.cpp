// SHA-256 on Windows: the system's cryptography primitives (BCrypt), with a reusable hash
// object.
#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <algorithm>

#include "platform/sha256.h"

namespace vexlor::platform {

struct Sha256::State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = false;  // created, and no update failed since

  ~State() {
    if (hash != nullptr) BCryptDestroyHash(hash);
    if (algorithm != nullptr) BCryptCloseAlgorithmProvider(algorithm, 0);
  }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.ok = BCRYPT_SUCCESS(
             BCryptOpenAlgorithmProvider(&s.algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
         BCRYPT_SUCCESS(BCryptCreateHash(s.algorithm, &s.hash, nullptr, 0, nullptr, 0,
                                         BCRYPT_HASH_REUSABLE_FLAG));
}

Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::Update(std::span<const uint8_t> bytes) {
  State& s = *state_;
  // BCryptHashData takes at most 4 GiB - 1 at a time.
  while (s.ok && !bytes.empty()) {
    const ULONG n = ULONG(std::min<size_t>(bytes.size(), 0x40000000));
    s.ok = BCRYPT_SUCCESS(BCryptHashData(s.hash, const_cast<PUCHAR>(bytes.data()), n, 0));
    bytes = bytes.subspan(n);
  }
}

Status Sha256::Final(Sha256Digest* digest) {
  State& s = *state_;
  digest->fill(0);
  // A reusable hash object starts again by itself once finished.
  const bool ok =
      s.ok && BCRYPT_SUCCESS(BCryptFinishHash(s.hash, digest->data(), ULONG(digest->size()), 0));
  if (ok) return Status::Ok();
  digest->fill(0);
  if (s.hash != nullptr) {
    BCryptDestroyHash(s.hash);
    s.hash = nullptr;
  }
  s.ok = s.algorithm != nullptr &&
         BCRYPT_SUCCESS(BCryptCreateHash(s.algorithm, &s.hash, nullptr, 0, nullptr, 0,
                                         BCRYPT_HASH_REUSABLE_FLAG));
  return Status(StatusCode::kTooLarge, "the SHA-256 hash could not be computed");
}

}  // namespace vexlor::platform
