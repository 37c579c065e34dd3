// The device name and the device identifier that the page asks for. The
// dispatch object calls these and turns a failure into its page error.
//
//   std::unique_ptr<WmiHelper> wmi;        // kept by the dispatch object
//   std::unique_ptr<Md5Hasher> md5;        // likewise
//   std::string id, error;
//   if (!GetDeviceId(wmi, md5, id, error)) ReportError(error);
//
// The identifier is the MD5 digest of the disk serial number's UTF-16LE code
// units (no terminator) as 32 upper-case hexadecimal characters; servers key
// accounts on it, so its form must never change.
//
// Thread: GUI thread, inside the application's COM apartment.
#pragma once

#include <memory>
#include <string>

#include "diag/md5_hasher.h"
#include "diag/wmi_helper.h"

namespace halyx {

// Page error texts of the two procedures.
inline constexpr const char* kDeviceIdFailed = "GetDeviceId failed";
inline constexpr const char* kDeviceIdHashFailed = "Get md5 hash failed";
inline constexpr const char* kDeviceNameFailed = "GetDeviceName failed";

// The computer's NetBIOS name (at most 15 ANSI characters). False, after a
// warning, with `name` unchanged.
bool GetDeviceName(std::string& name);

// Creates and connects `wmi` on the first call and `md5` on the first call
// that read a serial number; both stay with the caller, so a failed
// connection or provider keeps failing until the caller drops them. False,
// with `error` set to the page error text and `id` unchanged, on failure.
bool GetDeviceId(std::unique_ptr<WmiHelper>& wmi, std::unique_ptr<Md5Hasher>& md5, std::string& id, std::string& error);

// The identifier of one serial number.
bool DeviceIdFromSerial(const Md5Hasher& md5, const std::wstring& serial, std::string& id);

}  // namespace halyx
