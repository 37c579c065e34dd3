// The payload cipher opens exactly what the sealing side produces, in every
// key mode, and refuses everything else with its one log line.
#include "diag/payload_cipher.h"

#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "diag/hex_text.h"
#include "payload_sealer.h"
#include "platform/win32/unique_handle.h"
#include "support/log_capture.h"

namespace halyx {
namespace {

using ::halyx::testing::LogCapture;
using spdlog::level::warn;

std::vector<uint8_t> Bytes(const std::string& hex) {
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(HexDecode(hex, bytes)) << hex;
  return bytes;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Seal(int adType, const std::string& keyText, const std::string& plaintext) {
  std::string payload;
  EXPECT_TRUE(SealPayload(adType, keyText, plaintext, payload));
  return payload;
}

// Runs the payload tool beside this test and returns what it printed.
std::string RunPayloadTool(const std::wstring& arguments) {
  wchar_t self[MAX_PATH];
  const DWORD n = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring exe(self, n);
  exe = exe.substr(0, exe.find_last_of(L'\\') + 1) + L"payload_tool.exe";

  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE readRaw = nullptr;
  HANDLE writeRaw = nullptr;
  if (!::CreatePipe(&readRaw, &writeRaw, &inherit, 0)) return {};
  EventHandle readEnd(readRaw);
  EventHandle writeEnd(writeRaw);
  ::SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = writeEnd.get();
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  std::wstring commandLine = L"\"" + exe + L"\" " + arguments;
  PROCESS_INFORMATION process = {};
  if (!::CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process)) {
    ADD_FAILURE() << "cannot start " << std::string(exe.begin(), exe.end());
    return {};
  }
  EventHandle processHandle(process.hProcess);
  EventHandle threadHandle(process.hThread);
  writeEnd.reset();  // the child holds the only write end now
  std::string output;
  char buffer[4096];
  DWORD got = 0;
  while (::ReadFile(readEnd.get(), buffer, sizeof(buffer), &got, nullptr) && got != 0) output.append(buffer, got);
  ::WaitForSingleObject(processHandle.get(), 30000);
  return output;
}

// The value after "<key>=" on its own line of the tool's output.
std::string Field(const std::string& output, const std::string& key) {
  const std::size_t at = output.find(key + "=");
  if (at == std::string::npos) return {};
  const std::size_t begin = at + key.size() + 1;
  return output.substr(begin, output.find_first_of("\r\n", begin) - begin);
}

// Decoding accepts digits of either case and nothing else.
TEST(HexDecode, AcceptsBothCasesAndRejectsAnyOtherCharacter) {
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(HexDecode("", bytes));
  EXPECT_TRUE(bytes.empty());
  EXPECT_TRUE(HexDecode("00aFfF7e", bytes));
  EXPECT_EQ(bytes, (std::vector<uint8_t>{0x00, 0xAF, 0xFF, 0x7E}));

  const std::vector<uint8_t> before = bytes;
  for (const std::string& bad : {std::string("G1"), std::string("1G"), std::string(" 1"), std::string("+1"),
                                 std::string("-1"), std::string("0x"), std::string("ab\0c", 4)}) {
    LogCapture log;
    EXPECT_FALSE(HexDecode(bad, bytes)) << bad;
    EXPECT_EQ(log.CountAtLeast(spdlog::level::debug), 0u) << bad;
    EXPECT_EQ(bytes, before);
  }
  LogCapture log;
  EXPECT_FALSE(HexDecode("abc", bytes));
  EXPECT_TRUE(log.Has(warn, "C: invalid hex length"));
}

// Published AES-256-GCM vectors (96-bit IV, 128-bit tag, no associated data)
// decrypt through the delivered-key mode, whose key text carries any key.
TEST(PayloadCipher, DecryptsPublishedGcmVectors) {
  struct Vector {
    const char* key;
    const char* iv;
    const char* ciphertext;
    const char* tag;
    const char* plaintext;  // hexadecimal, up to the first zero byte
  };
  const Vector vectors[] = {
      {"0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000", "",
       "530f8afbc74536b9a963b4f1c4cb738b", ""},
      // Sixteen zero bytes of plaintext: narrow text, so it ends at once.
      {"0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000",
       "cea7403d4d606b6e074ec5d3baf39d18", "d0d1c8a799996bf0265b98b5d48ab919", ""},
      {"feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888",
       "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa"
       "8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662898015ad",
       "b094dac5d93471bdec1a502270e3cc6c",
       "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
       "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255"},
  };
  for (const Vector& v : vectors) {
    const std::string keyText = DeliveredKeyText(Bytes(v.iv), Bytes(v.key));
    PayloadCipher cipher;
    std::string plaintext = "unchanged";
    ASSERT_TRUE(cipher.Decrypt(std::string(v.ciphertext) + v.tag, 2, keyText, plaintext)) << v.ciphertext;
    const std::vector<uint8_t> want = Bytes(v.plaintext);
    EXPECT_EQ(plaintext, std::string(want.begin(), want.end()));
  }
}

// Any change to the tag or the ciphertext fails authentication and leaves
// the caller's text alone; the nonce is scrubbed only after success.
TEST(PayloadCipher, RefusesATamperedPayloadAndKeepsThePlaintext) {
  const std::string payload = Seal(1, "", R"({"servers":[]})");
  for (std::size_t flip : {payload.size() - 1, payload.size() - 32, std::size_t{0}}) {
    std::string tampered = payload;
    tampered[flip] = tampered[flip] == '0' ? '1' : '0';
    LogCapture log;
    PayloadCipher cipher;
    std::string plaintext = "unchanged";
    EXPECT_FALSE(cipher.Decrypt(tampered, 1, "", plaintext));
    EXPECT_EQ(plaintext, "unchanged");
    EXPECT_TRUE(log.Has(warn, "C: df (0xc000a002)")) << "STATUS_AUTH_TAG_MISMATCH expected";
    EXPECT_NE(cipher.nonce(), (std::vector<uint8_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
  }
  PayloadCipher cipher;
  std::string plaintext;
  ASSERT_TRUE(cipher.Decrypt(payload, 1, "", plaintext));
  EXPECT_EQ(plaintext, R"({"servers":[]})");
  EXPECT_EQ(cipher.nonce(), (std::vector<uint8_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
}

// Payloads that cannot hold a tag, or are not hexadecimal, never reach CNG.
TEST(PayloadCipher, RefusesPayloadsThatAreNotHexOrShorterThanTheTag) {
  struct Case {
    std::string payload;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"", {"C: df payload of 0 bytes has no room for the tag"}},
      {std::string(30, 'A'), {"C: df payload of 15 bytes has no room for the tag"}},
      {"ABC", {"C: invalid hex length", "C: df dh"}},
      {std::string(40, 'A') + "ZZ", {"C: df dh"}},
  };
  for (const Case& c : cases) {
    LogCapture log;
    PayloadCipher cipher;
    std::string plaintext = "unchanged";
    EXPECT_FALSE(cipher.Decrypt(c.payload, 1, "", plaintext)) << c.payload;
    EXPECT_EQ(plaintext, "unchanged");
    std::vector<std::string> lines;
    for (const auto& r : log.Records()) lines.push_back(r.text);
    EXPECT_EQ(lines, c.lines) << c.payload;
  }
}

// Hexadecimal case does not matter, and the text ends at an embedded zero.
TEST(PayloadCipher, ReadsEitherCaseAndCutsAtAZeroByte) {
  const std::string text("abc\0def", 7);
  const std::string payload = Seal(1, "", text);
  for (const std::string& hex : {payload, Lower(payload)}) {
    PayloadCipher cipher;
    std::string plaintext;
    ASSERT_TRUE(cipher.Decrypt(hex, 1, "", plaintext));
    EXPECT_EQ(plaintext, "abc");
  }
}

// A delivered key text must decode to exactly 44 bytes.
TEST(PayloadCipher, DeliveredKeyTextOfTheWrongLengthIsRefused) {
  const std::string good = NewDeliveredKeyText();
  ASSERT_EQ(good.size(), 88u);
  struct Case {
    std::string keyText;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {good.substr(0, 86), {"C: if 2 dhl"}},
      {good.substr(0, 87), {"C: invalid hex length", "C: if 2 dh"}},
      {good + "AB", {"C: if 2 dhl"}},
      {good.substr(0, 86) + "G0", {"C: if 2 dh"}},
      {"", {"C: if 2 dhl"}},
  };
  const std::string payload = Seal(2, good, "x");
  for (const Case& c : cases) {
    LogCapture log;
    PayloadCipher cipher;
    CngAlgorithmHandle algorithm;
    CngKeyHandle key;
    EXPECT_FALSE(cipher.PrepareKey(algorithm, key, 2, c.keyText)) << c.keyText.size();
    EXPECT_FALSE(algorithm.valid());
    EXPECT_FALSE(key.valid());
    std::vector<std::string> lines;
    for (const auto& r : log.Records()) lines.push_back(r.text);
    EXPECT_EQ(lines, c.lines) << c.keyText.size();
  }
}

// Every one of the 44 delivered bytes counts, zero bytes included.
TEST(PayloadCipher, DeliveredKeyWithZeroBytesUsesAllOfThem) {
  std::vector<uint8_t> nonce(12, 0);
  nonce[11] = 0x01;
  std::vector<uint8_t> key(32, 0);
  key[31] = 0x80;
  std::vector<uint8_t> sealed;
  ASSERT_TRUE(SealWithKey(key, nonce, "zero bytes inside", sealed));
  const std::string payload = HexUpper(sealed.data(), sealed.size());

  PayloadCipher cipher;
  std::string plaintext;
  ASSERT_TRUE(cipher.Decrypt(payload, 2, DeliveredKeyText(nonce, key), plaintext));
  EXPECT_EQ(plaintext, "zero bytes inside");
  // A key that differs only after its zero bytes does not open it.
  key[31] = 0x81;
  EXPECT_FALSE(PayloadCipher().Decrypt(payload, 2, DeliveredKeyText(nonce, key), plaintext));
}

// The derived mode takes SHA-256 of the key text as key and the head of its
// MD5 as nonce (digests of "6.0.8" computed independently on the host).
TEST(PayloadCipher, DerivedModeHashesTheKeyText) {
  for (int round = 0; round < 2; ++round) {
    PayloadCipher cipher;
    std::vector<uint8_t> key;
    ASSERT_TRUE(cipher.KeyMaterial(3, "6.0.8", key));
    EXPECT_EQ(HexUpper(key.data(), key.size()), "A919AE6B9D4E085ABD7E0B1A9A06BE7005FB42A50B83886C4CC618A07A61C533");
    EXPECT_EQ(HexUpper(cipher.nonce().data(), cipher.nonce().size()), "53D73D5940E180B599C34F7C");
  }
  const std::string payload = Seal(3, "6.0.8", "derived");
  std::string plaintext;
  EXPECT_TRUE(PayloadCipher().Decrypt(payload, 3, "6.0.8", plaintext));
  EXPECT_EQ(plaintext, "derived");
  EXPECT_FALSE(PayloadCipher().Decrypt(payload, 3, "6.0.9", plaintext));
}

// Unknown modes log their number and create no key.
TEST(PayloadCipher, UnknownAdTypeCreatesNoKey) {
  for (int adType : {4, 0, -1}) {
    LogCapture log;
    PayloadCipher cipher;
    CngAlgorithmHandle algorithm;
    CngKeyHandle key;
    EXPECT_FALSE(cipher.PrepareKey(algorithm, key, adType, "6.0.8"));
    EXPECT_FALSE(key.valid());
    EXPECT_FALSE(algorithm.valid());
    EXPECT_TRUE(log.Has(warn, "C: invalid adType " + std::to_string(adType)));
  }
}

// Built-in mode: the key text plays no part.
TEST(PayloadCipher, BuiltInModeIgnoresTheKeyText) {
  const std::string payload = Seal(1, "", "built in");
  std::string plaintext;
  EXPECT_TRUE(PayloadCipher().Decrypt(payload, 1, "anything at all", plaintext));
  EXPECT_EQ(plaintext, "built in");
  EXPECT_FALSE(PayloadCipher().Decrypt(payload, 3, "", plaintext));
}

// What the payload tool prints, the client opens, in every mode.
TEST(PayloadTool, PayloadsRoundTripInEveryMode) {
  const std::string json = R"({"name":"HK 1","servers":[{"host":"a.example"}]})";
  const std::wstring text = L"--text \"{\\\"name\\\":\\\"HK 1\\\",\\\"servers\\\":[{\\\"host\\\":\\\"a.example\\\"}]}\"";
  struct Case {
    int adType;
    std::wstring extra;
    std::string keyText;  // empty: the one the tool printed
  };
  const Case cases[] = {{1, L"", ""}, {2, L"", ""}, {3, L" --key-text 6.0.8", "6.0.8"}};
  for (const Case& c : cases) {
    const std::string output = RunPayloadTool(std::to_wstring(c.adType) + L" " + text + c.extra);
    const std::string payload = Field(output, "payload");
    ASSERT_FALSE(payload.empty()) << output;
    const std::string keyText = c.adType == 2 ? Field(output, "keytext") : c.keyText;
    if (c.adType == 2) {
      EXPECT_EQ(keyText.size(), 88u) << output;
    }
    std::string plaintext;
    EXPECT_TRUE(PayloadCipher().Decrypt(payload, c.adType, keyText, plaintext)) << c.adType;
    EXPECT_EQ(plaintext, json) << c.adType;
  }
}

}  // namespace
}  // namespace halyx
