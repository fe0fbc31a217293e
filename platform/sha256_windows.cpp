// SHA-256 from the CNG hash provider (bcrypt.dll), opened once per process.
#include <windows.h>
// After windows.h, which it needs.
#include <bcrypt.h>

#include <vector>

#include "platform/sha256.h"

namespace ferro {
namespace {

// The provider, or null when the system has none; opened on first use and
// kept for the life of the process.
BCRYPT_ALG_HANDLE Provider() {
  static const BCRYPT_ALG_HANDLE provider = [] {
    BCRYPT_ALG_HANDLE h = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&h, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
      h = nullptr;
    }
    return h;
  }();
  return provider;
}

}  // namespace

struct Sha256::State {
  ~State() {
    if (hash != nullptr) BCryptDestroyHash(hash);
  }
  BCRYPT_HASH_HANDLE hash = nullptr;
  std::vector<UCHAR> object;  // the hash's working memory, owned here
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  BCRYPT_ALG_HANDLE provider = Provider();
  DWORD objectSize = 0, got = 0;
  if (provider == nullptr ||
      !BCRYPT_SUCCESS(BCryptGetProperty(provider, BCRYPT_OBJECT_LENGTH,
                                        reinterpret_cast<PUCHAR>(&objectSize), sizeof objectSize,
                                        &got, 0)) ||
      got != sizeof objectSize) {
    state_.reset();
    return;
  }
  state_->object.resize(objectSize);
  if (!BCRYPT_SUCCESS(BCryptCreateHash(provider, &state_->hash, state_->object.data(), objectSize,
                                       nullptr, 0, 0))) {
    state_->hash = nullptr;
    state_.reset();
  }
}

Sha256::~Sha256() = default;

void Sha256::Update(const void* data, size_t size) {
  auto* at = static_cast<PUCHAR>(const_cast<void*>(data));
  // The call takes at most 4 GiB - 1 at a time.
  while (state_ && size > 0) {
    const ULONG chunk = static_cast<ULONG>(size > 0x40000000u ? 0x40000000u : size);
    if (!BCRYPT_SUCCESS(BCryptHashData(state_->hash, at, chunk, 0))) state_.reset();
    at += chunk;
    size -= chunk;
  }
}

std::optional<std::string> Sha256::FinishHex() {
  UCHAR sum[32];
  const bool done = state_ && BCRYPT_SUCCESS(BCryptFinishHash(state_->hash, sum, sizeof sum, 0));
  state_.reset();
  if (!done) return std::nullopt;
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (UCHAR b : sum) {
    hex.push_back(kDigits[b >> 4]);
    hex.push_back(kDigits[b & 15]);
  }
  return hex;
}

}  // namespace ferro
