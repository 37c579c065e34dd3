#include "payload_sealer.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstdio>

#include "diag/hex_text.h"
#include "diag/payload_cipher.h"
#include "diag/payload_keys.h"
#include "base/unique_handle.h"

namespace halyx {
namespace {

bool Fail(const char* step, NTSTATUS status) {
  std::fprintf(stderr, "payload_tool: %s failed (0x%lx)\n", step, static_cast<unsigned long>(status));
  return false;
}

}  // namespace

bool SealWithKey(const std::vector<uint8_t>& key, const std::vector<uint8_t>& nonce, const std::string& plaintext,
                 std::vector<uint8_t>& sealed) {
  BCRYPT_ALG_HANDLE rawAlgorithm = nullptr;
  NTSTATUS status = ::BCryptOpenAlgorithmProvider(&rawAlgorithm, BCRYPT_AES_ALGORITHM, MS_PRIMITIVE_PROVIDER, 0);
  if (!BCRYPT_SUCCESS(status)) return Fail("BCryptOpenAlgorithmProvider", status);
  CngAlgorithmHandle algorithm(rawAlgorithm);
  status = ::BCryptSetProperty(algorithm.get(), BCRYPT_CHAINING_MODE,
                               reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_GCM)),
                               sizeof(BCRYPT_CHAIN_MODE_GCM), 0);
  if (!BCRYPT_SUCCESS(status)) return Fail("BCryptSetProperty", status);
  BCRYPT_KEY_HANDLE rawKey = nullptr;
  status = ::BCryptGenerateSymmetricKey(algorithm.get(), &rawKey, nullptr, 0, const_cast<PUCHAR>(key.data()),
                                        static_cast<ULONG>(key.size()), 0);
  if (!BCRYPT_SUCCESS(status)) return Fail("BCryptGenerateSymmetricKey", status);
  CngKeyHandle aes(rawKey);

  std::vector<uint8_t> out(plaintext.size() + PayloadCipher::kTagSize);
  std::vector<uint8_t> nonceCopy = nonce;
  BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
  BCRYPT_INIT_AUTH_MODE_INFO(info);
  info.pbNonce = nonceCopy.data();
  info.cbNonce = static_cast<ULONG>(nonceCopy.size());
  info.pbTag = out.data() + plaintext.size();
  info.cbTag = PayloadCipher::kTagSize;
  ULONG written = 0;
  status = ::BCryptEncrypt(aes.get(), reinterpret_cast<PUCHAR>(const_cast<char*>(plaintext.data())),
                           static_cast<ULONG>(plaintext.size()), &info, nullptr, 0, out.data(),
                           static_cast<ULONG>(plaintext.size()), &written, 0);
  if (!BCRYPT_SUCCESS(status)) return Fail("BCryptEncrypt", status);
  sealed = std::move(out);
  return true;
}

bool SealPayload(int adType, const std::string& keyText, const std::string& plaintext, std::string& payloadHex) {
  PayloadCipher cipher;
  std::vector<uint8_t> key;
  if (!cipher.KeyMaterial(adType, keyText, key)) {
    std::fprintf(stderr, "payload_tool: no key for adType %d with this key text\n", adType);
    return false;
  }
  std::vector<uint8_t> sealed;
  if (!SealWithKey(key, cipher.nonce(), plaintext, sealed)) return false;
  payloadHex = HexUpper(sealed.data(), sealed.size());
  return true;
}

std::string DeliveredKeyText(const std::vector<uint8_t>& nonce, const std::vector<uint8_t>& key) {
  std::string pair(nonce.begin(), nonce.end());
  pair.append(key.begin(), key.end());
  const std::vector<uint8_t> scrambled = Unscramble(pair, payload_keys::kDeliveredConstant);
  return HexUpper(scrambled.data(), scrambled.size());
}

std::string NewDeliveredKeyText() {
  std::vector<uint8_t> nonce(PayloadCipher::kNonceSize);
  std::vector<uint8_t> key(PayloadCipher::kKeySize);
  if (!BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, nonce.data(), static_cast<ULONG>(nonce.size()),
                                        BCRYPT_USE_SYSTEM_PREFERRED_RNG)) ||
      !BCRYPT_SUCCESS(
          ::BCryptGenRandom(nullptr, key.data(), static_cast<ULONG>(key.size()), BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
    std::fprintf(stderr, "payload_tool: BCryptGenRandom failed\n");
    return {};
  }
  return DeliveredKeyText(nonce, key);
}

}  // namespace halyx
