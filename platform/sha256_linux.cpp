#include <openssl/evp.h>

#include "platform/sha256.h"

namespace ferro {

struct Sha256::State {
  ~State() { EVP_MD_CTX_free(ctx); }
  EVP_MD_CTX* ctx = nullptr;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  state_->ctx = EVP_MD_CTX_new();
  if (state_->ctx == nullptr || EVP_DigestInit_ex(state_->ctx, EVP_sha256(), nullptr) != 1) {
    state_.reset();
  }
}

Sha256::~Sha256() = default;

void Sha256::Update(const void* data, size_t size) {
  if (state_ && EVP_DigestUpdate(state_->ctx, data, size) != 1) state_.reset();
}

std::optional<std::string> Sha256::FinishHex() {
  unsigned char sum[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  const bool done = state_ && EVP_DigestFinal_ex(state_->ctx, sum, &size) == 1 && size == 32;
  state_.reset();
  if (!done) return std::nullopt;
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < size; ++i) {
    hex.push_back(kDigits[sum[i] >> 4]);
    hex.push_back(kDigits[sum[i] & 15]);
  }
  return hex;
}

}  // namespace ferro
