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
#include "support/log_capture.h"

namespace halyx {
namespace {

using ::halyx::testing::LogCapture;

// Known digests (computed on the host with Python's hashlib).
TEST(Hashers, GiveTheStandardDigests) {
  const auto md5 = Md5Hasher::Create();
  const auto sha256 = Sha256Hasher::Create();
  ASSERT_TRUE(md5->ready());
  ASSERT_TRUE(sha256->ready());
  struct Case {
    std::string input;
    const char* md5;
    const char* sha256;
  };
  const Case cases[] = {
      {"", "D41D8CD98F00B204E9800998ECF8427E", "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855"},
      {"abc", "900150983CD24FB0D6963F7D28E17F72", "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"},
      {std::string(100000, 'q'), "6126D7345DB69DD7335FC154E24CA462",
       "7572F8BE61469D7D661F13F715581800783290DD80D64A9A96932218FB32B3DC"},
  };
  for (const Case& c : cases) {
    std::string hex;
    ASSERT_TRUE(md5->HashHex(c.input.data(), c.input.size(), hex));
    EXPECT_EQ(hex, c.md5) << c.input.size();
    std::vector<uint8_t> digest;
    ASSERT_TRUE(sha256->Hash(c.input.data(), c.input.size(), digest));
    EXPECT_EQ(HexUpper(digest.data(), digest.size()), c.sha256) << c.input.size();
  }
}

// The identifier hashes two bytes per character and is never lower case.
TEST(DeviceId, HashesTheSerialAsUtf16LittleEndian) {
  const auto md5 = Md5Hasher::Create();
  std::string id;
  ASSERT_TRUE(DeviceIdFromSerial(*md5, L"1", id));  // the bytes 31 00
  EXPECT_EQ(id, "06D49632C9DC9BCB62AEAEF99612BA6B");
  ASSERT_TRUE(DeviceIdFromSerial(*md5, L"WINEHDISK", id));
  EXPECT_EQ(id, "C9801B0CD70422FBE37A1064457836EC");
}

// Blanks around a serial do not change the identity of the disk.
TEST(DeviceId, TrimmedSerialGivesTheSameIdAsTheBareOne) {
  const struct {
    const wchar_t* raw;
    const wchar_t* trimmed;
  } cases[] = {
      {L"  WD-WCC4E1234567\r\n\t ", L"WD-WCC4E1234567"},
      {L"S3Z9NB0K 123", L"S3Z9NB0K 123"},
      {L" \t\r\n", L""},
      {L"", L""},
      {L"\x00a0X\x00a0", L"\x00a0X\x00a0"},  // only the four ASCII blanks are trimmed
  };
  const auto md5 = Md5Hasher::Create();
  for (const auto& c : cases) {
    EXPECT_EQ(TrimSerialNumber(c.raw), c.trimmed);
  }
  std::string padded, bare;
  ASSERT_TRUE(DeviceIdFromSerial(*md5, TrimSerialNumber(L"  1 \r\n"), padded));
  ASSERT_TRUE(DeviceIdFromSerial(*md5, L"1", bare));
  EXPECT_EQ(padded, bare);
}

class DeviceIdWmi : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
  void TearDown() override { ::CoUninitialize(); }
};

// The real WMI provider's first disk serial becomes the identifier; the
// helper and the hasher are created once and kept by the caller.
TEST_F(DeviceIdWmi, ComesFromTheFirstDiskSerialAndKeepsItsHelpers) {
  std::unique_ptr<WmiHelper> wmi;
  std::unique_ptr<Md5Hasher> md5;
  std::string id, error;
  ASSERT_TRUE(GetDeviceId(wmi, md5, id, error)) << error;
  ASSERT_TRUE(wmi && md5);
  const std::wstring serial = wmi->GetPhysicalMediaSerialNumber();
  std::string expected;
  ASSERT_TRUE(DeviceIdFromSerial(*md5, serial, expected));
  EXPECT_EQ(id, expected);
  EXPECT_EQ(id.find_first_not_of("0123456789ABCDEF"), std::string::npos);

  const WmiHelper* firstWmi = wmi.get();
  const Md5Hasher* firstMd5 = md5.get();
  std::string again;
  ASSERT_TRUE(GetDeviceId(wmi, md5, again, error));
  EXPECT_EQ(again, id);
  EXPECT_EQ(wmi.get(), firstWmi);
  EXPECT_EQ(md5.get(), firstMd5);
}

// Without a serial the call fails with the page's text and creates no
// hasher; an unconnected helper is never connected again.
TEST_F(DeviceIdWmi, NoSerialFailsWithoutCreatingTheHasher) {
  auto wmi = std::make_unique<WmiHelper>();  // never connected
  std::unique_ptr<Md5Hasher> md5;
  std::string id = "kept", error;
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
  const std::wstring name = L"QUORTESTNAME015";
  auto set = [&](const wchar_t* value) {
    return ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key, L"ComputerName", REG_SZ, value,
                             static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
  };
  ASSERT_EQ(set(name.c_str()), ERROR_SUCCESS);
  std::string got;
  const bool ok = GetDeviceName(got);
  set(saved);
  ASSERT_TRUE(ok);
  EXPECT_EQ(got, "QUORTESTNAME015");
}

}  // namespace
}  // namespace halyx
