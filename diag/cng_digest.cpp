#include "diag/cng_digest.h"

#include <spdlog/spdlog.h>

#include "base/error_code.h"

namespace halyx::cng {
namespace {

// STATUS_INVALID_PARAMETER, without pulling in the whole NTSTATUS table.
constexpr LONG kInvalidParameter = static_cast<LONG>(0xC000000DL);

bool ReadDword(BCRYPT_ALG_HANDLE provider, const wchar_t* property, const char* prefix, DWORD& value) {
  ULONG written = 0;
  const NTSTATUS status =
      ::BCryptGetProperty(provider, property, reinterpret_cast<PUCHAR>(&value), sizeof(value), &written, 0);
  if (!BCRYPT_SUCCESS(status)) {
    spdlog::warn("{}: BCryptGetProperty failed ({:#x})", prefix, CngStatus(status));
    return false;
  }
  return true;
}

}  // namespace

CngAlgorithmHandle OpenHashProvider(const wchar_t* algorithm, const char* prefix) {
  BCRYPT_ALG_HANDLE raw = nullptr;
  const NTSTATUS status = ::BCryptOpenAlgorithmProvider(&raw, algorithm, MS_PRIMITIVE_PROVIDER, 0);
  if (!BCRYPT_SUCCESS(status)) {
    spdlog::warn("{}: BCryptOpenAlgorithmProvider failed ({:#x})", prefix, CngStatus(status));
    return CngAlgorithmHandle();
  }
  return CngAlgorithmHandle(raw);
}

void CloseHashProvider(CngAlgorithmHandle& provider, const char* prefix) {
  if (!provider) return;
  const NTSTATUS status = ::BCryptCloseAlgorithmProvider(provider.release(), 0);
  if (!BCRYPT_SUCCESS(status)) {
    spdlog::warn("{}: BCryptCloseAlgorithmProvider failed ({:#x})", prefix, CngStatus(status));
  }
}

bool Digest(BCRYPT_ALG_HANDLE provider, const char* prefix, const void* data, std::size_t size,
            std::vector<uint8_t>& digest) {
  if (provider == nullptr) return false;
  // BCryptHashData takes a ULONG count; on the 32-bit client size_t is no
  // wider, but a 64-bit build must not silently hash a truncated buffer.
  if (size > ULONG(-1)) {
    spdlog::warn("{}: BCryptHashData failed ({:#x})", prefix, CngStatus(kInvalidParameter));
    return false;
  }
  DWORD objectLength = 0;
  if (!ReadDword(provider, BCRYPT_OBJECT_LENGTH, prefix, objectLength)) return false;
  std::vector<UCHAR> object(objectLength, 0);
  BCRYPT_HASH_HANDLE rawHash = nullptr;
  NTSTATUS status = ::BCryptCreateHash(provider, &rawHash, object.data(), objectLength, nullptr, 0, 0);
  if (!BCRYPT_SUCCESS(status)) {
    spdlog::warn("{}: BCryptCreateHash failed ({:#x})", prefix, CngStatus(status));
    return false;
  }
  // Declared after `object`, so the hash is destroyed before its buffer.
  CngHashHandle hash(rawHash);
  status = ::BCryptHashData(hash.get(), static_cast<PUCHAR>(const_cast<void*>(data)), static_cast<ULONG>(size), 0);
  if (!BCRYPT_SUCCESS(status)) {
    spdlog::warn("{}: BCryptHashData failed ({:#x})", prefix, CngStatus(status));
    return false;
  }
  DWORD digestLength = 0;
  if (!ReadDword(provider, BCRYPT_HASH_LENGTH, prefix, digestLength)) return false;
  std::vector<uint8_t> result(digestLength, 0);
  status = ::BCryptFinishHash(hash.get(), result.data(), digestLength, 0);
  if (!BCRYPT_SUCCESS(status)) {
    spdlog::warn("{}: BCryptFinishHash failed ({:#x})", prefix, CngStatus(status));
    return false;
  }
  digest = std::move(result);
  return true;
}

}  // namespace halyx::cng
