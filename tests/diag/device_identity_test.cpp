// Digests are the standard ones in upper case, and the device identifier is
// the MD5 of the disk serial's UTF-16LE bytes, stable across blanks.
#include "diag/device_identity.h"

#include <windows.h>
#include <objbase.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "diag/hex_text.h"
#include "diag/md5_hasher.h"
#include "diag/sha256_hasher.h"

namespace halyx {
namespace {

// Known digests (computed on the host with Python's hashlib).
TEST(Hashers, GiveTheStandardDigests) {
  const auto md5 = Md5Hasher::Create();
  const auto sha256 = Sha256Hasher::Create();
  ASSERT_TRUE(md5->ready() && sha256->ready());
  const struct {
    std::string input;
    const char *md5, *sha256;
  } cases[] = {
      {"", "D41D8CD98F00B204E9800998ECF8427E", "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855"},
      {"abc", "900150983CD24FB0D6963F7D28E17F72", "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"},
      {std::string(100000, 'q'), "6126D7345DB69DD7335FC154E24CA462",
       "7572F8BE61469D7D661F13F715581800783290DD80D64A9A96932218FB32B3DC"},
  };
  for (const auto& c : cases) {
    std::string hex;
    ASSERT_TRUE(md5->HashHex(c.input.data(), c.input.size(), hex));
    EXPECT_EQ(hex, c.md5) << c.input.size();
    std::vector<uint8_t> digest;
    ASSERT_TRUE(sha256->Hash(c.input.data(), c.input.size(), digest));
    EXPECT_EQ(HexUpper(digest.data(), digest.size()), c.sha256) << c.input.size();
  }
}

// The identifier hashes two bytes per character, in upper case, and only the
// four ASCII blanks around a serial are trimmed away.
TEST(DeviceId, HashesTheTrimmedSerialAsUtf16LittleEndian) {
  const auto md5 = Md5Hasher::Create();
  const std::pair<const wchar_t*, const char*> ids[] = {
      {L"1", "06D49632C9DC9BCB62AEAEF99612BA6B"},  // the bytes 31 00
      {L"WINEHDISK", "C9801B0CD70422FBE37A1064457836EC"},
  };
  for (const auto& [serial, expected] : ids) {
    std::string id;
    ASSERT_TRUE(DeviceIdFromSerial(*md5, serial, id));
    EXPECT_EQ(id, expected);
  }
  const std::pair<const wchar_t*, const wchar_t*> trims[] = {
      {L"  WD-WCC4E1234567\r\n\t ", L"WD-WCC4E1234567"},
      {L"S3Z9NB0K 123", L"S3Z9NB0K 123"},
      {L" \t\r\n", L""},
      {L"", L""},
      {L"\x00a0X\x00a0", L"\x00a0X\x00a0"},
  };
  for (const auto& [raw, trimmed] : trims) EXPECT_EQ(TrimSerialNumber(raw), trimmed);
}

// The real WMI provider's first disk serial becomes the identifier, and the
// helpers are created once and kept by the caller; without a serial the call
// fails with the page's text and creates no hasher.
TEST(DeviceId, ComesFromTheFirstDiskSerialOrFailsWithThePagesText) {
  struct ComScope {
    ComScope() { ::CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    ~ComScope() { ::CoUninitialize(); }
  } com;
  std::unique_ptr<WmiHelper> wmi;
  std::unique_ptr<Md5Hasher> md5;
  std::string id, again, expected, error;
  ASSERT_TRUE(GetDeviceId(wmi, md5, id, error)) << error;
  ASSERT_TRUE(wmi && md5);
  ASSERT_TRUE(DeviceIdFromSerial(*md5, wmi->GetPhysicalMediaSerialNumber(), expected));
  EXPECT_EQ(id, expected);
  const WmiHelper* firstWmi = wmi.get();
  const Md5Hasher* firstMd5 = md5.get();
  ASSERT_TRUE(GetDeviceId(wmi, md5, again, error));
  EXPECT_EQ(again, id);
  EXPECT_TRUE(wmi.get() == firstWmi && md5.get() == firstMd5);

  wmi = std::make_unique<WmiHelper>();  // never connected, and never connected by the call
  md5.reset();
  id = "kept";
  EXPECT_FALSE(GetDeviceId(wmi, md5, id, error));
  EXPECT_EQ(error, kDeviceIdFailed);
  EXPECT_EQ(id, "kept");
  EXPECT_EQ(md5, nullptr);
}

// The NetBIOS name, here set to the longest one Windows allows, comes back
// whole from the 16-byte buffer.
TEST(DeviceName, FifteenCharactersComeBackWhole) {
  const wchar_t* key = L"System\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName";
  wchar_t saved[64] = {};
  DWORD savedSize = sizeof(saved);
  ASSERT_EQ(::RegGetValueW(HKEY_LOCAL_MACHINE, key, L"ComputerName", RRF_RT_REG_SZ, nullptr, saved, &savedSize),
            ERROR_SUCCESS);
  auto set = [&](const wchar_t* value) {
    return ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key, L"ComputerName", REG_SZ, value,
                             static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
  };
  ASSERT_EQ(set(L"QUORTESTNAME015"), ERROR_SUCCESS);
  std::string got;
  const bool ok = GetDeviceName(got);
  set(saved);
  ASSERT_TRUE(ok);
  EXPECT_EQ(got, "QUORTESTNAME015");
}

}  // namespace
}  // namespace halyx
