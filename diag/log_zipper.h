// Collects the client's and the tunnel service's logs, and the configuration
// file last written for the service, into one zip archive in memory, and
// hands it to a window.
//
//   // GetLogFiles, on the GUI thread:
//   std::thread(ZipLogsWorker, hwnd, tunnelManager->ConfigPath()).detach();
//   // later, in that window's procedure:
//   case kLogArchiveMessage:
//     if (auto zip = TakePayload<std::vector<uint8_t>>(wParam)) ...
//
// Entries, in this order, each under its bare file name and left out when
// missing: "quorvpn.log", "quorvpn.1.log", "quorvpn.2.log" from the client's
// log folder (the user's protected one, base/user_data_folder.h), "quor-svc.log", "quor-svc.1.log" from the service's,
// then the extra file. Logs are read as text (CR LF as LF).
//
// Thread: Zip() runs on a worker thread and touches no shared state;
// ZipLogsWorker() is a thread's whole body.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "base/protected_folder.h"
#include "base/window_messages.h"

namespace halyx {

class LogZipper {
 public:
  // Where the logs are, in the ANSI code page. An absent folder is one that
  // could not be resolved: its files are left out.
  // A folder is read only when it is a real folder (no junction) owned by
  // an owner `trusted` accepts; its files only when they are not links and
  // have one name.
  struct Folders {
    std::optional<std::string> client;   // "<all users>\QuorVPN\users\<SID>\log"
    std::optional<std::string> service;  // "<all users>\QuorVPN\log"
    TrustedOwner trusted = IsTrustedOwner;
  };

  // This machine's folders, resolved when Zip() runs; an unresolvable folder
  // logs one error line.
  LogZipper() = default;
  // Fixed folders (tests, benchmarks) and a bound on the archive's size.
  explicit LogZipper(Folders folders, std::size_t maxArchiveSize = std::numeric_limits<std::size_t>::max())
      : folders_(std::move(folders)), maxArchiveSize_(maxArchiveSize) {}

  // Clears `buffer` and fills it with the archive. The extra file (`extraPath`,
  // may be empty) is added only when the service folder is known. True when
  // at least one of the five logs went in. Throws std::runtime_error when
  // the archive itself fails ("Error creating zip in memory!", "Error adding
  // '<name>' to zip", "Error closing zip in memory!").
  bool Zip(std::vector<uint8_t>& buffer, const std::string& extraPath) const;

  static Folders SystemFolders();

 private:
  std::optional<Folders> folders_;
  std::size_t maxArchiveSize_ = std::numeric_limits<std::size_t>::max();
};

// Builds the archive and posts it to `window` as kLogArchiveMessage. A
// failure of the archive layer is logged and posts an empty vector, so the
// page still hears back; when the post fails the vector is freed here.
void ZipLogsWorker(HWND window, std::string extraPath);
void ZipLogsWorker(HWND window, std::string extraPath, const LogZipper& zipper);

}  // namespace halyx
