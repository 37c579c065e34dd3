#include "diag/device_identity.h"

#include <windows.h>

#include <spdlog/spdlog.h>

#include "base/error_code.h"

namespace halyx {

bool GetDeviceName(std::string& name) {
  // MAX_COMPUTERNAME_LENGTH (15) characters and the terminator.
  char buffer[16] = {};
  DWORD size = sizeof(buffer);
  if (!::GetComputerNameA(buffer, &size)) {
    spdlog::warn("QuorDispatch: GetCoumpterName failed ({:#x})", LastError());
    return false;
  }
  name.assign(buffer, size);
  return true;
}

bool GetDeviceId(std::unique_ptr<WmiHelper>& wmi, std::unique_ptr<Md5Hasher>& md5, std::string& id,
                 std::string& error) {
  if (!wmi) {
    wmi = std::make_unique<WmiHelper>();
    wmi->Init();
  }
  const std::wstring serial = wmi->GetPhysicalMediaSerialNumber();
  if (serial.empty()) {
    error = kDeviceIdFailed;
    return false;
  }
  if (!md5) md5 = Md5Hasher::Create();
  if (!DeviceIdFromSerial(*md5, serial, id)) {
    error = kDeviceIdHashFailed;
    return false;
  }
  return true;
}

bool DeviceIdFromSerial(const Md5Hasher& md5, const std::wstring& serial, std::string& id) {
  // wchar_t is a UTF-16 code unit on Windows and x86 is little-endian, so the
  // string's storage already is the UTF-16LE byte sequence.
  static_assert(sizeof(wchar_t) == 2, "the identifier hashes UTF-16 code units");
  return md5.HashHex(serial.data(), serial.size() * sizeof(wchar_t), id);
}

}  // namespace halyx
