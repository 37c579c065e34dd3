// Reads the disk serial number from Windows Management Instrumentation, the
// raw material of the device identifier.
//
//   WmiHelper wmi;
//   wmi.Init();                                   // once; never retried
//   std::wstring serial = wmi.GetPhysicalMediaSerialNumber();
//
// Init() connects to "ROOT\CIMV2" once; a helper whose connection failed
// answers every later query with an empty serial. The helper owns its locator
// and services interfaces and releases them when destroyed.
//
// Thread: the GUI thread, inside the multithreaded COM apartment that the
// application opened; not locked.
#pragma once

#include <wbemidl.h>
#include <wrl/client.h>

#include <string>

namespace halyx {

class WmiHelper {
 public:
  WmiHelper() = default;
  WmiHelper(const WmiHelper&) = delete;
  WmiHelper& operator=(const WmiHelper&) = delete;

  // Connects, unless connected already. Failures log one warning and leave
  // the helper unconnected for good.
  void Init();
  bool initialized() const { return initialized_; }

  // The first Win32_PhysicalMedia serial number, in WMI's order, that is a
  // string, trimmed of " \n\r\t" at both ends; empty when there is none or
  // the helper is not connected. Instances whose serial is null or of another
  // type are skipped with a warning.
  std::wstring GetPhysicalMediaSerialNumber();

 private:
  bool initialized_ = false;
  bool attempted_ = false;
  Microsoft::WRL::ComPtr<IWbemLocator> locator_;
  Microsoft::WRL::ComPtr<IWbemServices> services_;
};

// `text` without the characters " \n\r\t" at either end. Disk firmware pads
// its serial numbers with blanks, and the same disk must give the same id.
std::wstring TrimSerialNumber(const std::wstring& text);

}  // namespace halyx
