// Links planted where the client expects a folder or a file, as a program of
// the same user would plant them: a junction (folder) or a symbolic link
// (file) on Windows. Wine creates neither (FSCTL_SET_REPARSE_POINT fails
// with error 50, CreateSymbolicLinkW answers success and makes nothing), but
// it reports a Unix symbolic link to a folder as a reparse point: under Wine
// PlantFolderLink makes one of those. A Unix link to a file reads as the file
// itself there, so under Wine no file link can be planted and seen, and
// PlantFileLink answers false (docs/wine.md).
//
// Thread: the test's thread.
#pragma once

#include <string>

namespace halyx::testing {

// `link` (which must not exist) afterwards names the folder `target`; false
// when no link could be made.
bool PlantFolderLink(const std::wstring& link, const std::wstring& target);
// `link` afterwards names the file `target`; false under Wine.
bool PlantFileLink(const std::wstring& link, const std::wstring& target);
// Removes the link itself, never what it names.
bool RemoveLink(const std::wstring& link);

}  // namespace halyx::testing
