#include "platform/duilib/skin_archive.h"

#include <windows.h>

#include <algorithm>

// iowin32.h relies on zlib's declarations, which unzip.h brings in first.
#include <unzip.h>

#include <iowin32.h>

#include <spdlog/spdlog.h>

#include "base/error_code.h"
#include "platform/duilib/dui_string.h"

namespace DuiLib {

struct CSkinArchive::Zip {
  unzFile file = nullptr;
  ~Zip() {
    if (file != nullptr) unzClose(file);
  }
};

CSkinArchive::CSkinArchive() = default;
CSkinArchive::~CSkinArchive() = default;

bool CSkinArchive::Open(const std::wstring& path) {
  zip_.reset();
  path_ = path;
  const std::string printable = CDuiString(path).ToUtf8();
  if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    spdlog::error("DuiLib: skin archive {} not found ({:#x})", printable, halyx::LastError());
    return false;
  }
  // The wide-name file functions, so that folders outside the ANSI code
  // page work.
  zlib_filefunc64_def functions;
  fill_win32_filefunc64W(&functions);
  auto zip = std::make_unique<Zip>();
  zip->file = unzOpen2_64(path.c_str(), &functions);
  if (zip->file == nullptr) {
    spdlog::error("DuiLib: skin archive {} is not a zip archive", printable);
    return false;
  }
  zip_ = std::move(zip);
  return true;
}

bool CSkinArchive::IsOpen() const { return zip_ != nullptr; }

bool CSkinArchive::Read(const std::wstring& name, std::string* contents) const {
  contents->clear();
  CDuiString entry(name);
  entry.Replace(L"\\", L"/");
  const std::string entryName = entry.ToUtf8();
  const std::string archive = CDuiString(path_).ToUtf8();
  if (!zip_) {
    spdlog::error("DuiLib: skin archive {} is not open", archive);
    return false;
  }
  unzFile file = zip_->file;
  // 2: case-insensitive, as file names are on Windows.
  if (unzLocateFile(file, entryName.c_str(), 2) != UNZ_OK) {
    spdlog::error("DuiLib: {} not found in skin archive {}", entryName, archive);
    return false;
  }
  unz_file_info64 info{};
  if (unzGetCurrentFileInfo64(file, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK ||
      unzOpenCurrentFile(file) != UNZ_OK) {
    spdlog::error("DuiLib: {} in skin archive {} cannot be opened", entryName, archive);
    return false;
  }
  // The declared size is only a hint: read until the stream ends so that a
  // lying header cannot make us trust a short buffer.
  std::string data;
  data.reserve(static_cast<size_t>(std::min<ZPOS64_T>(info.uncompressed_size, 16u << 20)));
  char buffer[16384];
  int read = 0;
  while ((read = unzReadCurrentFile(file, buffer, sizeof buffer)) > 0) data.append(buffer, read);
  // unzCloseCurrentFile reports a CRC mismatch once the whole entry was read.
  const int closed = unzCloseCurrentFile(file);
  if (read < 0 || closed != UNZ_OK) {
    spdlog::error("DuiLib: {} in skin archive {} is damaged ({:#x})", entryName, archive,
                  halyx::SignedErrorCode(read < 0 ? read : closed));
    return false;
  }
  *contents = std::move(data);
  return true;
}

}  // namespace DuiLib
