#include "diag/payload_cipher.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

#include <spdlog/spdlog.h>

#include "base/error_code.h"
#include "diag/payload_keys.h"

namespace halyx {
namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view AsText(const std::vector<uint8_t>& bytes) {
  return std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// Key bytes leave memory as soon as CNG holds its own copy.
class ScrubbedBytes {
 public:
  explicit ScrubbedBytes(std::vector<uint8_t>& bytes) : bytes_(bytes) {}
  ~ScrubbedBytes() { ::SecureZeroMemory(bytes_.data(), bytes_.size()); }
  ScrubbedBytes(const ScrubbedBytes&) = delete;
  ScrubbedBytes& operator=(const ScrubbedBytes&) = delete;

 private:
  std::vector<uint8_t>& bytes_;
};

}  // namespace

bool HexDecode(std::string_view text, std::vector<uint8_t>& bytes) {
  if (text.size() % 2 != 0) {
    spdlog::warn("C: invalid hex length");
    return false;
  }
  std::vector<uint8_t> decoded;
  decoded.reserve(text.size() / 2);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    // Both characters must be digits: reading "1G" as 0x01 would hand the
    // cipher a byte nobody sent.
    const int high = HexValue(text[i]);
    const int low = HexValue(text[i + 1]);
    if (high < 0 || low < 0) return false;
    decoded.push_back(static_cast<uint8_t>(high << 4 | low));
  }
  bytes = std::move(decoded);
  return true;
}

std::vector<uint8_t> Unscramble(std::string_view text, uint8_t constant) {
  std::vector<uint8_t> bytes(text.begin(), text.end());
  for (uint8_t& b : bytes) b ^= constant;
  return bytes;
}

PayloadCipher::~PayloadCipher() { ::SecureZeroMemory(nonce_.data(), nonce_.size()); }

bool PayloadCipher::KeyMaterial(int adType, const std::string& keyText, std::vector<uint8_t>& key) {
  if (!md5_) md5_ = Md5Hasher::Create();
  if (!sha256_) sha256_ = Sha256Hasher::Create();

  switch (adType) {
    case 1:
      key = Unscramble(payload_keys::kBuiltInKeyText, payload_keys::kBuiltInConstant);
      nonce_ = Unscramble(payload_keys::kBuiltInNonceText, payload_keys::kBuiltInConstant);
      return true;
    case 2: {
      std::vector<uint8_t> delivered;
      if (!HexDecode(keyText, delivered)) {
        spdlog::warn("C: if 2 dh");
        return false;
      }
      if (delivered.size() != kDeliveredKeySize) {
        spdlog::warn("C: if 2 dhl");
        return false;
      }
      std::vector<uint8_t> plain = Unscramble(AsText(delivered), payload_keys::kDeliveredConstant);
      ScrubbedBytes scrub(plain);
      nonce_.assign(plain.begin(), plain.begin() + kNonceSize);
      key.assign(plain.begin() + kNonceSize, plain.end());
      return true;
    }
    case 3: {
      std::vector<uint8_t> sha;
      if (!sha256_->Hash(keyText.data(), keyText.size(), sha)) {
        spdlog::warn("C: if 3 s");
        return false;
      }
      std::vector<uint8_t> md5;
      if (!md5_->Hash(keyText.data(), keyText.size(), md5)) {
        spdlog::warn("C: if 3 m");
        return false;
      }
      key = std::move(sha);
      nonce_.assign(md5.begin(), md5.begin() + kNonceSize);
      return true;
    }
    default:
      spdlog::warn("C: invalid adType {}", adType);
      return false;
  }
}

bool PayloadCipher::PrepareKey(CngAlgorithmHandle& algorithm, CngKeyHandle& key, int adType,
                               const std::string& keyText) {
  key.reset();
  algorithm.reset();
  std::vector<uint8_t> keyBytes;
  ScrubbedBytes scrub(keyBytes);
  if (!KeyMaterial(adType, keyText, keyBytes)) return false;

  BCRYPT_ALG_HANDLE rawAlgorithm = nullptr;
  NTSTATUS status = ::BCryptOpenAlgorithmProvider(&rawAlgorithm, BCRYPT_AES_ALGORITHM, MS_PRIMITIVE_PROVIDER, 0);
  if (!BCRYPT_SUCCESS(status)) {
    spdlog::warn("C: BCryptOpenAlgorithmProvider failed ({:#x})", CngStatus(status));
    return false;
  }
  CngAlgorithmHandle provider(rawAlgorithm);
  status = ::BCryptSetProperty(provider.get(), BCRYPT_CHAINING_MODE,
                               reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_GCM)),
                               sizeof(BCRYPT_CHAIN_MODE_GCM), 0);
  if (!BCRYPT_SUCCESS(status)) {
    spdlog::warn("C: BCryptSetProperty failed ({:#x})", CngStatus(status));
    return false;
  }
  BCRYPT_KEY_HANDLE rawKey = nullptr;
  status = ::BCryptGenerateSymmetricKey(provider.get(), &rawKey, nullptr, 0, keyBytes.data(),
                                        static_cast<ULONG>(keyBytes.size()), 0);
  if (!BCRYPT_SUCCESS(status)) {
    spdlog::warn("C: BCryptGenerateSymmetricKey failed ({:#x})", CngStatus(status));
    return false;
  }
  // The key is destroyed before its provider: `key` is the caller's
  // responsibility from here, and Decrypt() releases it first.
  key.reset(rawKey);
  algorithm = std::move(provider);
  return true;
}

bool PayloadCipher::Decrypt(const std::string& payloadHex, int adType, const std::string& keyText,
                            std::string& plaintext) {
  // Declared in this order so that leaving early destroys the key first.
  CngAlgorithmHandle algorithm;
  CngKeyHandle key;
  if (!PrepareKey(algorithm, key, adType, keyText)) return false;

  std::vector<uint8_t> payload;
  if (!HexDecode(payloadHex, payload)) {
    spdlog::warn("C: df dh");
    return false;
  }
  // Without room for the tag there is nothing to authenticate; CNG must not
  // be handed a tag pointer before the buffer.
  if (payload.size() < kTagSize) {
    spdlog::warn("C: df payload of {} bytes has no room for the tag", payload.size());
    return false;
  }
  const ULONG cipherSize = static_cast<ULONG>(payload.size() - kTagSize);

  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
  BCRYPT_INIT_AUTH_MODE_INFO(info);
  info.pbNonce = nonce_.data();
  info.cbNonce = static_cast<ULONG>(nonce_.size());
  info.pbTag = payload.data() + cipherSize;
  info.cbTag = kTagSize;

  std::vector<uint8_t> iv = nonce_;
  ULONG written = 0;
  const NTSTATUS status = ::BCryptDecrypt(key.get(), payload.data(), cipherSize, &info, iv.data(),
                                          static_cast<ULONG>(iv.size()), payload.data(), cipherSize, &written, 0);
  if (!BCRYPT_SUCCESS(status)) {
    spdlog::warn("C: df ({:#x})", CngStatus(status));
    return false;
  }

  // The plaintext is narrow text; an embedded zero byte ends it.
  const uint8_t* begin = payload.data();
  const uint8_t* end = std::find(begin, begin + std::min<ULONG>(written, cipherSize), uint8_t{0});
  plaintext.assign(reinterpret_cast<const char*>(begin), static_cast<std::size_t>(end - begin));

  NTSTATUS release = ::BCryptDestroyKey(key.release());
  if (!BCRYPT_SUCCESS(release)) spdlog::warn("C: BCryptDestroyKey failed ({:#x})", CngStatus(release));
  release = ::BCryptCloseAlgorithmProvider(algorithm.release(), 0);
  if (!BCRYPT_SUCCESS(release)) spdlog::warn("C: BCryptCloseAlgorithmProvider failed ({:#x})", CngStatus(release));

  for (std::size_t i = 0; i < nonce_.size(); ++i) nonce_[i] = static_cast<uint8_t>(i);
  return true;
}

}  // namespace halyx
