// Checks that an update package is the one the publisher signed: an ECDSA
// signature on the NIST P-256 curve over the SHA-256 digest of the whole
// file, verified with CNG against the public key the program carries.
//
//   PackageSignature::PublicKey key;
//   PackageSignature::Signature signature;
//   std::string error;
//   if (!PackageSignature::ReadProgramKey(key, error) ||
//       !PackageSignature::ParseSignature(appcast.signature, signature, error) ||
//       !PackageSignature::VerifyFile(path, key, signature, error)) Refuse(error);
//
// The key is the program's resource "DSAPUB" of type "DSAPEM": a PEM
// "PUBLIC KEY" (SubjectPublicKeyInfo) of a P-256 key. The signature is the
// appcast's "signature" value: the 64 bytes r || s, each a 32-byte
// big-endian number, as 128 hexadecimal digits (scripts/package.sh writes
// it with openssl). ECDSA P-256 is what Wine's CNG verifies as Windows does;
// nothing here computes cryptography itself, it only unwraps the encodings.
//
// Thread: any.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace halyx::update {

class PackageSignature {
 public:
  // The uncompressed point without its 0x04 prefix: X then Y.
  using PublicKey = std::array<uint8_t, 64>;
  using Signature = std::array<uint8_t, 64>;

  // False with `error` unless `pem` is one P-256 public key.
  static bool ParsePublicKey(std::string_view pem, PublicKey& key, std::string& error);
  // The key of the running executable's "DSAPUB" resource.
  static bool ReadProgramKey(PublicKey& key, std::string& error);
  // False with `error` unless `hex` is exactly 128 hexadecimal digits.
  static bool ParseSignature(std::string_view hex, Signature& signature, std::string& error);
  // Hashes the file at `path` and verifies `signature` over it.
  static bool VerifyFile(const std::wstring& path, const PublicKey& key, const Signature& signature,
                         std::string& error);
};

}  // namespace halyx::update
