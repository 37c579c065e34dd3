// The log zipper collects exactly the right files, in order, as LF text, into
// an archive that independent readers accept, and always answers its window.
#include "diag/log_zipper.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unzip.h>

#include "diag/md5_hasher.h"
#include "base/all_users_directory.h"
#include "base/protected_folder.h"
#include "base/utf8.h"
#include "support/log_capture.h"
#include "support/planted_link.h"
#include "support/scoped_temp_dir.h"

namespace halyx {
namespace {

using ::halyx::testing::LogCapture;
using ::halyx::testing::PlantFileLink;
using ::halyx::testing::PlantFolderLink;
using ::halyx::testing::RemoveLink;
using ::halyx::testing::ScopedTempDir;
using Entries = std::vector<std::pair<std::string, std::string>>;
using spdlog::level::warn;

std::wstring Widen(const std::string& path) { return Utf8ToWide(path); }

void Write(const std::string& path, const std::string& content) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  std::fwrite(content.data(), 1, content.size(), f);
  std::fclose(f);
}

// Reads the archive back with minizip's reader, through a file of its own.
// That reader refuses an archive without entries, which must then be the
// bare end record (the host's readers check it too).
Entries ReadBack(const std::vector<uint8_t>& archive, const std::string& path) {
  if (archive.size() == 22) {
    EXPECT_EQ(std::string(archive.begin(), archive.end()), std::string("PK\x05\x06") + std::string(18, '\0'));
    return {};
  }
  Write(path, std::string(archive.begin(), archive.end()));
  Entries entries;
  unzFile zip = unzOpen64(path.c_str());
  EXPECT_NE(zip, nullptr);
  for (int rc = zip ? unzGoToFirstFile(zip) : UNZ_EOF; rc == UNZ_OK; rc = unzGoToNextFile(zip)) {
    char name[MAX_PATH] = {}, buffer[65536];
    unz_file_info64 info;
    unzGetCurrentFileInfo64(zip, &info, name, sizeof(name), nullptr, 0, nullptr, 0);
    EXPECT_EQ(info.compression_method, 8u) << name;
    EXPECT_EQ(unzOpenCurrentFile(zip), UNZ_OK);
    std::string content;
    for (int got; (got = unzReadCurrentFile(zip, buffer, sizeof(buffer))) > 0;) content.append(buffer, got);
    EXPECT_EQ(unzCloseCurrentFile(zip), UNZ_OK) << "CRC of " << name;
    entries.emplace_back(name, content);
  }
  if (zip) unzClose(zip);
  return entries;
}

// Leaves the archive and what it should hold for the host's readers
// (check_archives.py), when the suite runs under CTest.
void ShareWithHostReaders(const std::vector<uint8_t>& archive, const Entries& expected) {
  char folder[MAX_PATH] = {};
  if (::GetEnvironmentVariableA("QUOR_ARCHIVE_DIR", folder, MAX_PATH) == 0) return;
  static int serial = 0;  // a test may share several archives
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string name =
      std::string(folder) + "/" + test->test_suite_name() + "." + test->name() + "." + std::to_string(++serial);
  nlohmann::json entries = nlohmann::json::array();
  for (const auto& [entry, content] : expected) {
    std::string hex;
    ASSERT_TRUE(Md5Hasher::Create()->HashHex(content.data(), content.size(), hex));
    entries.push_back({{"name", entry}, {"size", content.size()}, {"md5", hex}});
  }
  Write(name + ".zip", std::string(archive.begin(), archive.end()));
  Write(name + ".json", nlohmann::json{{"entries", entries}}.dump());
}

class LogZipperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* sub : {"\\client", "\\service", "\\other"}) ::CreateDirectoryA((root_ + sub).c_str(), nullptr);
    window_ = ::CreateWindowExW(0, L"STATIC", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(window_, nullptr);
  }
  void TearDown() override { ::DestroyWindow(window_); }

  std::string Client(const char* name) const { return root_ + "\\client\\" + name; }
  std::string Other(const char* name) const { return root_ + "\\other\\" + name; }
  LogZipper Zipper(bool serviceFolder = true, std::size_t maxSize = SIZE_MAX) const {
    LogZipper::Folders folders;
    folders.client = root_ + "\\client";
    if (serviceFolder) folders.service = root_ + "\\service";
    return LogZipper(folders, maxSize);
  }

  // Zips, reads the archive back here, hands it to the host and checks it.
  void ZipAndCheck(const LogZipper& zipper, const std::string& extra, const Entries& expected, bool anyLog = true) {
    std::vector<uint8_t> archive = {1, 2, 3};  // cleared by Zip
    EXPECT_EQ(zipper.Zip(archive, extra), anyLog);
    EXPECT_EQ(ReadBack(archive, root_ + "\\readback.zip"), expected);
    ShareWithHostReaders(archive, expected);
  }

  // Runs the worker on a thread of its own and takes the vector it posted.
  std::unique_ptr<std::vector<uint8_t>> RunWorker(const LogZipper& zipper) {
    std::thread([&] { ZipLogsWorker(window_, Other("conf.json"), zipper); }).join();
    MSG msg;
    if (!::PeekMessageW(&msg, window_, kLogArchiveMessage, kLogArchiveMessage, PM_REMOVE)) return nullptr;
    EXPECT_EQ(msg.lParam, 0);
    return std::unique_ptr<std::vector<uint8_t>>(reinterpret_cast<std::vector<uint8_t>*>(msg.wParam));
  }

  ScopedTempDir temp_;
  std::string root_{temp_.path().begin(), temp_.path().end()};
  HWND window_ = nullptr;
};

// The active log alone gives one entry whose CR LF pairs became LF; lone CRs
// and Ctrl-Z bytes stay, and pairs split across read chunks are joined.
TEST_F(LogZipperTest, ActiveLogAloneIsOneEntryOfLfText) {
  std::string log, lf;
  auto line = [&](const std::string& text) {
    log += text + "\r\n";
    lf += text + "\n";
  };
  for (const char* text : {"[info] App: started", "[warning] lone\rcarriage", "\x1a after ctrl-z"}) line(text);
  line(std::string(8191 - log.size(), 'x'));  // its CR ends the first read chunk, its LF starts the second
  for (int i = 0; i < 3000; ++i) line("[info] TunnelManager: poll " + std::to_string(i));
  Write(Client("quorvpn.log"), log + "\r");  // a CR at the very end stays
  ZipAndCheck(Zipper(), "", {{"quorvpn.log", lf + "\r"}});
}

// Five logs in their fixed order, the third rotated client log never, and the
// extra file last under its bare name, even while a writer holds a log open.
TEST_F(LogZipperTest, CollectsTheFiveLogsInOrderThenTheExtraFile) {
  for (const char* name : {"quorvpn.3.log", "quorvpn.2.log", "quorvpn.1.log", "quorvpn.log"}) {
    Write(Client(name), std::string(name) + "\r\n");
  }
  for (const char* name : {"quor-svc.log", "quor-svc.1.log", "quor-svc.2.log"}) {
    Write(root_ + "\\service\\" + name, std::string(name) + "\r\n");
  }
  Write(Other("tunnel.json"), "{\"a\":1}\r\n");
  FileHandle writer(::CreateFileA(Client("quorvpn.log").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(writer);
  ZipAndCheck(Zipper(), Other("tunnel.json"),
              {{"quorvpn.log", "quorvpn.log\n"},
               {"quorvpn.1.log", "quorvpn.1.log\n"},
               {"quorvpn.2.log", "quorvpn.2.log\n"},
               {"quor-svc.log", "quor-svc.log\n"},
               {"quor-svc.1.log", "quor-svc.1.log\n"},
               {"tunnel.json", "{\"a\":1}\n"}});
}

// With no logs the archive is the bare end record. The extra file adds
// nothing when its path is empty or missing (silently), and nothing when the
// service folder is unknown; it never counts as a log.
TEST_F(LogZipperTest, ExtraFileOnlyWhenItExistsAndTheServiceFolderIsKnown) {
  Write(Other("conf.json"), "{}");
  {
    LogCapture log;
    ZipAndCheck(Zipper(), "", {}, false);
    ZipAndCheck(Zipper(), Other("missing.json"), {}, false);
    EXPECT_EQ(log.CountAtLeast(spdlog::level::debug), 0u);
  }
  ZipAndCheck(Zipper(false), Other("conf.json"), {}, false);
  ZipAndCheck(Zipper(), Other("conf.json"), {{"conf.json", "{}"}}, false);
}

// A log that exists but cannot be read (locked, or a folder) is left out with
// a warning; the others still go in.
TEST_F(LogZipperTest, UnreadableLogIsLeftOutWithAWarning) {
  Write(Client("quorvpn.log"), "locked");
  ::CreateDirectoryA(Client("quorvpn.1.log").c_str(), nullptr);
  Write(root_ + "\\service\\quor-svc.log", "svc");
  FileHandle exclusive(
      ::CreateFileA(Client("quorvpn.log").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(exclusive);
  LogCapture log;
  ZipAndCheck(Zipper(), "", {{"quor-svc.log", "svc"}});
  EXPECT_TRUE(log.Has(warn, "LogZipper: cannot open " + Client("quorvpn.log") + " (0x20)"));
  EXPECT_EQ(log.CountAtLeast(warn), 2u);
}

// Without fixed folders the client's logs come from the user's protected
// folder and the service's from the all-users folder's "QuorVPN\log".
TEST_F(LogZipperTest, SystemFoldersAreTheUsersProtectedAndTheServicesFolders) {
  std::string allUsers;
  ASSERT_TRUE(GetAllUsersDirectory(allUsers));
  const std::string users = allUsers + "\\QuorVPN\\users";
  const std::string mine = users + "\\" + WideToUtf8(CurrentUserSid());
  const bool existed = ::GetFileAttributesA(mine.c_str()) != INVALID_FILE_ATTRIBUTES;
  const LogZipper::Folders folders = LogZipper::SystemFolders();
  EXPECT_EQ(folders.client, mine + "\\log");
  EXPECT_EQ(folders.service, allUsers + "\\QuorVPN\\log");
  // Made for this test alone: removed again (each only when empty).
  if (!existed) {
    for (const std::string& level : {mine + "\\log", mine, users}) ::RemoveDirectoryA(level.c_str());
  }
}

// The zipper reads as administrator: a log that is a link or has a second
// name, and a log folder that is a link, are left out, and what they name is
// not read.
TEST_F(LogZipperTest, LinksInTheLogFoldersAreNotFollowed) {
  Write(Other("secret"), "secret");
  Write(Client("quorvpn.log"), "own");
  ASSERT_TRUE(::CreateHardLinkA(Client("quorvpn.1.log").c_str(), Other("secret").c_str(), nullptr));
  // A link to a file cannot be planted under Wine (docs/wine.md).
  const bool fileLink = PlantFileLink(Widen(Client("quorvpn.2.log")), Widen(Other("secret")));
  ASSERT_TRUE(::RemoveDirectoryA((root_ + "\\service").c_str()));
  ASSERT_TRUE(PlantFolderLink(Widen(root_ + "\\service"), Widen(root_ + "\\other")));
  Write(Other("quor-svc.log"), "secret");
  LogCapture log;
  ZipAndCheck(Zipper(), "", {{"quorvpn.log", "own"}});
  EXPECT_TRUE(log.Has(warn, "LogZipper: " + Client("quorvpn.1.log") + " is a link, left out"));
  EXPECT_EQ(log.Has(warn, "LogZipper: " + Client("quorvpn.2.log") + " is a link, left out"), fileLink);
  EXPECT_TRUE(log.Has(spdlog::level::err, "LogZipper: " + root_ + "\\service is a reparse point, not used"));
  EXPECT_TRUE(RemoveLink(Widen(root_ + "\\service")));
}

// A log folder that someone other than SYSTEM or Administrators made is not
// read (here: the test's own, which the production check does not trust).
TEST_F(LogZipperTest, FolderOfAnUntrustedOwnerIsNotRead) {
  Write(Client("quorvpn.log"), "planted");
  LogZipper::Folders folders;
  folders.client = root_ + "\\client";
  folders.trusted = [](PSID) { return false; };
  LogCapture log;
  ZipAndCheck(LogZipper(folders), "", {}, false);
  EXPECT_EQ(log.Records().back().text.rfind("LogZipper: " + root_ + "\\client is owned by ", 0), 0u);
}

// The worker always answers its window with a heap vector: the archive, or an
// empty one when adding an entry or closing the archive failed (logged). A
// post to a window that is gone is logged in decimal (the vector is freed).
TEST_F(LogZipperTest, WorkerPostsTheArchiveOrAnEmptyVectorOnFailure) {
  Write(Client("quorvpn.log"), "one\r\n");
  Write(Other("conf.json"), "{}");
  const auto archive = RunWorker(Zipper());
  ASSERT_NE(archive, nullptr);
  const Entries expected = {{"quorvpn.log", "one\n"}, {"conf.json", "{}"}};
  EXPECT_EQ(ReadBack(*archive, root_ + "\\readback.zip"), expected);
  ShareWithHostReaders(*archive, expected);

  const std::pair<std::size_t, std::string> failures[] = {{16, "Error adding 'quorvpn.log' to zip"},
                                                          {archive->size() - 1, "Error closing zip in memory!"}};
  for (const auto& [limit, error] : failures) {
    LogCapture log;
    const auto empty = RunWorker(Zipper(true, limit));
    ASSERT_NE(empty, nullptr) << limit;
    EXPECT_TRUE(empty->empty());
    EXPECT_TRUE(log.Has(spdlog::level::err, "LogZipper: " + error));
  }
  ::DestroyWindow(window_);
  LogCapture log;
  EXPECT_EQ(RunWorker(Zipper()), nullptr);
  EXPECT_TRUE(log.Has(warn, "PostMessageW from zipper worker failed: 1400"));
}

}  // namespace
}  // namespace halyx
