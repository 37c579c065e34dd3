// Installing an offer: the package is downloaded into a folder only
// administrators can write, checked (length, then the publisher's signature
// with the key the program carries), and only then started, silently, with
// the switch that starts the client again when it is done.
//
//   std::wstring package;
//   std::string error;
//   if (!UpdateInstall::Fetch(offer, key, progress, package, error)) Show(error);   // nothing left behind
//   else if (!UpdateInstall::Launch(package, error)) Show(error);
//   else RequestShutdown();   // the installer waits for the client to quit
//
// The folder is "<all users>\QuorVPN\updates" (base/protected_folder.h):
// the elevated client starts what lies there, so no unelevated program of
// the user may put or change anything in it. A package that fails any check
// is deleted, and so is a package of an earlier update that is found there.
//
// Thread: a worker thread of the updater (Fetch blocks).
#pragma once

#include <string>

#include "appcast.h"
#include "package_download.h"
#include "package_signature.h"

namespace halyx::update {

class UpdateInstall {
 public:
  struct Settings {
    std::wstring folder;  // empty: <all users>\QuorVPN\updates
    PackageDownload::Limits limits;
  };
  // The switches the installer gets: silent, and the client started again.
  static constexpr const wchar_t* kInstallerSwitches = L"/S /RESTART";

  // False with `error` in words for the user, and no file left.
  static bool Fetch(const Appcast& offer, const PackageSignature::PublicKey& key,
                    const PackageDownload::Progress& progress, std::wstring& package, std::string& error,
                    const Settings& settings);
  // Starts the package silently; false with `error`.
  static bool Launch(const std::wstring& package, std::string& error);
};

}  // namespace halyx::update
