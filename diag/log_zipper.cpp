#include "diag/log_zipper.h"

#include <shlwapi.h>

#include <exception>
#include <memory>

#include <spdlog/spdlog.h>

#include "base/error_code.h"
#include "diag/memory_zip_archive.h"
#include "diag/text_file_reader.h"
#include "base/all_users_directory.h"
#include "base/guard.h"

namespace halyx {
namespace {

constexpr const char* kClientLogs[] = {"quorvpn.log", "quorvpn.1.log", "quorvpn.2.log"};
constexpr const char* kServiceLogs[] = {"quor-svc.log", "quor-svc.1.log"};

std::string Join(const std::string& folder, const char* name) {
  if (folder.empty() || folder.back() == '\\' || folder.back() == '/') return folder + name;
  return folder + '\\' + name;
}

// Adds the file at `path` under `name`. A missing file is silently left out:
// most of the logs do not exist on most machines. One that exists but cannot
// be read is worth a line.
bool AddFile(MemoryZipArchive& zip, const std::string& path, const std::string& name) {
  if (!::PathFileExistsA(path.c_str())) return false;
  TextFileReader reader;
  if (!reader.Open(path)) {
    spdlog::warn("LogZipper: cannot open {} ({:#x})", path, LastError());
    return false;
  }
  if (!zip.AddEntry(name, reader) && reader.failed()) {
    spdlog::warn("LogZipper: reading {} failed ({:#x})", path, LastError());
  }
  return true;
}

}  // namespace

LogZipper::Folders LogZipper::SystemFolders() {
  Folders folders;
  char temp[MAX_PATH + 1] = {};
  const DWORD length = ::GetTempPathA(MAX_PATH + 1, temp);
  // A longer temp path than the buffer returns its size and fills nothing.
  if (length > MAX_PATH) ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
  if (length == 0 || length > MAX_PATH) {
    spdlog::error("LogZipper: GetTempPathA failed ({:#x})", LastError());
  } else {
    folders.client = Join(temp, "QuorVPN");
  }
  std::string allUsers;
  if (!GetAllUsersDirectory(allUsers)) {
    spdlog::error("LogZipper: GetAllUsersProfileDirectoryA failed ({:#x})", LastError());
  } else {
    folders.service = Join(Join(allUsers, "QuorVPN"), "log");
  }
  return folders;
}

bool LogZipper::Zip(std::vector<uint8_t>& buffer, const std::string& extraPath) const {
  buffer.clear();
  MemoryZipArchive zip(maxArchiveSize_);
  const Folders folders = folders_ ? *folders_ : SystemFolders();
  bool any = false;
  if (folders.client) {
    for (const char* name : kClientLogs) any |= AddFile(zip, Join(*folders.client, name), name);
  }
  if (folders.service) {
    for (const char* name : kServiceLogs) any |= AddFile(zip, Join(*folders.service, name), name);
    if (!extraPath.empty()) AddFile(zip, extraPath, ::PathFindFileNameA(extraPath.c_str()));
  }
  zip.Close(buffer);
  return any;
}

void ZipLogsWorker(HWND window, std::string extraPath) { ZipLogsWorker(window, std::move(extraPath), LogZipper()); }

void ZipLogsWorker(HWND window, std::string extraPath, const LogZipper& zipper) {
  Guarded("LogZipper: worker", [&] {
    auto archive = std::make_unique<std::vector<uint8_t>>();
    try {
      zipper.Zip(*archive, extraPath);
    } catch (const std::exception& e) {
      // The page gets an empty archive (its "no logs" answer) rather than
      // nothing at all.
      spdlog::error("LogZipper: {}", e.what());
      archive->clear();
    }
    if (!PostPayload(window, kLogArchiveMessage, std::move(archive))) {
      spdlog::warn("PostMessageW from zipper worker failed: {}", ::GetLastError());
    }
  });
}

}  // namespace halyx
