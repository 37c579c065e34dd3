// One-shot MD5 digests on CNG, for the device identifier and the derived key
// mode of the payload cipher.
//
//   std::unique_ptr<Md5Hasher> md5 = Md5Hasher::Create();
//   std::string id;
//   if (!md5->HashHex(bytes, size, id)) return false;  // already logged
//
// The provider is opened once, in Create(); a hasher whose provider did not
// open stays "not ready" for life and every Hash() call returns false. The
// hasher owns the provider and closes it when destroyed.
//
// Thread: the thread that uses it (the GUI thread); not locked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/unique_handle.h"

namespace halyx {

class Md5Hasher {
 public:
  static constexpr const char* kLogPrefix = "Md5Hasher";

  // Never fails; the hasher may come back not ready (logged).
  static std::unique_ptr<Md5Hasher> Create();
  ~Md5Hasher();
  Md5Hasher(const Md5Hasher&) = delete;
  Md5Hasher& operator=(const Md5Hasher&) = delete;

  bool ready() const { return algorithm_.valid(); }

  // `digest` receives the 16-byte digest; unchanged on failure.
  bool Hash(const void* data, std::size_t size, std::vector<uint8_t>& digest) const;
  // Hash() rendered as 32 upper-case hexadecimal characters.
  bool HashHex(const void* data, std::size_t size, std::string& hex) const;

 private:
  Md5Hasher() = default;

  CngAlgorithmHandle algorithm_;
};

}  // namespace halyx
