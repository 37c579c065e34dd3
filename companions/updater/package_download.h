// Downloads an update package over WinHTTP into a file the caller opened.
//
//   std::string error;
//   if (!PackageDownload::Get(url, appcast.size, file.get(), progress, error)) Refuse(error);
//
// The URL follows the appcast's rule (https, or plain http to this machine).
// The size is the appcast's: more than kMaxBytes is refused before asking,
// an announced length that differs is refused before reading, and the body
// must end at exactly that many bytes; more is cut off and refused, fewer
// (a connection that ends early) is refused as truncated. Each WinHTTP step
// has its timeout and the whole download a deadline, so a server that
// trickles cannot hold the updater. `progress` is called after each chunk
// with the bytes so far and the total; when it returns false the download
// stops there (the person gave it up).
//
// Thread: a worker thread of its own (Get blocks).
#pragma once

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace halyx::update {

class PackageDownload {
 public:
  static constexpr uint64_t kMaxBytes = 512ull * 1024 * 1024;

  struct Limits {
    std::chrono::milliseconds deadline{std::chrono::minutes(10)};
    int stepTimeoutMs = 30000;
  };
  using Progress = std::function<bool(uint64_t received, uint64_t total)>;

  // False with `error` in words for the user; `file` then holds whatever
  // arrived, which the caller deletes.
  static bool Get(const std::wstring& url, uint64_t size, HANDLE file, const Progress& progress, std::string& error,
                  const Limits& limits);
};

}  // namespace halyx::update
