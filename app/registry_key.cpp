#include "app/registry_key.h"

namespace win32 {

RegistryKey::RegistryKey(HKEY root, const std::wstring& path, REGSAM access) {
  HKEY key = nullptr;
  const LONG status = ::RegOpenKeyExW(root, path.c_str(), 0, access, &key);
  if (status != ERROR_SUCCESS) throw RegistryError("Cannot open registry key: RegOpenKeyEx failed.", status);
  key_.reset(key);
}

std::vector<RegistryKey::Value> RegistryKey::ListValues() const {
  DWORD count = 0;
  DWORD longest = 0;
  const LONG status = ::RegQueryInfoKeyW(key_.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                                         &longest, nullptr, nullptr, nullptr);
  if (status != ERROR_SUCCESS) {
    throw RegistryError("RegQueryInfoKey failed while preparing for value enumeration.", status);
  }
  std::vector<Value> values;
  values.reserve(count);
  std::vector<wchar_t> name(longest + 1, L'\0');
  for (DWORD index = 0; index < count; ++index) {
    DWORD length = longest + 1;
    DWORD type = REG_NONE;
    const LONG result = ::RegEnumValueW(key_.get(), index, name.data(), &length, nullptr, &type, nullptr, nullptr);
    if (result != ERROR_SUCCESS) throw RegistryError("Cannot enumerate values: RegEnumValue failed.", result);
    values.push_back({std::wstring(name.data(), length), type});
  }
  return values;
}

void RegistryKey::SetString(const std::wstring& name, const std::wstring& data) const {
  const DWORD bytes = static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t));
  const LONG status =
      ::RegSetValueExW(key_.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()), bytes);
  if (status != ERROR_SUCCESS) throw RegistryError("Cannot set string to registry.", status);
}

void RegistryKey::DeleteValue(const std::wstring& name) const {
  const LONG status = ::RegDeleteValueW(key_.get(), name.c_str());
  if (status != ERROR_SUCCESS) throw RegistryError("Cannot delete value from registry", status);
}

}  // namespace win32
