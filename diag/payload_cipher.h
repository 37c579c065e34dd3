// Decrypts the payloads that the page hands over (server lists and other
// configuration): hexadecimal text of AES-256-GCM ciphertext followed by its
// 16-byte tag, with a 96-bit nonce and no associated data. The key and nonce
// come from one of three key modes, the `adType`:
//
//   1  built-in: unscrambled from payload_keys.h; the key text is ignored
//   2  delivered: the key text is 88 hexadecimal characters of 44 scrambled
//      bytes, nonce (12) then key (32)
//   3  derived: key = SHA-256 of the key text, nonce = the first 12 bytes of
//      its MD5 digest
//
//   PayloadCipher cipher;
//   std::string json;
//   if (!cipher.Decrypt(payloadHex, adType, keyText, json)) return false;  // logged
//
// One object serves one decryption. The AES provider and key live only
// inside Decrypt() and are released on every path; the nonce is scrubbed
// after a successful decryption. Every failure logs one "C: " warning.
//
// Thread: the GUI thread (inside a dispatch call); nothing is shared.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "diag/md5_hasher.h"
#include "diag/sha256_hasher.h"
#include "base/unique_handle.h"

namespace halyx {

class PayloadCipher {
 public:
  static constexpr std::size_t kKeySize = 32;
  static constexpr std::size_t kNonceSize = 12;
  static constexpr std::size_t kTagSize = 16;
  // Decoded size of a delivered key text: nonce, then key.
  static constexpr std::size_t kDeliveredKeySize = kNonceSize + kKeySize;

  PayloadCipher() = default;
  ~PayloadCipher();
  PayloadCipher(const PayloadCipher&) = delete;
  PayloadCipher& operator=(const PayloadCipher&) = delete;

  // Decrypts `payloadHex` (either case) into `plaintext`, cut at the first
  // zero byte. False, with `plaintext` unchanged, when the key cannot be
  // set up, the text is not hexadecimal, it is too short to hold the tag or
  // authentication fails.
  bool Decrypt(const std::string& payloadHex, int adType, const std::string& keyText, std::string& plaintext);

  // Opens the AES-GCM provider and creates the key of the mode into
  // `algorithm` and `key`, and keeps the mode's nonce. On failure both owners
  // are left empty.
  bool PrepareKey(CngAlgorithmHandle& algorithm, CngKeyHandle& key, int adType, const std::string& keyText);

  // The key bytes and the nonce of a mode, without touching AES. Whatever
  // seals payloads for this client derives its key through here too, so the
  // two sides cannot drift apart.
  bool KeyMaterial(int adType, const std::string& keyText, std::vector<uint8_t>& key);

  const std::vector<uint8_t>& nonce() const { return nonce_; }

 private:
  std::vector<uint8_t> nonce_;
  std::unique_ptr<Md5Hasher> md5_;
  std::unique_ptr<Sha256Hasher> sha256_;
};

// Hexadecimal text to bytes, digits in either case. An odd length fails
// after the warning "C: invalid hex length"; any other character that is not
// a hexadecimal digit fails silently (the caller logs what it was decoding).
// `bytes` is unchanged on failure. An empty text is no bytes.
bool HexDecode(std::string_view text, std::vector<uint8_t>& bytes);

// Every byte of `text` exclusive-or `constant`; its own inverse.
std::vector<uint8_t> Unscramble(std::string_view text, uint8_t constant);

}  // namespace halyx
