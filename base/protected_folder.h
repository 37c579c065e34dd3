// Folders and files that the elevated client writes or reads back. A
// program running as the same user without elevation must not be able to
// choose what the administrator deletes, moves, overwrites or reads: so every
// such folder is one only SYSTEM and Administrators can write, and nothing is
// reached through a link.
//
// A folder the client creates gets an explicit, protected access list:
// SYSTEM and Administrators full control, and, where the folder says so,
// Users read. A folder found already there is used only when it is a real
// folder (no junction or other reparse point) owned by SYSTEM or
// Administrators, or one this process created itself (known by its file
// index): anyone else may have planted it, or may still change what is
// inside. Its access list is then set again, so a folder made by an older
// version or by a service with inherited rights is tightened. A file is
// opened without following a reparse point and refused when it is one or has
// a second name (a hard link); it is renamed through its handle, never by
// path.
//
//   if (!EnsureProtectedFolder(folder, "TunnelManager")) return false;   // logged
//   if (!WriteProtectedFile(folder + L"\\home.conf", text, "TunnelManager")) return false;
//
// Every failure writes one error line starting with the caller's prefix
// ("TunnelManager: ..."); a file that is simply missing is not logged, and a
// null prefix logs nothing (the log's own sink cannot log).
//
// Thread: any.
#pragma once

#include <windows.h>

#include <functional>
#include <cstddef>
#include <string>
#include <vector>

#include "base/unique_handle.h"

namespace halyx {

// Whether a folder owned by `owner` may be written into or read back.
using TrustedOwner = std::function<bool(PSID owner)>;

// SYSTEM or Administrators: the only owners a standard user cannot give a
// folder they create.
bool IsSystemOrAdministrators(PSID owner);

// The production check: SYSTEM or Administrators. Under Wine, which records
// no owners and reports every file as its user's, also this process's user
// (docs/wine.md); Windows is never asked that.
bool IsTrustedOwner(PSID owner);

// Who may read a protected folder besides SYSTEM and Administrators.
enum class FolderReaders { kAdministratorsOnly, kUsers };

// `path` is, afterwards, a folder fit to write into (see above).
bool EnsureProtectedFolder(const std::wstring& path, const char* logPrefix,
                           FolderReaders readers = FolderReaders::kAdministratorsOnly,
                           const TrustedOwner& trusted = IsTrustedOwner);

// Creates the missing levels of `path` as EnsureProtectedFolder does, then
// ensures `path` itself. Levels that exist above it are taken as they are:
// the caller vouches for them (a folder it has ensured, or a test's own).
bool EnsureProtectedFolderTree(const std::wstring& path, const char* logPrefix);

// `path` is a real folder owned by a trusted owner (or made by this process);
// nothing is created or changed. For folders that are only read back.
bool CheckProtectedFolder(const std::wstring& path, const char* logPrefix,
                          const TrustedOwner& trusted = IsTrustedOwner);

// Opens the file `path` without following a reparse point, with `access`
// and `share`; `disposition` is OPEN_EXISTING or OPEN_ALWAYS (never one that
// truncates or replaces: that would act on a link's target before the
// check). Refuses a reparse point, a folder and a file of more than one name.
// Invalid after one error line; a missing file (OPEN_EXISTING) is invalid
// with ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND and no line.
FileHandle OpenProtectedFile(const std::wstring& path, DWORD access, DWORD share, DWORD disposition,
                             const char* logPrefix);

// Renames the file open as `file` (opened with DELETE access) to `target`,
// replacing a file of that name (only the name: a link there is not
// followed). False with the reason in the last error; nothing is logged.
bool RenameOpenFile(HANDLE file, const std::wstring& target);
// The same without allocating once `scratch` has room (capacity) for the
// request, for a crash handler whose crashed thread may hold the heap.
bool RenameOpenFile(HANDLE file, const std::wstring& target, std::vector<ULONGLONG>& scratch);
// The room RenameOpenFile needs for a target of `length` characters.
std::size_t RenameScratchSize(std::size_t length);

// Replaces the content of the file `path` with `bytes` and flushes it.
bool WriteProtectedFile(const std::wstring& path, const std::string& bytes, const char* logPrefix);

// Writes `bytes` to "<path>.tmp", flushes it and renames it over `path`
// through its handle: a crash at any point leaves the old content or the new
// one, whole.
bool ReplaceProtectedFile(const std::wstring& path, const std::string& bytes, const char* logPrefix);

// The process user's SID as text ("S-1-5-21-..."); empty, with the reason in
// the last error, when the token cannot be read.
std::wstring CurrentUserSid();

}  // namespace halyx
