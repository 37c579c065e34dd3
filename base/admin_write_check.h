// Whether anyone but the machine's administrators can change a program: the
// file itself, its folder, or a folder above it.
//
// The client runs elevated, and whatever it starts elevated later (the
// log-on task) or loads from beside itself is only as safe as the folders
// it lies in. A program run from Downloads, or from a folder a standard
// user created, can have DLLs planted beside it or be replaced outright.
//
//   std::string why;
//   if (!OnlyAdministratorsCanChange(ModulePath(), why)) spdlog::warn("...: {}", why);
//
// What counts, read from each owner and access list:
// - the file and its folder: an owner other than SYSTEM, Administrators or
//   TrustedInstaller (an owner may always rewrite the access list), or an
//   allow entry for anyone else that gives write, append, add-file,
//   add-subfolder, delete, delete-child, access-list or owner rights;
// - every folder above: the same owners, and allow entries that let anyone
//   else delete or rename what is in it (delete, delete-child) or take the
//   folder over (access list, owner, generic all). Creating a new entry is
//   no threat there: "C:\" lets Authenticated Users create folders on every
//   Windows, but not replace "Program Files".
// Inherit-only entries do not apply to the object itself and are skipped;
// deny entries are not credited, so a refusal may be too strict, never too
// lax. A path through a reparse point (junction, symbolic link, mount
// point) is refused: whoever owns the link decides where it leads.
//
// Thread: any.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace halyx {

// Whether a SID may be a writer.
using TrustedWriter = std::function<bool(PSID sid)>;

// SYSTEM, Administrators or TrustedInstaller.
bool IsAdministrativeSid(PSID sid);

// The rights that let a holder change a file or folder, or a folder above.
constexpr ACCESS_MASK kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                      WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
constexpr ACCESS_MASK kTakeOverRights = FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;

// The owner and access list of `descriptor` give `rights` to no one that
// `trusted` refuses; otherwise false, with the first culprit in `why`
// ("owned by S-1-...", "S-1-... may write (0x...)", "no access list").
bool OnlyTrustedHold(PSECURITY_DESCRIPTOR descriptor, ACCESS_MASK rights, const TrustedWriter& trusted,
                     std::string& why);

// `path` ("X:\...\file", a local drive path) and every folder above it up to
// the drive's root pass the rules above; otherwise false with the reason in
// `why`. Nothing is logged.
bool OnlyAdministratorsCanChange(const std::wstring& path, std::string& why,
                                 const TrustedWriter& trusted = IsAdministrativeSid);

}  // namespace halyx
