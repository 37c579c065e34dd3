// An open registry key and the few operations the program needs on it. Every
// failure raises win32::RegistryError with the step's fixed text and the
// call's status; callers catch it at their own boundary.
//
//   win32::RegistryKey run(HKEY_CURRENT_USER, L"Software\\...\\Run", win32::RegistryKey::kReadWrite);
//   for (const auto& value : run.ListValues()) ...;
//   run.SetString(L"name", L"\"C:\\Program Files\\...\"");
//
// Ownership: owns the HKEY; closes it when destroyed or reset.
//
// Thread: any; an instance is used by one thread.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "app/registry_error.h"
#include "base/unique_handle.h"

namespace win32 {

class RegistryKey {
 public:
  // KEY_READ | KEY_WRITE.
  static constexpr REGSAM kReadWrite = KEY_READ | KEY_WRITE;

  struct Value {
    std::wstring name;
    DWORD type = REG_NONE;
  };

  // Opens `path` under `root`; raises "Cannot open registry key: RegOpenKeyEx
  // failed." with the status when it cannot.
  RegistryKey(HKEY root, const std::wstring& path, REGSAM access);

  // Names and types of the key's values, in the registry's index order.
  std::vector<Value> ListValues() const;
  // A REG_SZ value; its byte count includes the terminating zero.
  void SetString(const std::wstring& name, const std::wstring& data) const;
  void DeleteValue(const std::wstring& name) const;

  // Closes the key now.
  void reset() { key_.reset(); }
  HKEY get() const { return key_.get(); }

 private:
  halyx::RegistryKeyHandle key_;
};

}  // namespace win32
