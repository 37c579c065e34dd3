#include "package_signature.h"

#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

#include <algorithm>
#include <vector>

#include "base/unique_handle.h"

namespace halyx::update {
namespace {

// The DER of a SubjectPublicKeyInfo for id-ecPublicKey on prime256v1, up to
// the uncompressed point (0x04 || X || Y) that ends it. A key of any other
// algorithm or curve differs in these bytes.
constexpr uint8_t kP256Prefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01, 0x06,
                                   0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};
constexpr DWORD kReadChunk = 1 << 16;

std::string Status(const char* what, NTSTATUS status) {
  char code[16];
  std::snprintf(code, sizeof(code), "%#lx", static_cast<unsigned long>(status));
  return std::string(what) + " (" + code + ")";
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool PackageSignature::ParsePublicKey(std::string_view pem, PublicKey& key, std::string& error) {
  DWORD size = 0;
  if (pem.empty() || !::CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                                             nullptr, &size, nullptr, nullptr)) {
    error = "the program's update key is not a PEM text";
    return false;
  }
  std::vector<uint8_t> der(size);
  if (!::CryptStringToBinaryA(pem.data(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, der.data(), &size,
                              nullptr, nullptr)) {
    error = "the program's update key is not a PEM text";
    return false;
  }
  der.resize(size);
  if (der.size() != sizeof(kP256Prefix) + key.size() ||
      !std::equal(std::begin(kP256Prefix), std::end(kP256Prefix), der.begin())) {
    error = "the program's update key is not an ECDSA P-256 key";
    return false;
  }
  std::copy(der.begin() + sizeof(kP256Prefix), der.end(), key.begin());
  return true;
}

bool PackageSignature::ReadProgramKey(PublicKey& key, std::string& error) {
  const HMODULE program = ::GetModuleHandleW(nullptr);
  const HRSRC resource = ::FindResourceW(program, L"DSAPUB", L"DSAPEM");
  const HGLOBAL loaded = resource != nullptr ? ::LoadResource(program, resource) : nullptr;
  const void* bytes = loaded != nullptr ? ::LockResource(loaded) : nullptr;
  if (bytes == nullptr) {
    error = "the program carries no update key";
    return false;
  }
  const DWORD size = ::SizeofResource(program, resource);
  return ParsePublicKey(std::string_view(static_cast<const char*>(bytes), size), key, error);
}

bool PackageSignature::ParseSignature(std::string_view hex, Signature& signature, std::string& error) {
  if (hex.size() != signature.size() * 2) {
    error = "the offer's signature is not 128 hexadecimal digits";
    return false;
  }
  for (std::size_t i = 0; i < signature.size(); ++i) {
    const int high = HexDigit(hex[2 * i]);
    const int low = HexDigit(hex[2 * i + 1]);
    if (high < 0 || low < 0) {
      error = "the offer's signature is not 128 hexadecimal digits";
      return false;
    }
    signature[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return true;
}

bool PackageSignature::VerifyFile(const std::wstring& path, const PublicKey& key, const Signature& signature,
                                  std::string& error) {
  BCRYPT_ALG_HANDLE rawHash = nullptr;
  NTSTATUS status = ::BCryptOpenAlgorithmProvider(&rawHash, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
  const CngAlgorithmHandle hashAlgorithm(rawHash);
  BCRYPT_HASH_HANDLE rawDigest = nullptr;
  if (BCRYPT_SUCCESS(status)) status = ::BCryptCreateHash(rawHash, &rawDigest, nullptr, 0, nullptr, 0, 0);
  const CngHashHandle digest(rawDigest);
  if (!BCRYPT_SUCCESS(status)) {
    error = Status("SHA-256 is not available", status);
    return false;
  }
  const FileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) {
    error = "the downloaded package cannot be read (error " + std::to_string(::GetLastError()) + ")";
    return false;
  }
  std::vector<uint8_t> chunk(kReadChunk);
  for (;;) {
    DWORD read = 0;
    if (!::ReadFile(file.get(), chunk.data(), kReadChunk, &read, nullptr)) {
      error = "the downloaded package cannot be read (error " + std::to_string(::GetLastError()) + ")";
      return false;
    }
    if (read == 0) break;
    status = ::BCryptHashData(digest.get(), chunk.data(), read, 0);
    if (!BCRYPT_SUCCESS(status)) {
      error = Status("hashing the package failed", status);
      return false;
    }
  }
  uint8_t hash[32];
  status = ::BCryptFinishHash(digest.get(), hash, sizeof(hash), 0);
  if (!BCRYPT_SUCCESS(status)) {
    error = Status("hashing the package failed", status);
    return false;
  }

  BCRYPT_ALG_HANDLE rawEcdsa = nullptr;
  status = ::BCryptOpenAlgorithmProvider(&rawEcdsa, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
  const CngAlgorithmHandle ecdsa(rawEcdsa);
  if (!BCRYPT_SUCCESS(status)) {
    error = Status("ECDSA P-256 is not available", status);
    return false;
  }
  std::vector<uint8_t> blob(sizeof(BCRYPT_ECCKEY_BLOB) + key.size());
  auto* header = reinterpret_cast<BCRYPT_ECCKEY_BLOB*>(blob.data());
  header->dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
  header->cbKey = static_cast<ULONG>(key.size() / 2);
  std::copy(key.begin(), key.end(), blob.begin() + sizeof(BCRYPT_ECCKEY_BLOB));
  BCRYPT_KEY_HANDLE rawKey = nullptr;
  status = ::BCryptImportKeyPair(rawEcdsa, nullptr, BCRYPT_ECCPUBLIC_BLOB, &rawKey, blob.data(),
                                 static_cast<ULONG>(blob.size()), 0);
  const CngKeyHandle publicKey(rawKey);
  if (!BCRYPT_SUCCESS(status)) {
    error = Status("the program's update key cannot be used", status);
    return false;
  }
  status = ::BCryptVerifySignature(publicKey.get(), nullptr, hash, sizeof(hash), const_cast<uint8_t*>(signature.data()),
                                   static_cast<ULONG>(signature.size()), 0);
  if (!BCRYPT_SUCCESS(status)) {
    error = status == static_cast<NTSTATUS>(0xC000A000L)  // STATUS_INVALID_SIGNATURE
                ? "the package's signature does not match"
                : Status("the package's signature cannot be checked", status);
    return false;
  }
  return true;
}

}  // namespace halyx::update
