// One-shot SHA-256 digests on CNG, for the derived key mode of the payload
// cipher. Same life as Md5Hasher: the provider opens in Create() or never,
// and a hasher that is not ready fails every Hash() call.
//
// Thread: the thread that uses it (the GUI thread); not locked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/unique_handle.h"

namespace halyx {

class Sha256Hasher {
 public:
  static constexpr const char* kLogPrefix = "Sha256Hasher";

  // Never fails; the hasher may come back not ready (logged).
  static std::unique_ptr<Sha256Hasher> Create();
  ~Sha256Hasher();
  Sha256Hasher(const Sha256Hasher&) = delete;
  Sha256Hasher& operator=(const Sha256Hasher&) = delete;

  bool ready() const { return algorithm_.valid(); }

  // `digest` receives the 32-byte digest; unchanged on failure.
  bool Hash(const void* data, std::size_t size, std::vector<uint8_t>& digest) const;

 private:
  Sha256Hasher() = default;

  CngAlgorithmHandle algorithm_;
};

}  // namespace halyx
