// Installing an offer: the package is stored whole in its folder only when
// its length and its signature hold; every failed check is refused with a
// reason and leaves no file behind.
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/module_path.h"
#include "base/utf8.h"
#include "support/message_pump.h"
#include "support/net_stand_ins.h"
#include "support/scoped_temp_dir.h"
#include "update_install.h"

namespace halyx::update {
namespace {

using testing::HttpEndpoint;
using testing::ReadWholeFile;

std::string TestFile(const wchar_t* name) {
  std::string text = ReadWholeFile(BesideExecutable(std::wstring(L"update-test\\") + name));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

const std::wstring kPackage = BesideExecutable(L"update-test\\package.exe");

class UpdateInstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings_.folder = temp_.path() + L"\\updates";
    std::string error;
    ASSERT_TRUE(PackageSignature::ParsePublicKey(TestFile(L"pub.pem"), key_, error)) << error;
    bytes_ = ReadWholeFile(kPackage);
    offer_.version.parts = {6, 0, 9, 0};
    offer_.size = bytes_.size();
    offer_.signature = TestFile(L"package.exe.sig");
  }

  std::vector<std::wstring> FilesInFolder() const {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    HANDLE find = ::FindFirstFileW((settings_.folder + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
      if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(entry.cFileName);
    } while (::FindNextFileW(find, &entry));
    ::FindClose(find);
    return names;
  }

  testing::ScopedTempDir temp_;
  UpdateInstall::Settings settings_;
  PackageSignature::PublicKey key_{};
  std::string bytes_;
  Appcast offer_;
};

TEST_F(UpdateInstallTest, AGoodPackageIsStoredWholeWithItsProgress) {
  HttpEndpoint server({"--status", "200", "--body-file", WideToUtf8(kPackage)});
  ASSERT_TRUE(server.ok());
  offer_.url = server.Url() + "/QuorVPN-6.0.9-setup.exe";
  std::vector<uint64_t> seen;
  std::wstring package;
  std::string error;
  ASSERT_TRUE(UpdateInstall::Fetch(
      offer_, key_,
      [&](uint64_t received, uint64_t total) {
        seen.push_back(total == offer_.size ? received : 0);
        return true;
      },
      package, error, settings_))
      << error;
  EXPECT_EQ(package, settings_.folder + L"\\QuorVPN-6.0.9.0-setup.exe");
  EXPECT_EQ(ReadWholeFile(package), bytes_);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), offer_.size);
  for (std::size_t i = 1; i < seen.size(); ++i) EXPECT_GT(seen[i], seen[i - 1]);
  EXPECT_EQ(server.Stats().last.rfind("GET /QuorVPN-6.0.9-setup.exe HTTP/1.1", 0), 0u);
}

TEST_F(UpdateInstallTest, EveryFailedCheckIsRefusedWithAReasonAndLeavesNoFile) {
  const std::string size = std::to_string(bytes_.size());
  struct Case {
    const char* what;
    std::vector<std::string> server;
    uint64_t offeredSize;   // 0: the package's own
    const char* signature;  // null: the good one
    const char* error;      // the start of the reason
    const char* otherwise;  // another start it may have; null: none
  } cases[] = {
      {"another key's signature", {}, 0, "package.exe.other-sig", "the package's signature does not match", nullptr},
      // WinHTTP reports a connection closed early as an end of the body or
      // as a failed read, by version.
      {"a truncated download",
       {"--cut", std::to_string(bytes_.size() / 2)},
       0,
       nullptr,
       "the package is truncated: ",
       "the download broke off"},
      {"a longer length announced", {}, bytes_.size() - 1, nullptr, "the package is ", nullptr},
      {"a shorter length announced", {}, bytes_.size() + 1, nullptr, "the package is ", nullptr},
      {"a size over the limit", {}, PackageDownload::kMaxBytes + 1, nullptr, "the offered package's size", nullptr},
      {"a status other than 200",
       {"--status", "404"},
       0,
       nullptr,
       "the download server answered with status 404",
       nullptr},
  };
  for (const Case& c : cases) {
    std::vector<std::string> options = {"--status", "200", "--body-file", WideToUtf8(kPackage)};
    options.insert(options.end(), c.server.begin(), c.server.end());
    HttpEndpoint server(options);
    ASSERT_TRUE(server.ok());
    Appcast offer = offer_;
    offer.url = server.Url() + "/p.exe";
    if (c.offeredSize != 0) offer.size = c.offeredSize;
    if (c.signature != nullptr)
      offer.signature = TestFile(std::wstring(c.signature, c.signature + std::strlen(c.signature)).c_str());
    std::wstring package;
    std::string error;
    EXPECT_FALSE(UpdateInstall::Fetch(offer, key_, nullptr, package, error, settings_)) << c.what;
    EXPECT_TRUE(error.rfind(c.error, 0) == 0 || (c.otherwise != nullptr && error.rfind(c.otherwise, 0) == 0))
        << c.what << ": " << error;
    EXPECT_TRUE(FilesInFolder().empty()) << c.what;
  }
}

TEST_F(UpdateInstallTest, AnOfferWithoutASignedPackageOrOverPlainHttpFetchesNothing) {
  HttpEndpoint server({"--status", "200", "--body-file", WideToUtf8(kPackage)});
  ASSERT_TRUE(server.ok());
  std::wstring package;
  std::string error;
  Appcast unsigned_ = offer_;
  unsigned_.url = server.Url() + "/p.exe";
  unsigned_.signature.clear();
  EXPECT_FALSE(UpdateInstall::Fetch(unsigned_, key_, nullptr, package, error, settings_));
  EXPECT_EQ(error, "the offer names no signed package (url, size and signature)");
  Appcast remote = offer_;
  remote.url = "http://downloads.quorvpn.invalid/p.exe";
  EXPECT_FALSE(UpdateInstall::Fetch(remote, key_, nullptr, package, error, settings_));
  EXPECT_EQ(error, "the package's address is not an https address");
  EXPECT_EQ(server.Stats().requests, 0);
  EXPECT_TRUE(FilesInFolder().empty());
}

}  // namespace
}  // namespace halyx::update
