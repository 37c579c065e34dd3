// A fresh folder under the user's temporary folder, deleted with everything in
// it when the object goes away, and helpers for the files a test reads back.
//
// Thread: the test's thread.
#pragma once

#include <string>

namespace halyx::testing {

class ScopedTempDir {
 public:
  ScopedTempDir();
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  // Without a trailing separator.
  const std::wstring& path() const { return path_; }

 private:
  std::wstring path_;
};

// The whole content of a file, opened without denying other writers (the
// logger keeps its file open); empty when the file cannot be read.
std::string ReadWholeFile(const std::wstring& path);
bool FileExists(const std::wstring& path);
// Size in bytes, or -1 when the file does not exist.
long long FileSize(const std::wstring& path);

}  // namespace halyx::testing
