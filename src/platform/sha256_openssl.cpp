// SHA-256 on POSIX systems: OpenSSL's libcrypto, which picks the processor's SHA instructions
// where there are any.
#include <openssl/evp.h>

#include "platform/sha256.h"

namespace vexlor::platform {

struct Sha256::State {
  EVP_MD_CTX* context = nullptr;
  bool ok = false;  // initialised, and no update failed since

  void Start() {
    ok = context != nullptr && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1;
  }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  state_->context = EVP_MD_CTX_new();
  state_->Start();
}

Sha256::~Sha256() {
  if (state_) EVP_MD_CTX_free(state_->context);
}

Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&& other) noexcept {
  if (this != &other) {
    if (state_) EVP_MD_CTX_free(state_->context);
    state_ = std::move(other.state_);
  }
  return *this;
}

void Sha256::Update(std::span<const uint8_t> bytes) {
  if (!state_->ok || bytes.empty()) return;
  state_->ok = EVP_DigestUpdate(state_->context, bytes.data(), bytes.size()) == 1;
}

Status Sha256::Final(Sha256Digest* digest) {
  digest->fill(0);
  unsigned int length = 0;
  const bool ok = state_->ok && EVP_DigestFinal_ex(state_->context, digest->data(), &length) == 1 &&
                  length == digest->size();
  state_->Start();
  if (ok) return Status::Ok();
  digest->fill(0);
  return Status(StatusCode::kTooLarge, "the SHA-256 hash could not be computed (out of memory)");
}

}  // namespace vexlor::platform
