#include "tunnel/protected_folder.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <mutex>
#include <set>
#include <tuple>

#include <spdlog/spdlog.h>

#include "base/error_code.h"
#include "base/unique_handle.h"

namespace halyx {
namespace {

// Protected (nothing inherited from the all-users folder, which lets Users
// create sub-folders), inherited by everything below: SYSTEM and
// Administrators full control, Users read and traverse. Owned by
// Administrators, which the elevated client is a member of.
constexpr const wchar_t* kFolderSecurity = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

struct LocalFreeDeleter {
  void operator()(void* memory) const { ::LocalFree(memory); }
};

std::string SidText(PSID sid) {
  char* text = nullptr;
  if (!::ConvertSidToStringSidA(sid, &text)) return "an unknown owner";
  std::string result = text;
  ::LocalFree(text);
  return result;
}

// Folders this process created, known by volume and file index, which a
// folder removed and planted again under the same name does not keep (an
// NTFS file index carries a sequence number; under Wine it is the inode
// number, which a folder made after a removal may get again). Such a
// folder is the client's own whatever owner it reads as: Wine records no
// owners (every file reads as its user's), so without this the client's own
// folder would be refused on every write after the one that created it. On
// Windows the folder is owned by Administrators anyway.
using FolderId = std::tuple<DWORD, DWORD, DWORD>;
std::mutex g_createdMutex;
std::set<FolderId> g_createdFolders;

FolderId IdOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

FileHandle OpenFolder(const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
  FileHandle folder(::CreateFileA(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (folder && !::GetFileInformationByHandle(folder.get(), &info)) {
    PreserveLastError keep;  // for the caller's log line, past the close
    folder.reset();
  }
  return folder;
}

void RememberCreated(const std::string& path) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!OpenFolder(path, info)) return;  // then it is checked like any folder next time
  std::lock_guard<std::mutex> lock(g_createdMutex);
  g_createdFolders.insert(IdOf(info));
}

bool CreatedHere(const BY_HANDLE_FILE_INFORMATION& info) {
  std::lock_guard<std::mutex> lock(g_createdMutex);
  return g_createdFolders.count(IdOf(info)) != 0;
}

// The folder open without following a reparse point is a real folder created
// by this process or owned by an owner `trusted` accepts.
bool CheckExistingFolder(const std::string& path, const TrustedOwner& trusted) {
  BY_HANDLE_FILE_INFORMATION info{};
  FileHandle folder = OpenFolder(path, info);
  if (!folder) {
    spdlog::error("TunnelManager: cannot open folder {} ({:#x})", path, LastError());
    return false;
  }
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    spdlog::error("TunnelManager: {} is a reparse point, config not written", path);
    return false;
  }
  if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    spdlog::error("TunnelManager: {} exists and is not a directory", path);
    return false;
  }
  if (CreatedHere(info)) return true;
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD status = ::GetSecurityInfo(folder.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                         nullptr, nullptr, &descriptor);
  std::unique_ptr<void, LocalFreeDeleter> hold(descriptor);
  if (status != ERROR_SUCCESS) {
    spdlog::error("TunnelManager: cannot read the owner of {} ({:#x})", path, Win32Code(status));
    return false;
  }
  if (!trusted(owner)) {
    spdlog::error("TunnelManager: {} is owned by {}, not by SYSTEM or Administrators, config not written", path,
                  SidText(owner));
    return false;
  }
  return true;
}

}  // namespace

bool IsSystemOrAdministrators(PSID owner) {
  return ::IsWellKnownSid(owner, WinLocalSystemSid) || ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid);
}

bool EnsureProtectedFolder(const std::string& path, const TrustedOwner& trusted) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    // A file of that name is a failure: it is not ours to remove.
    spdlog::error("TunnelManager: {} exists and is not a directory", path);
    return false;
  }
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kFolderSecurity, SDDL_REVISION_1, &descriptor,
                                                                nullptr)) {
      spdlog::error("TunnelManager: cannot build the folder's access list ({:#x})", LastError());
      return false;
    }
    std::unique_ptr<void, LocalFreeDeleter> hold(descriptor);
    SECURITY_ATTRIBUTES security{sizeof(security), descriptor, FALSE};
    if (::CreateDirectoryA(path.c_str(), &security)) {
      RememberCreated(path);
      return true;
    }
    PreserveLastError error;
    // Anyone may have been quicker, the service (which creates "QuorVPN"
    // too) or a planter: checked like any folder found there.
    if (error.error() != ERROR_ALREADY_EXISTS) {
      spdlog::error("TunnelManager: CreateDirectory failed ({:#x})", error.code());
      return false;
    }
  }
  return CheckExistingFolder(path, trusted);
}

bool WriteProtectedFile(const std::string& path, const std::string& bytes) {
  // Opened, not created afresh: CREATE_ALWAYS would follow a link planted
  // under the name. Truncated only once the handle is known to be a plain
  // file of one name.
  FileHandle file(::CreateFileA(path.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) {
    spdlog::error("TunnelManager: cannot open config file {} ({:#x})", path, LastError());
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file.get(), &info)) {
    spdlog::error("TunnelManager: cannot open config file {} ({:#x})", path, LastError());
    return false;
  }
  if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) || info.nNumberOfLinks > 1) {
    spdlog::error("TunnelManager: config file {} is a link, not written", path);
    return false;
  }
  DWORD written = 0;
  if (!::SetEndOfFile(file.get()) ||
      !::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
      written != bytes.size() || !::FlushFileBuffers(file.get())) {
    spdlog::error("TunnelManager: cannot write config file {} ({:#x})", path, LastError());
    return false;
  }
  return true;
}

}  // namespace halyx
