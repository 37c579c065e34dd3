// The one-shot CNG digest that Md5Hasher and Sha256Hasher share: they differ
// only in the algorithm name and in the prefix of their log lines.
//
// Thread: any; the provider handle is only read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/unique_handle.h"

namespace halyx::cng {

// Opens `algorithm` on the "Microsoft Primitive Provider"; an empty owner,
// after "<prefix>: BCryptOpenAlgorithmProvider failed (..)", when it fails.
CngAlgorithmHandle OpenHashProvider(const wchar_t* algorithm, const char* prefix);

// Closes the provider, logging "<prefix>: BCryptCloseAlgorithmProvider failed
// (..)" when Windows refuses.
void CloseHashProvider(CngAlgorithmHandle& provider, const char* prefix);

// Hashes `size` bytes at `data` into `digest`. False, with `digest` unchanged,
// after one "<prefix>: BCrypt... failed (..)" line when a step fails. The hash
// object is destroyed before its buffer on every path.
bool Digest(BCRYPT_ALG_HANDLE provider, const char* prefix, const void* data, std::size_t size,
            std::vector<uint8_t>& digest);

}  // namespace halyx::cng
