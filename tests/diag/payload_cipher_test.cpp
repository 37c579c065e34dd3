// The payload cipher opens exactly what the sealing side produces, in every
// key mode, and refuses everything else with its one log line.
#include "diag/payload_cipher.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "diag/hex_text.h"
#include "payload_sealer.h"
#include "support/log_capture.h"

namespace halyx {
namespace {

using ::halyx::testing::LogCapture;
using Lines = std::vector<std::string>;

std::vector<uint8_t> Bytes(const std::string& hex) {
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(HexDecode(hex, bytes)) << hex;
  return bytes;
}

std::string Seal(int adType, const std::string& keyText, const std::string& plaintext) {
  std::string payload;
  EXPECT_TRUE(SealPayload(adType, keyText, plaintext, payload));
  return payload;
}

Lines LogLines(const LogCapture& log) {
  Lines lines;
  for (const auto& r : log.Records()) lines.push_back(r.text);
  return lines;
}

// Runs the payload tool beside this test and returns what it printed.
std::string RunPayloadTool(const std::string& arguments) {
  char self[MAX_PATH];
  std::string folder(self, ::GetModuleFileNameA(nullptr, self, MAX_PATH));
  folder.erase(folder.find_last_of('\\'));
  std::FILE* tool = ::_popen(("cd /d \"" + folder + "\" && payload_tool.exe " + arguments).c_str(), "rb");
  if (tool == nullptr) return {};
  std::string output;
  char buffer[4096];
  for (std::size_t got; (got = std::fread(buffer, 1, sizeof(buffer), tool)) > 0;) output.append(buffer, got);
  ::_pclose(tool);
  return output;
}

// The value after "<key>=" up to the end of its line.
std::string Field(const std::string& output, const std::string& key) {
  const std::size_t begin = output.find(key + "=") + key.size() + 1;
  return begin <= key.size() ? "" : output.substr(begin, output.find_first_of("\r\n", begin) - begin);
}

// Decoding accepts digits of either case and nothing else, silently except
// for an odd length, and leaves the bytes alone on failure.
TEST(HexDecode, AcceptsBothCasesAndRejectsAnyOtherCharacter) {
  std::vector<uint8_t> bytes;
  EXPECT_TRUE(HexDecode("", bytes));
  EXPECT_TRUE(bytes.empty());
  EXPECT_TRUE(HexDecode("00aFfF7e", bytes));
  EXPECT_EQ(bytes, (std::vector<uint8_t>{0x00, 0xAF, 0xFF, 0x7E}));
  for (const std::string& bad : {std::string("G1"), std::string("1G"), std::string(" 1"), std::string("+1"),
                                 std::string("-1"), std::string("0x"), std::string("ab\0c", 4), std::string("abc")}) {
    LogCapture log;
    EXPECT_FALSE(HexDecode(bad, bytes)) << bad;
    EXPECT_EQ(LogLines(log), bad.size() == 3 ? Lines{"C: invalid hex length"} : Lines{}) << bad;
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0x00, 0xAF, 0xFF, 0x7E}));
  }
}

// Published AES-256-GCM vectors (96-bit IV, 128-bit tag, no associated data)
// decrypt through the delivered-key mode; their all-zero keys also show that
// every delivered byte counts, zero bytes included.
TEST(PayloadCipher, DecryptsPublishedGcmVectors) {
  // Key, IV, ciphertext, tag, and the plaintext up to its first zero byte.
  const struct {
    const char *key, *iv, *ciphertext, *tag, *plaintext;
  } vectors[] = {
      {"0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000", "",
       "530f8afbc74536b9a963b4f1c4cb738b", ""},
      // Sixteen zero bytes of plaintext: the text ends at the first one.
      {"0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000",
       "cea7403d4d606b6e074ec5d3baf39d18", "d0d1c8a799996bf0265b98b5d48ab919", ""},
      {"feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888",
       "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa"
       "8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662898015ad",
       "b094dac5d93471bdec1a502270e3cc6c",
       "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
       "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255"},
  };
  for (const auto& v : vectors) {
    std::string plaintext = "unchanged";
    ASSERT_TRUE(PayloadCipher().Decrypt(std::string(v.ciphertext) + v.tag, 2,
                                        DeliveredKeyText(Bytes(v.iv), Bytes(v.key)), plaintext))
        << v.ciphertext;
    const std::vector<uint8_t> want = Bytes(v.plaintext);
    EXPECT_EQ(plaintext, std::string(want.begin(), want.end()));
  }
}

// Any change to the tag or the ciphertext fails authentication and leaves
// the caller's text alone; the untouched payload opens in lower case too,
// whatever the key text in the built-in mode, and scrubs the nonce after.
TEST(PayloadCipher, RefusesATamperedPayloadAndKeepsThePlaintext) {
  const std::vector<uint8_t> scrubbed = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  const std::string payload = Seal(1, "", R"({"servers":[]})");
  for (std::size_t flip : {payload.size() - 1, payload.size() - 32, std::size_t{0}}) {
    std::string tampered = payload;
    tampered[flip] = tampered[flip] == '0' ? '1' : '0';
    LogCapture log;
    PayloadCipher cipher;
    std::string plaintext = "unchanged";
    EXPECT_FALSE(cipher.Decrypt(tampered, 1, "", plaintext));
    EXPECT_EQ(plaintext, "unchanged");
    EXPECT_EQ(LogLines(log), Lines{"C: df (0xc000a002)"}) << "STATUS_AUTH_TAG_MISMATCH expected";
    EXPECT_NE(cipher.nonce(), scrubbed);
  }
  std::string lower = payload;
  for (char& c : lower) c = static_cast<char>(::tolower(static_cast<unsigned char>(c)));
  PayloadCipher cipher;
  std::string plaintext;
  ASSERT_TRUE(cipher.Decrypt(lower, 1, "anything at all", plaintext));
  EXPECT_EQ(plaintext, R"({"servers":[]})");
  EXPECT_EQ(cipher.nonce(), scrubbed);
}

// Payloads that cannot hold a tag, or are not hexadecimal, never reach CNG.
TEST(PayloadCipher, RefusesPayloadsThatAreNotHexOrShorterThanTheTag) {
  const std::pair<std::string, Lines> cases[] = {
      {"", {"C: df payload of 0 bytes has no room for the tag"}},
      {std::string(30, 'A'), {"C: df payload of 15 bytes has no room for the tag"}},
      {"ABC", {"C: invalid hex length", "C: df dh"}},
      {std::string(40, 'A') + "ZZ", {"C: df dh"}},
  };
  for (const auto& [payload, lines] : cases) {
    LogCapture log;
    std::string plaintext = "unchanged";
    EXPECT_FALSE(PayloadCipher().Decrypt(payload, 1, "", plaintext)) << payload;
    EXPECT_EQ(plaintext, "unchanged");
    EXPECT_EQ(LogLines(log), lines) << payload;
  }
}

// A delivered key text must decode to exactly 44 bytes, and an unknown mode
// logs its number; neither leaves a provider or key behind.
TEST(PayloadCipher, BadKeyTextOrUnknownModeCreatesNoKey) {
  const std::string good = NewDeliveredKeyText();
  ASSERT_EQ(good.size(), 88u);
  const struct {
    int adType;
    std::string keyText;
    Lines lines;
  } cases[] = {
      {2, good.substr(0, 86), {"C: if 2 dhl"}},
      {2, good.substr(0, 87), {"C: invalid hex length", "C: if 2 dh"}},
      {2, good + "AB", {"C: if 2 dhl"}},
      {2, good.substr(0, 86) + "G0", {"C: if 2 dh"}},
      {2, "", {"C: if 2 dhl"}},
      {4, "6.0.8", {"C: invalid adType 4"}},
      {0, "6.0.8", {"C: invalid adType 0"}},
      {-1, "6.0.8", {"C: invalid adType -1"}},
  };
  for (const auto& c : cases) {
    LogCapture log;
    CngAlgorithmHandle algorithm;
    CngKeyHandle key;
    EXPECT_FALSE(PayloadCipher().PrepareKey(algorithm, key, c.adType, c.keyText)) << c.keyText.size();
    EXPECT_FALSE(algorithm.valid());
    EXPECT_FALSE(key.valid());
    EXPECT_EQ(LogLines(log), c.lines) << c.keyText.size();
  }
}

// The derived mode takes SHA-256 of the key text as key and the head of its
// MD5 as nonce (digests of "6.0.8" computed independently on the host).
TEST(PayloadCipher, DerivedModeHashesTheKeyText) {
  PayloadCipher cipher;
  std::vector<uint8_t> key;
  ASSERT_TRUE(cipher.KeyMaterial(3, "6.0.8", key));
  EXPECT_EQ(HexUpper(key.data(), key.size()), "A919AE6B9D4E085ABD7E0B1A9A06BE7005FB42A50B83886C4CC618A07A61C533");
  EXPECT_EQ(HexUpper(cipher.nonce().data(), cipher.nonce().size()), "53D73D5940E180B599C34F7C");
  const std::string payload = Seal(3, "6.0.8", "derived");
  std::string plaintext;
  EXPECT_TRUE(PayloadCipher().Decrypt(payload, 3, "6.0.8", plaintext));
  EXPECT_EQ(plaintext, "derived");
  EXPECT_FALSE(PayloadCipher().Decrypt(payload, 3, "6.0.9", plaintext));
}

// What the separate payload tool prints, the client opens, in every mode.
TEST(PayloadTool, PayloadsRoundTripInEveryMode) {
  const std::string json = R"({"name":"HK 1","servers":[{"host":"a.example"}]})";
  const std::string text = R"(--text "{\"name\":\"HK 1\",\"servers\":[{\"host\":\"a.example\"}]}")";
  const std::pair<int, std::string> modes[] = {{1, ""}, {2, ""}, {3, "6.0.8"}};  // 2: the printed key text
  for (const auto& [adType, keyText] : modes) {
    const std::string output =
        RunPayloadTool(std::to_string(adType) + " " + text + (keyText.empty() ? "" : " --key-text " + keyText));
    const std::string payload = Field(output, "payload");
    ASSERT_FALSE(payload.empty()) << output;
    const std::string key = adType == 2 ? Field(output, "keytext") : keyText;
    std::string plaintext;
    EXPECT_TRUE(PayloadCipher().Decrypt(payload, adType, key, plaintext)) << adType << " " << key;
    EXPECT_EQ(plaintext, json) << adType;
  }
}

}  // namespace
}  // namespace halyx
