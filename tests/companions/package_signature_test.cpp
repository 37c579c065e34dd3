// A package is accepted only with the publisher's signature over every one
// of its bytes, checked by CNG with the key the program carries; keys and
// signatures in any other form are refused before anything is checked.
#include <windows.h>

#include <string>

#include <gtest/gtest.h>

#include "base/module_path.h"
#include "package_signature.h"
#include "support/message_pump.h"
#include "support/scoped_temp_dir.h"

namespace halyx::update {
namespace {

using testing::ReadWholeFile;

std::string TestFile(const wchar_t* name) {
  std::string text = ReadWholeFile(BesideExecutable(std::wstring(L"update-test\\") + name));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

PackageSignature::PublicKey Key(const wchar_t* name) {
  PackageSignature::PublicKey key{};
  std::string error;
  EXPECT_TRUE(PackageSignature::ParsePublicKey(TestFile(name), key, error)) << error;
  return key;
}

PackageSignature::Signature Signature(const wchar_t* name) {
  PackageSignature::Signature signature{};
  std::string error;
  EXPECT_TRUE(PackageSignature::ParseSignature(TestFile(name), signature, error)) << error;
  return signature;
}

const std::wstring kPackage = BesideExecutable(L"update-test\\package.exe");

TEST(PackageSignatureTest, ThePublishersSignatureOverTheFileVerifies) {
  std::string error;
  EXPECT_TRUE(PackageSignature::VerifyFile(kPackage, Key(L"pub.pem"), Signature(L"package.exe.sig"), error)) << error;
}

TEST(PackageSignatureTest, AChangedByteOrAnotherKeysSignatureIsRefused) {
  std::string error;
  EXPECT_FALSE(PackageSignature::VerifyFile(kPackage, Key(L"pub.pem"), Signature(L"package.exe.other-sig"), error));
  EXPECT_EQ(error, "the package's signature does not match");
  EXPECT_FALSE(PackageSignature::VerifyFile(kPackage, Key(L"other-pub.pem"), Signature(L"package.exe.sig"), error));
  EXPECT_EQ(error, "the package's signature does not match");

  testing::ScopedTempDir temp;
  std::string bytes = ReadWholeFile(kPackage);
  ASSERT_GT(bytes.size(), 1000u);
  const std::wstring changed = temp.path() + L"\\package.exe";
  for (const std::size_t at : {std::size_t{0}, bytes.size() / 2, bytes.size() - 1}) {
    std::string copy = bytes;
    copy[at] = static_cast<char>(copy[at] ^ 0x01);
    ASSERT_TRUE(testing::WriteWholeFile(changed, copy));
    EXPECT_FALSE(PackageSignature::VerifyFile(changed, Key(L"pub.pem"), Signature(L"package.exe.sig"), error)) << at;
  }
  // One byte more, or one fewer, is another file as well.
  ASSERT_TRUE(testing::WriteWholeFile(changed, bytes + "x"));
  EXPECT_FALSE(PackageSignature::VerifyFile(changed, Key(L"pub.pem"), Signature(L"package.exe.sig"), error));
  ASSERT_TRUE(testing::WriteWholeFile(changed, bytes.substr(0, bytes.size() - 1)));
  EXPECT_FALSE(PackageSignature::VerifyFile(changed, Key(L"pub.pem"), Signature(L"package.exe.sig"), error));
}

TEST(PackageSignatureTest, OnlyAP256KeyAndSixtyFourSignatureBytesAreRead) {
  PackageSignature::PublicKey key{};
  std::string error;
  const std::string p256 = TestFile(L"pub.pem");
  // An Ed25519 key (RFC 8410's example), a cut P-256 key, no PEM at all.
  const std::string others[] = {
      "-----BEGIN PUBLIC KEY-----\nMCowBQYDK2VwAyEAGb9ECWmEzf6FQbrBZ9w7lshQhqowtrbLDFw4rXAxZuE=\n-----END PUBLIC "
      "KEY-----\n",
      p256.substr(0, 60) + "\n-----END PUBLIC KEY-----\n",
      "not a key",
      "",
  };
  for (const std::string& pem : others) {
    EXPECT_FALSE(PackageSignature::ParsePublicKey(pem, key, error)) << pem;
  }

  PackageSignature::Signature signature{};
  const std::string good = TestFile(L"package.exe.sig");
  ASSERT_EQ(good.size(), 128u);
  for (const std::string& hex : {good.substr(0, 126), good + "00", good.substr(0, 127) + "g", std::string()}) {
    EXPECT_FALSE(PackageSignature::ParseSignature(hex, signature, error)) << hex;
    EXPECT_EQ(error, "the offer's signature is not 128 hexadecimal digits");
  }
}

}  // namespace
}  // namespace halyx::update
