// Folders and files that the elevated client writes under the all-users
// folder, where a standard user may create sub-folders first.
//
// A folder the client creates gets an explicit access list: SYSTEM and
// Administrators full control, Users read. A folder found already there is
// used only when it is a real folder (no junction or other reparse point)
// owned by SYSTEM or Administrators, or one this process created itself
// (known by its file index): anyone else may have planted it, or may still
// change what is inside. (Tests widen the owners trusted: Wine keeps no
// owners and reports every file as its user's.) A file is opened without following a reparse
// point and refused when it is one or has a second name (a hard link), so the
// client never writes through a link to a file it was not meant to touch.
//
//   if (!EnsureProtectedFolder(folder)) return false;   // logged
//   if (!WriteProtectedFile(folder + "\\home.conf", text)) return false;
//
// Every failure writes one error line prefixed "TunnelManager: ".
//
// Thread: any.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace halyx {

// Whether a folder owned by `owner` may be written into.
using TrustedOwner = std::function<bool(PSID owner)>;

// SYSTEM or Administrators: the only owners a standard user cannot give a
// folder they create.
bool IsSystemOrAdministrators(PSID owner);

// `path` is, afterwards, a folder fit to write into.
bool EnsureProtectedFolder(const std::string& path, const TrustedOwner& trusted = IsSystemOrAdministrators);

// Replaces the content of the file `path` with `bytes` and flushes it.
bool WriteProtectedFile(const std::string& path, const std::string& bytes);

}  // namespace halyx
