#include "engine/net/save_target.h"

#include <shlobj.h>

#include <algorithm>
#include <cwctype>

#include "engine/net/page_fetcher.h"

namespace halyx::engine {
namespace {

std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
  return text;
}

// The path Windows reached through every link and junction on the way, in
// its "\\?\C:\..." form; empty when it cannot say.
std::wstring FinalPathOf(HANDLE handle) {
  std::wstring path(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 2; ++attempt) {
    const DWORD length = ::GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                                     FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(length);
  }
  return {};
}

std::wstring FinalFolder(const std::wstring& folder) {
  if (folder.empty()) return {};
  FileHandle handle(::CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return handle ? FinalPathOf(handle.get()) : std::wstring();
}

std::wstring KnownFolder(REFKNOWNFOLDERID id) {
  PWSTR path = nullptr;
  std::wstring folder;
  if (SUCCEEDED(::SHGetKnownFolderPath(id, KF_FLAG_DONT_VERIFY, nullptr, &path))) folder = path;
  ::CoTaskMemFree(path);
  return folder;
}

bool Inside(const std::wstring& path, const std::wstring& folder) {
  if (folder.empty() || path.size() <= folder.size()) return false;
  const std::wstring lower = Lower(path);
  std::wstring stem = Lower(folder);
  if (stem.back() != L'\\') stem += L'\\';
  return lower.compare(0, stem.size(), stem) == 0;
}

// The folders an elevated process must not drop a page's file into: the
// system's, the programs', and the client's own (its DLLs and pages).
bool InProtectedFolder(const std::wstring& final_path) {
  const std::wstring folders[] = {KnownFolder(FOLDERID_Windows), KnownFolder(FOLDERID_ProgramFiles),
                                  KnownFolder(FOLDERID_ProgramFilesX86), PageFetcher::ApplicationFolder()};
  return std::any_of(std::begin(folders), std::end(folders),
                     [&](const std::wstring& folder) { return Inside(final_path, FinalFolder(folder)); });
}

}  // namespace

bool SaveTarget::FileTypeOf(const std::string& type, std::wstring& extension, std::wstring& description) {
  static const struct {
    const char* type;
    const wchar_t* extension;
    const wchar_t* description;
  } kTypes[] = {{"application/zip", L"zip", L"Zip archive"}, {"application/json", L"json", L"JSON file"},
                {"text/plain", L"txt", L"Text file"},        {"text/csv", L"csv", L"CSV file"},
                {"image/png", L"png", L"PNG image"},         {"image/jpeg", L"jpg", L"JPEG image"}};
  // A parameter ("text/plain;charset=utf-8") does not change the kind.
  const std::string kind = type.substr(0, type.find(';'));
  for (const auto& known : kTypes) {
    if (kind == known.type) {
      extension = known.extension;
      description = known.description;
      return true;
    }
  }
  return false;
}

bool SaveTarget::IsExecutableName(const std::wstring& name) {
  static const wchar_t* const kRun[] = {
      L"exe", L"dll",  L"sys", L"drv", L"ocx", L"cpl", L"scr", L"com",         L"pif",       L"bat",    L"cmd",
      L"ps1", L"psm1", L"vbs", L"vbe", L"js",  L"jse", L"wsf", L"wsh",         L"msi",       L"msp",    L"lnk",
      L"hta", L"reg",  L"inf", L"scf", L"url", L"jar", L"msc", L"application", L"appref-ms", L"gadget", L"efi"};
  const std::size_t dot = name.find_last_of(L".\\/");
  if (dot == std::wstring::npos || name[dot] != L'.') return false;
  const std::wstring extension = Lower(name.substr(dot + 1));
  return std::any_of(std::begin(kRun), std::end(kRun), [&](const wchar_t* run) { return extension == run; });
}

bool SaveTarget::Open(const std::wstring& path, std::string& why) {
  file_.reset();
  created_ = false;
  if (IsExecutableName(path)) {
    why = "a page may not save a program or a link";
    return false;
  }
  // "name.zip:stream" would write beside what the name shows.
  if (path.find(L':', path.compare(0, 4, L"\\\\?\\") == 0 ? 6 : 2) != std::wstring::npos) {
    why = "the name holds a stream";
    return false;
  }
  // Not truncated yet: a file that is refused stays as it was.
  file_.reset(::CreateFileW(path.c_str(), GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file_) {
    why = "cannot open it (" + std::to_string(::GetLastError()) + ")";
    return false;
  }
  created_ = ::GetLastError() != ERROR_ALREADY_EXISTS;
  BY_HANDLE_FILE_INFORMATION info{};
  const std::wstring final_path = FinalPathOf(file_.get());
  if (!::GetFileInformationByHandle(file_.get(), &info)) {
    why = "cannot read what it is (" + std::to_string(::GetLastError()) + ")";
  } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || info.nNumberOfLinks > 1) {
    why = "it is a link, or has more than one name";
  } else if (final_path.empty()) {
    why = "cannot tell where it lies (" + std::to_string(::GetLastError()) + ")";
  } else if (IsExecutableName(final_path)) {
    // Windows drops trailing dots and spaces: "wke.dll." is wke.dll.
    why = "a page may not save a program or a link";
  } else if (InProtectedFolder(final_path)) {
    why = "it lies in the Windows, Program Files or application folder";
  } else {
    return true;
  }
  Discard();
  return false;
}

bool SaveTarget::Write(const void* bytes, std::size_t size, std::string& why) {
  LARGE_INTEGER start{};
  bool written = file_ && ::SetFilePointerEx(file_.get(), start, nullptr, FILE_BEGIN) && ::SetEndOfFile(file_.get());
  for (std::size_t done = 0; written && done < size;) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 30));
    DWORD wrote = 0;
    written = ::WriteFile(file_.get(), static_cast<const char*>(bytes) + done, chunk, &wrote, nullptr) && wrote > 0;
    done += wrote;
  }
  if (!written) {
    why = "writing failed (" + std::to_string(::GetLastError()) + ")";
    Discard();
  }
  file_.reset();
  return written;
}

void SaveTarget::Discard() {
  if (file_ && created_) {
    FILE_DISPOSITION_INFO remove{TRUE};
    ::SetFileInformationByHandle(file_.get(), FileDispositionInfo, &remove, sizeof(remove));
  }
  file_.reset();
}

}  // namespace halyx::engine
