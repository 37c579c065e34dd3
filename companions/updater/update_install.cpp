#include "update_install.h"

#include <windows.h>

#include "base/all_users_directory.h"
#include "base/process_launch.h"
#include "base/protected_folder.h"
#include "base/unique_handle.h"
#include "base/utf8.h"

namespace halyx::update {
namespace {

bool PackageFolder(const UpdateInstall::Settings& settings, std::wstring& folder, std::string& error) {
  folder = settings.folder;
  if (folder.empty()) {
    std::string allUsers;
    if (!GetAllUsersDirectory(allUsers)) {
      error = "the all-users folder cannot be found";
      return false;
    }
    folder = Utf8ToWide(allUsers) + L"\\QuorVPN\\updates";
  }
  // No log prefix: the DLL writes no log; the reason goes to the window.
  if (!EnsureProtectedFolderTree(folder, nullptr)) {
    error = "the update folder cannot be made safe (error " + std::to_string(::GetLastError()) + ")";
    return false;
  }
  return true;
}

// Deletes what a check refused, or an earlier update's package.
void Discard(const std::wstring& path) { ::DeleteFileW(path.c_str()); }

}  // namespace

bool UpdateInstall::Fetch(const Appcast& offer, const PackageSignature::PublicKey& key,
                          const PackageDownload::Progress& progress, std::wstring& package, std::string& error,
                          const Settings& settings) {
  if (offer.url.empty() || offer.size == 0 || offer.signature.empty()) {
    error = "the offer names no signed package (url, size and signature)";
    return false;
  }
  PackageSignature::Signature signature;
  if (!PackageSignature::ParseSignature(offer.signature, signature, error)) return false;
  std::wstring folder;
  if (!PackageFolder(settings, folder, error)) return false;
  const std::wstring path = folder + L"\\QuorVPN-" + Utf8ToWide(offer.version.ToString()) + L"-setup.exe";
  Discard(path);
  bool stored = false;
  {
    // Opened without following a link, and never a file of two names.
    const FileHandle file = OpenProtectedFile(path, GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS, nullptr);
    if (!file) {
      error = "the package cannot be stored (error " + std::to_string(::GetLastError()) + ")";
      return false;
    }
    stored = PackageDownload::Get(Utf8ToWide(offer.url), offer.size, file.get(), progress, error, settings.limits);
  }
  // Closed first: nobody shares the file, so it cannot go while open.
  if (!stored) {
    Discard(path);
    return false;
  }
  if (!PackageSignature::VerifyFile(path, key, signature, error)) {
    Discard(path);
    return false;
  }
  package = path;
  return true;
}

bool UpdateInstall::Launch(const std::wstring& package, std::string& error) {
  LaunchOptions options;
  options.creationFlags = CREATE_UNICODE_ENVIRONMENT;
  const ProcessHandle installer = StartProcess(L"\"" + package + L"\" " + kInstallerSwitches, options);
  if (!installer) {
    error = "the installer could not be started (error " + std::to_string(::GetLastError()) + ")";
    return false;
  }
  return true;
}

}  // namespace halyx::update
