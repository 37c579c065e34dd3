// The elevated client's own folders for one user, under the all-users
// folder, where only SYSTEM and Administrators can write:
//
//   <all users>\QuorVPN                      SYSTEM, Administrators; Users read
//   <all users>\QuorVPN\users                SYSTEM, Administrators only
//   <all users>\QuorVPN\users\<user's SID>   SYSTEM, Administrators only
//       log\            quorvpn.log and its rotated files
//       LocalStorage\   the pages' localStorage; cookies.dat beside it
//       minidumps\      crash dumps
//       quorvpn.lock    the single-instance lock
//
// Not the user's temporary or application-data folders: a program of the
// same user, unelevated, can turn those into junctions or plant links in
// them and so choose what the administrator deletes, overwrites or reads.
// Every level is made or checked through EnsureProtectedFolder.
//
//   std::wstring logs;
//   if (!UserDataFolder::Ensure(UserDataFolder::kLogs, logs, "util")) return false;   // logged
//
// Thread: any.
#pragma once

#include <functional>
#include <string>

#include "base/protected_folder.h"

namespace halyx {

class UserDataFolder {
 public:
  // Where the folders are and whom to trust; the defaults are the
  // production ones, tests point them at folders of their own.
  struct Settings {
    Settings();
    // The folder holding "QuorVPN" (ANSI code page); false with the reason
    // in the last error. Default: GetAllUsersDirectory.
    std::function<bool(std::string& folder)> root;
    // Who may own an existing level. Default: IsTrustedOwner.
    TrustedOwner trusted;
  };

  static constexpr const wchar_t* kProductFolder = L"QuorVPN";
  static constexpr const wchar_t* kUsersFolder = L"users";
  static constexpr const wchar_t* kLogs = L"log";
  static constexpr const wchar_t* kLocalStorage = L"LocalStorage";
  static constexpr const wchar_t* kMinidumps = L"minidumps";

  // Makes or checks "<root>\QuorVPN\users\<SID>" and then `sub` below it
  // (none when empty), and sets `folder` to the result without a trailing
  // separator. False after one error line starting with `logPrefix`.
  static bool Ensure(const std::wstring& sub, std::wstring& folder, const char* logPrefix,
                     const Settings& settings = Settings());
};

}  // namespace halyx
