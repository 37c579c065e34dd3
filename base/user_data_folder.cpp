#include "base/user_data_folder.h"

#include <windows.h>

#include <spdlog/spdlog.h>

#include "base/all_users_directory.h"
#include "base/error_code.h"
#include "base/utf8.h"

namespace halyx {

UserDataFolder::Settings::Settings() : root(GetAllUsersDirectory), trusted(IsTrustedOwner) {}

bool UserDataFolder::Ensure(const std::wstring& sub, std::wstring& folder, const char* logPrefix,
                            const Settings& settings) {
  std::string root;
  if (!settings.root(root)) {
    spdlog::error("{}: GetAllUsersProfileDirectory failed ({:#x})", logPrefix, LastError());
    return false;
  }
  const std::wstring sid = CurrentUserSid();
  if (sid.empty()) {
    spdlog::error("{}: cannot read the user's SID ({:#x})", logPrefix, LastError());
    return false;
  }
  std::wstring path;
  if (!AppendDecoded(CP_ACP, 0, root, path) || path.empty()) {
    spdlog::error("{}: the all-users folder {} cannot be decoded", logPrefix, root);
    return false;
  }
  if (path.back() == L'\\') path.pop_back();
  const struct {
    std::wstring name;
    FolderReaders readers;
  } levels[] = {
      {kProductFolder, FolderReaders::kUsers},
      {kUsersFolder, FolderReaders::kAdministratorsOnly},
      {sid, FolderReaders::kAdministratorsOnly},
      {sub, FolderReaders::kAdministratorsOnly},
  };
  for (const auto& level : levels) {
    if (level.name.empty()) continue;
    path += L'\\';
    path += level.name;
    if (path.size() >= MAX_PATH - 20) {  // room for the files' names
      spdlog::error("{}: folder {} is too long", logPrefix, WideToUtf8(path));
      return false;
    }
    if (!EnsureProtectedFolder(path, logPrefix, level.readers, settings.trusted)) return false;
  }
  folder = std::move(path);
  return true;
}

}  // namespace halyx
