#pragma once
// SHA-256 from the system's own cryptography (OpenSSL's libcrypto on Linux,
// the CNG hash provider on Windows), fed piece by piece.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace ferro {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  // False once the system's hash could not be set up or a piece could not
  // be taken; the sum is then never given.
  bool ok() const { return state_ != nullptr; }
  void Update(const void* data, size_t size);
  void Update(std::string_view bytes) { Update(bytes.data(), bytes.size()); }
  // The sum of everything given, as 64 lower-case hexadecimal digits;
  // nothing after a failure. The object is spent afterwards.
  std::optional<std::string> FinishHex();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace ferro
