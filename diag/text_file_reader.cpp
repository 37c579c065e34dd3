#include "diag/text_file_reader.h"

#include "base/protected_folder.h"
#include "base/utf8.h"

namespace halyx {

bool TextFileReader::Open(const std::string& path) {
  std::wstring wide;
  AppendDecoded(CP_ACP, 0, path, wide);
  file_ = OpenProtectedFile(wide, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
                            nullptr);
  if (!file_) return false;
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(file_.get(), &size)) {
    file_.reset();
    return false;
  }
  size_ = static_cast<uint64_t>(size.QuadPart);
  pendingCr_ = failed_ = ended_ = false;
  return true;
}

bool TextFileReader::Read(std::vector<char>& text) {
  text.clear();
  if (!file_ || ended_ || failed_) return false;
  char raw[kChunkSize];
  while (text.empty()) {
    DWORD got = 0;
    if (!::ReadFile(file_.get(), raw, kChunkSize, &got, nullptr)) {
      failed_ = true;
      return false;
    }
    if (got == 0) {
      ended_ = true;
      if (pendingCr_) {
        pendingCr_ = false;
        text.push_back('\r');
        return true;
      }
      return false;
    }
    text.reserve(got + 1);
    DWORD i = 0;
    if (pendingCr_) {
      pendingCr_ = false;
      if (raw[0] != '\n') text.push_back('\r');
    }
    for (; i < got; ++i) {
      if (raw[i] != '\r') {
        text.push_back(raw[i]);
      } else if (i + 1 == got) {
        pendingCr_ = true;
      } else if (raw[i + 1] != '\n') {
        text.push_back('\r');
      }
    }
  }
  return true;
}

}  // namespace halyx
