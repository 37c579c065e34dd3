#include "diag/md5_hasher.h"

#include "diag/cng_digest.h"
#include "diag/hex_text.h"

namespace halyx {

std::unique_ptr<Md5Hasher> Md5Hasher::Create() {
  std::unique_ptr<Md5Hasher> hasher(new Md5Hasher());
  hasher->algorithm_ = cng::OpenHashProvider(BCRYPT_MD5_ALGORITHM, kLogPrefix);
  return hasher;
}

Md5Hasher::~Md5Hasher() { cng::CloseHashProvider(algorithm_, kLogPrefix); }

bool Md5Hasher::Hash(const void* data, std::size_t size, std::vector<uint8_t>& digest) const {
  return cng::Digest(algorithm_.get(), kLogPrefix, data, size, digest);
}

bool Md5Hasher::HashHex(const void* data, std::size_t size, std::string& hex) const {
  std::vector<uint8_t> digest;
  if (!Hash(data, size, digest)) return false;
  hex = HexUpper(digest.data(), digest.size());
  return true;
}

}  // namespace halyx
