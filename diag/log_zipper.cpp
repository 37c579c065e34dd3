#include "diag/log_zipper.h"

#include <shlwapi.h>

#include <exception>
#include <memory>

#include <spdlog/spdlog.h>

#include "base/error_code.h"
#include "diag/memory_zip_archive.h"
#include "diag/text_file_reader.h"
#include "base/all_users_directory.h"
#include "base/protected_folder.h"
#include "base/user_data_folder.h"
#include "base/utf8.h"
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
    if (::GetLastError() == ERROR_CANT_ACCESS_FILE) {
      spdlog::warn("LogZipper: {} is a link, left out", path);
    } else {
      spdlog::warn("LogZipper: cannot open {} ({:#x})", path, LastError());
    }
    return false;
  }
  if (!zip.AddEntry(name, reader) && reader.failed()) {
    spdlog::warn("LogZipper: reading {} failed ({:#x})", path, LastError());
  }
  return true;
}

// A missing folder is not worth a line: the service may never have run.
bool CheckFolder(const std::string& folder, const TrustedOwner& trusted) {
  if (!::PathFileExistsA(folder.c_str())) return false;
  std::wstring wide;
  AppendDecoded(CP_ACP, 0, folder, wide);
  return CheckProtectedFolder(wide, "LogZipper", trusted);
}

std::string Narrow(const std::wstring& path) {
  const int size = ::WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string narrow(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, narrow.data(), size, nullptr, nullptr);
  narrow.resize(static_cast<std::size_t>(size) - 1);
  return narrow;
}

}  // namespace

LogZipper::Folders LogZipper::SystemFolders() {
  Folders folders;
  std::wstring client;
  if (UserDataFolder::Ensure(UserDataFolder::kLogs, client, "LogZipper")) folders.client = Narrow(client);
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
  // A folder is read only when it is a real one (no junction) that only
  // SYSTEM or Administrators can have made; the service's is made by the
  // service, which runs as SYSTEM.
  if (folders.client && CheckFolder(*folders.client, folders.trusted)) {
    for (const char* name : kClientLogs) any |= AddFile(zip, Join(*folders.client, name), name);
  }
  if (folders.service && CheckFolder(*folders.service, folders.trusted)) {
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
