#include "diag/sha256_hasher.h"

#include "diag/cng_digest.h"

namespace halyx {

std::unique_ptr<Sha256Hasher> Sha256Hasher::Create() {
  std::unique_ptr<Sha256Hasher> hasher(new Sha256Hasher());
  hasher->algorithm_ = cng::OpenHashProvider(BCRYPT_SHA256_ALGORITHM, kLogPrefix);
  return hasher;
}

Sha256Hasher::~Sha256Hasher() { cng::CloseHashProvider(algorithm_, kLogPrefix); }

bool Sha256Hasher::Hash(const void* data, std::size_t size, std::vector<uint8_t>& digest) const {
  return cng::Digest(algorithm_.get(), kLogPrefix, data, size, digest);
}

}  // namespace halyx
