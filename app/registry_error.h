// The one exception of the registry wrapper: a fixed text saying which step
// failed, and the Win32 status of the failing call.
//
//   try {
//     win32::RegistryKey run(HKEY_CURRENT_USER, path, KEY_READ);
//   } catch (const win32::RegistryError& e) {
//     spdlog::error("...: {0} ({1:x})", e.what(), halyx::SignedErrorCode(e.code()));
//   }
//
// Thread: any.
#pragma once

#include <windows.h>

#include <stdexcept>

namespace win32 {

class RegistryError : public std::runtime_error {
 public:
  RegistryError(const char* what, LONG code) : std::runtime_error(what), code_(code) {}

  // The status the registry call returned, ERROR_FILE_NOT_FOUND (2) and so on.
  LONG code() const noexcept { return code_; }

 private:
  LONG code_;
};

}  // namespace win32
