#include "base/protected_folder.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <mutex>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "base/error_code.h"
#include "base/utf8.h"

namespace halyx {
namespace {

// Protected (nothing inherited from the parent, which may let Users create
// sub-folders, as the all-users folder does), inherited by everything below:
// SYSTEM and Administrators full control, Users read and traverse where the
// folder allows them. Owned by Administrators, which the elevated client is a
// member of.
constexpr const wchar_t* kAdministratorsOnlySecurity = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr const wchar_t* kUsersReadSecurity = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

struct LocalFreeDeleter {
  void operator()(void* memory) const { ::LocalFree(memory); }
};
using LocalMemory = std::unique_ptr<void, LocalFreeDeleter>;

// One error line "<prefix>: <text>"; none for a null prefix.
template <typename... Args>
void Report(const char* prefix, fmt::format_string<Args...> format, Args&&... args) {
  if (prefix == nullptr) return;
  PreserveLastError keep;
  spdlog::error("{}: {}", prefix, fmt::format(format, std::forward<Args>(args)...));
}

std::string SidText(PSID sid) {
  char* text = nullptr;
  if (!::ConvertSidToStringSidA(sid, &text)) return "an unknown owner";
  std::string result = text;
  ::LocalFree(text);
  return result;
}

// Wine keeps no owners, and it opens the target of a symbolic link even
// when asked not to follow it (FILE_FLAG_OPEN_REPARSE_POINT), so a handle
// there reads as the target's. These two helpers hold what the client does
// about it (docs/wine.md); neither loosens anything on Windows.
bool RunningUnderWine() {
  static const bool wine =
      ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;  // Wine's own export
  return wine;
}

// The name itself is a reparse point. On Windows the handle's attributes
// already say so; this second look at the name (which does not follow its
// last component) is what shows a link under Wine.
bool NameIsReparsePoint(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Folders this process created, known by volume and file index, which a
// folder removed and planted again under the same name does not keep (an
// NTFS file index carries a sequence number; under Wine it is the inode
// number, which a folder made after a removal may get again). Such a folder
// is the client's own whatever owner it reads as.
using FolderId = std::tuple<DWORD, DWORD, DWORD>;
std::mutex g_createdMutex;
std::set<FolderId> g_createdFolders;

FolderId IdOf(const BY_HANDLE_FILE_INFORMATION& info) {
  return {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

FileHandle OpenFolder(const std::wstring& path, DWORD access, BY_HANDLE_FILE_INFORMATION& info) {
  FileHandle folder(::CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (folder && !::GetFileInformationByHandle(folder.get(), &info)) {
    PreserveLastError keep;  // for the caller's log line, past the close
    folder.reset();
  }
  return folder;
}

void RememberCreated(const std::wstring& path) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!OpenFolder(path, 0, info)) return;  // then it is checked like any folder next time
  std::lock_guard<std::mutex> lock(g_createdMutex);
  g_createdFolders.insert(IdOf(info));
}

bool CreatedHere(const BY_HANDLE_FILE_INFORMATION& info) {
  std::lock_guard<std::mutex> lock(g_createdMutex);
  return g_createdFolders.count(IdOf(info)) != 0;
}

LocalMemory Descriptor(FolderReaders readers) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const wchar_t* text = readers == FolderReaders::kUsers ? kUsersReadSecurity : kAdministratorsOnlySecurity;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1, &descriptor, nullptr)) {
    return nullptr;
  }
  return LocalMemory(descriptor);
}

// The folder open without following a reparse point is a real folder created
// by this process or owned by an owner `trusted` accepts. With `descriptor`,
// its access list is then set to that one's; on the folder alone, without
// walking what is inside (which may hold links of an older, looser time).
bool CheckExistingFolder(const std::wstring& path, const char* prefix, const TrustedOwner& trusted,
                         PSECURITY_DESCRIPTOR descriptor) {
  const std::string name = WideToUtf8(path);
  BY_HANDLE_FILE_INFORMATION info{};
  FileHandle folder = OpenFolder(path, READ_CONTROL | (descriptor != nullptr ? WRITE_DAC : 0), info);
  if (!folder) {
    Report(prefix, "cannot open folder {} ({:#x})", name, LastError());
    return false;
  }
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || NameIsReparsePoint(path)) {
    Report(prefix, "{} is a reparse point, not used", name);
    return false;
  }
  if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    Report(prefix, "{} exists and is not a directory", name);
    return false;
  }
  if (!CreatedHere(info)) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR current = nullptr;
    const DWORD status = ::GetSecurityInfo(folder.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                           nullptr, nullptr, &current);
    LocalMemory hold(current);
    if (status != ERROR_SUCCESS) {
      Report(prefix, "cannot read the owner of {} ({:#x})", name, Win32Code(status));
      return false;
    }
    if (!trusted(owner)) {
      Report(prefix, "{} is owned by {}, not by SYSTEM or Administrators", name, SidText(owner));
      return false;
    }
  }
  // SetKernelObjectSecurity, not SetSecurityInfo: the latter also rewrites
  // every child's inherited entries, and a child that is a hard link would
  // carry the rewrite to a file elsewhere.
  if (descriptor != nullptr && !::SetKernelObjectSecurity(folder.get(), DACL_SECURITY_INFORMATION, descriptor)) {
    Report(prefix, "cannot set the access list of {} ({:#x})", name, LastError());
    return false;
  }
  return true;
}

// The handle is a plain file of one name (and its name no link either).
bool IsPlainFile(HANDLE file, const std::wstring& path, BY_HANDLE_FILE_INFORMATION& info) {
  return ::GetFileInformationByHandle(file, &info) &&
         !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) &&
         info.nNumberOfLinks == 1 && !NameIsReparsePoint(path);
}

}  // namespace

bool IsSystemOrAdministrators(PSID owner) {
  return ::IsWellKnownSid(owner, WinLocalSystemSid) || ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid);
}

bool IsTrustedOwner(PSID owner) {
  if (IsSystemOrAdministrators(owner)) return true;
  if (!RunningUnderWine()) return false;
  PSID user = nullptr;
  const std::wstring sid = CurrentUserSid();
  if (sid.empty() || !::ConvertStringSidToSidW(sid.c_str(), &user)) return false;
  LocalMemory hold(user);
  return ::EqualSid(owner, user) != FALSE;
}

bool EnsureProtectedFolder(const std::wstring& path, const char* logPrefix, FolderReaders readers,
                           const TrustedOwner& trusted) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    // A file of that name is a failure: it is not ours to remove.
    Report(logPrefix, "{} exists and is not a directory", WideToUtf8(path));
    return false;
  }
  const LocalMemory descriptor = Descriptor(readers);
  if (!descriptor) {
    Report(logPrefix, "cannot build the folder's access list ({:#x})", LastError());
    return false;
  }
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    SECURITY_ATTRIBUTES security{sizeof(security), descriptor.get(), FALSE};
    if (::CreateDirectoryW(path.c_str(), &security)) {
      RememberCreated(path);
      return true;
    }
    PreserveLastError error;
    // Anyone may have been quicker, the service (which creates "QuorVPN"
    // too) or a planter: checked like any folder found there.
    if (error.error() != ERROR_ALREADY_EXISTS) {
      Report(logPrefix, "CreateDirectory failed ({:#x})", error.code());
      return false;
    }
  }
  return CheckExistingFolder(path, logPrefix, trusted, descriptor.get());
}

bool EnsureProtectedFolderTree(const std::wstring& path, const char* logPrefix) {
  // Past a drive ("C:\") or a server and share ("\\server\share\").
  std::size_t at = path.rfind(L"\\\\", 0) == 0 ? path.find(L'\\', path.find(L'\\', 2) + 1) : path.find(L'\\', 3);
  for (; at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
    const std::wstring level = path.substr(0, at);
    if (::GetFileAttributesW(level.c_str()) == INVALID_FILE_ATTRIBUTES && !EnsureProtectedFolder(level, logPrefix)) {
      return false;
    }
  }
  return EnsureProtectedFolder(path, logPrefix);
}

bool CheckProtectedFolder(const std::wstring& path, const char* logPrefix, const TrustedOwner& trusted) {
  return CheckExistingFolder(path, logPrefix, trusted, nullptr);
}

FileHandle OpenProtectedFile(const std::wstring& path, DWORD access, DWORD share, DWORD disposition,
                             const char* logPrefix) {
  // Opened, never created afresh or truncated by the open itself:
  // CREATE_ALWAYS would follow a link planted under the name.
  FileHandle file(::CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES, share, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) {
    PreserveLastError keep;
    const DWORD error = keep.error();
    if ((disposition != OPEN_EXISTING || (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND))) {
      Report(logPrefix, "cannot open {} ({:#x})", WideToUtf8(path), keep.code());
    }
    return file;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!IsPlainFile(file.get(), path, info)) {
    Report(logPrefix, "{} is a link, not used", WideToUtf8(path));
    file.reset();
    ::SetLastError(ERROR_CANT_ACCESS_FILE);
  }
  return file;
}

std::size_t RenameScratchSize(std::size_t length) {
  return (sizeof(FILE_RENAME_INFO) + length * sizeof(wchar_t)) / sizeof(ULONGLONG) + 1;
}

bool RenameOpenFile(HANDLE file, const std::wstring& target, std::vector<ULONGLONG>& scratch) {
  // FILE_RENAME_INFO ends in a flexible name: room for it, suitably aligned.
  scratch.resize(RenameScratchSize(target.size()));
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(scratch.data());
  rename->ReplaceIfExists = TRUE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
  target.copy(rename->FileName, target.size());
  return ::SetFileInformationByHandle(file, FileRenameInfo, rename,
                                      static_cast<DWORD>(scratch.size() * sizeof(ULONGLONG))) != FALSE;
}

bool RenameOpenFile(HANDLE file, const std::wstring& target) {
  std::vector<ULONGLONG> scratch;
  return RenameOpenFile(file, target, scratch);
}

bool WriteProtectedFile(const std::wstring& path, const std::string& bytes, const char* logPrefix) {
  FileHandle file = OpenProtectedFile(path, GENERIC_WRITE, FILE_SHARE_READ, OPEN_ALWAYS, logPrefix);
  if (!file) return false;
  // Truncated only now that the handle is known to be a plain file of one name.
  DWORD written = 0;
  if (!::SetEndOfFile(file.get()) ||
      !::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
      written != bytes.size() || !::FlushFileBuffers(file.get())) {
    Report(logPrefix, "cannot write {} ({:#x})", WideToUtf8(path), LastError());
    return false;
  }
  return true;
}

bool ReplaceProtectedFile(const std::wstring& path, const std::string& bytes, const char* logPrefix) {
  const std::wstring temp = path + L".tmp";
  FileHandle file = OpenProtectedFile(temp, GENERIC_WRITE | DELETE, 0, OPEN_ALWAYS, logPrefix);
  if (!file) return false;
  DWORD written = 0;
  if (!::SetEndOfFile(file.get()) ||
      !::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
      written != bytes.size() || !::FlushFileBuffers(file.get())) {
    Report(logPrefix, "cannot write {} ({:#x})", WideToUtf8(temp), LastError());
    return false;
  }
  if (!RenameOpenFile(file.get(), path)) {
    Report(logPrefix, "cannot rename {} ({:#x})", WideToUtf8(temp), LastError());
    return false;
  }
  return true;
}

std::wstring CurrentUserSid() {
  HANDLE raw = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return {};
  const ProcessHandle token(raw);
  DWORD size = 0;
  ::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  if (size == 0) return {};
  std::vector<ULONGLONG> buffer(size / sizeof(ULONGLONG) + 1);
  if (!::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return {};
  wchar_t* text = nullptr;
  if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) return {};
  std::wstring sid = text;
  ::LocalFree(text);
  return sid;
}

}  // namespace halyx
