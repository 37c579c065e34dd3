#include "support/planted_link.h"

#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <functional>
#include <vector>

#include "base/unique_handle.h"

namespace halyx::testing {
namespace {

bool IsLink(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// The mount-point layout of REPARSE_DATA_BUFFER, which the SDK headers of
// user mode leave out.
struct MountPointBuffer {
  ULONG ReparseTag;
  USHORT ReparseDataLength;
  USHORT Reserved;
  USHORT SubstituteNameOffset;
  USHORT SubstituteNameLength;
  USHORT PrintNameOffset;
  USHORT PrintNameLength;
  WCHAR PathBuffer[1];
};

bool MakeJunction(const std::wstring& link, const std::wstring& target) {
  if (!::CreateDirectoryW(link.c_str(), nullptr)) return false;
  FileHandle folder(::CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  const std::wstring substitute = L"\\??\\" + target;
  const USHORT bytes = static_cast<USHORT>(substitute.size() * sizeof(wchar_t));
  std::vector<ULONGLONG> storage(64 + bytes / sizeof(ULONGLONG));
  auto* buffer = reinterpret_cast<MountPointBuffer*>(storage.data());
  buffer->ReparseTag = IO_REPARSE_TAG_MOUNT_POINT;
  buffer->SubstituteNameLength = bytes;
  buffer->PrintNameOffset = static_cast<USHORT>(bytes + sizeof(wchar_t));
  std::memcpy(buffer->PathBuffer, substitute.c_str(), bytes);
  // Both names NUL-terminated; the print name is empty.
  buffer->ReparseDataLength = static_cast<USHORT>(8 + bytes + 2 * sizeof(wchar_t));
  DWORD returned = 0;
  if (folder && ::DeviceIoControl(folder.get(), FSCTL_SET_REPARSE_POINT, buffer, buffer->ReparseDataLength + 8u,
                                  nullptr, 0, &returned, nullptr)) {
    return true;
  }
  folder.reset();
  ::RemoveDirectoryW(link.c_str());
  return false;
}

// Runs a Unix tool under Wine on the Unix names of `paths` and waits until
// `done`. Wine starts a Unix program without a process of its own to wait
// for: its handle is signalled at once, so the effect is polled for.
bool RunUnixTool(const wchar_t* tool, const std::wstring& options, const std::vector<std::wstring>& paths,
                 const std::function<bool()>& done) {
  using UnixName = char*(CDECL*)(const wchar_t*);
  const auto unixName = reinterpret_cast<UnixName>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (unixName == nullptr) return false;  // not Wine
  std::wstring command = std::wstring(tool) + L" " + options;
  for (const std::wstring& path : paths) {
    char* name = unixName(path.c_str());
    if (name == nullptr) return false;
    command += L" " + std::wstring(name, name + std::strlen(name));
    ::HeapFree(::GetProcessHeap(), 0, name);
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW((std::wstring(L"Z:\\bin\\") + tool).c_str(), command.data(), nullptr, nullptr, FALSE, 0,
                        nullptr, nullptr, &startup, &process)) {
    return false;
  }

  const ProcessHandle owned(process.hProcess);
  const ThreadHandle thread(process.hThread);
  for (int i = 0; i < 300 && !done(); ++i) ::Sleep(10);
  return done();
}

}  // namespace

bool PlantFolderLink(const std::wstring& link, const std::wstring& target) {
  if (MakeJunction(link, target)) return true;
  return RunUnixTool(L"ln", L"-s", {target, link}, [&] { return IsLink(link); });
}

bool PlantFileLink(const std::wstring& link, const std::wstring& target) {
  return ::CreateSymbolicLinkW(link.c_str(), target.c_str(), 0) && IsLink(link);
}

bool RemoveLink(const std::wstring& link) {
  if (!IsLink(link)) return ::GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES;
  const auto gone = [&] { return ::GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES; };
  // Wine removes the folder a Unix link names, not the link: there the link
  // goes through the Unix tool alone.
  if (RunUnixTool(L"rm", L"-f", {link}, gone)) return true;
  return ::RemoveDirectoryW(link.c_str()) || ::DeleteFileW(link.c_str());
}

}  // namespace halyx::testing
