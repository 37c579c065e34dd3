// The log zipper collects exactly the right files, in order, as LF text, into
// an archive that independent readers accept, and always answers its window.
#include "diag/log_zipper.h"

#include <windows.h>

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
#include "diag/memory_zip_archive.h"
#include "platform/win32/all_users_directory.h"
#include "support/log_capture.h"
#include "support/scoped_temp_dir.h"

namespace halyx {
namespace {

using ::halyx::testing::LogCapture;
using ::halyx::testing::ScopedTempDir;
using Entries = std::vector<std::pair<std::string, std::string>>;

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

void Write(const std::string& path, const std::string& content) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  std::fwrite(content.data(), 1, content.size(), f);
  std::fclose(f);
}

std::string Lf(std::string text) {
  for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
  return text;
}

// Reads the archive back with minizip's reader, through a file of its own.
Entries ReadBack(const std::vector<uint8_t>& archive, const std::string& folder) {
  // minizip's reader refuses an archive without entries; the host's readers
  // check those.
  if (archive.size() == 22) return {};
  const std::string path = folder + "\\readback.zip";
  Write(path, std::string(archive.begin(), archive.end()));
  Entries entries;
  unzFile zip = unzOpen64(path.c_str());
  EXPECT_NE(zip, nullptr);
  if (zip == nullptr) return entries;
  for (int rc = unzGoToFirstFile(zip); rc == UNZ_OK; rc = unzGoToNextFile(zip)) {
    char name[MAX_PATH] = {};
    unz_file_info64 info;
    unzGetCurrentFileInfo64(zip, &info, name, sizeof(name), nullptr, 0, nullptr, 0);
    EXPECT_EQ(info.compression_method, 8u) << name;
    std::string content;
    EXPECT_EQ(unzOpenCurrentFile(zip), UNZ_OK);
    char buffer[65536];
    for (int got; (got = unzReadCurrentFile(zip, buffer, sizeof(buffer))) > 0;) content.append(buffer, got);
    EXPECT_EQ(unzCloseCurrentFile(zip), UNZ_OK) << "CRC of " << name;
    entries.emplace_back(name, content);
  }
  unzClose(zip);
  ::DeleteFileA(path.c_str());
  return entries;
}

// Leaves the archive and what it should hold for the host's readers
// (tests/diag/check_archives.py), when the suite runs under CTest.
void ShareWithHostReaders(const std::vector<uint8_t>& archive, const Entries& expected) {
  char folder[MAX_PATH] = {};
  if (::GetEnvironmentVariableA("QUOR_ARCHIVE_DIR", folder, MAX_PATH) == 0) return;
  static int serial = 0;  // a test may share several archives
  const std::string name = std::string(folder) + "/" +
                           ::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name() + "." +
                           ::testing::UnitTest::GetInstance()->current_test_info()->name() + "." +
                           std::to_string(++serial);
  nlohmann::json entries = nlohmann::json::array();
  const auto md5 = Md5Hasher::Create();
  for (const auto& [entry, content] : expected) {
    std::string hex;
    ASSERT_TRUE(md5->HashHex(content.data(), content.size(), hex));
    entries.push_back({{"name", entry}, {"size", content.size()}, {"md5", hex}});
  }
  Write(name + ".zip", std::string(archive.begin(), archive.end()));
  Write(name + ".json", nlohmann::json{{"entries", entries}}.dump());
}

class LogZipperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = Narrow(temp_.path());
    for (const char* sub : {"\\client", "\\service", "\\other"}) ::CreateDirectoryA((root_ + sub).c_str(), nullptr);
  }

  std::string Client(const char* name) const { return root_ + "\\client\\" + name; }
  std::string Service(const char* name) const { return root_ + "\\service\\" + name; }
  std::string Other(const char* name) const { return root_ + "\\other\\" + name; }
  LogZipper Zipper(bool serviceFolder = true) const {
    LogZipper::Folders folders;
    folders.client = root_ + "\\client";
    if (serviceFolder) folders.service = root_ + "\\service";
    return LogZipper(folders);
  }

  // Zips, reads the archive back here, hands it to the host and checks it.
  Entries ZipAndCheck(const LogZipper& zipper, const std::string& extra, const Entries& expected,
                      bool anyLog = true) {
    std::vector<uint8_t> archive = {1, 2, 3};  // cleared by Zip
    EXPECT_EQ(zipper.Zip(archive, extra), anyLog);
    const Entries entries = ReadBack(archive, root_);
    EXPECT_EQ(entries, expected);
    ShareWithHostReaders(archive, expected);
    return entries;
  }

  ScopedTempDir temp_;
  std::string root_;
};

// The active log alone gives one entry whose CR LF pairs became LF; lone CRs
// and Ctrl-Z bytes stay, and pairs split across read chunks are joined.
TEST_F(LogZipperTest, ActiveLogAloneIsOneEntryOfLfText) {
  std::string log = "[info] App: started\r\n[warning] lone\rcarriage\r\n\x1a after ctrl-z\r\n";
  log.append(8192 - log.size() - 1, 'x');
  log += "\r\n";  // the CR ends the first chunk, its LF starts the second
  for (int i = 0; i < 3000; ++i) log += "[info] TunnelManager: poll " + std::to_string(i) + "\r\n";
  log += "\r";  // a CR at the very end stays
  Write(Client("quorvpn.log"), log);
  ZipAndCheck(Zipper(), "", {{"quorvpn.log", Lf(log.substr(0, log.size() - 1)) + "\r"}});
}

// Five logs in their fixed order, the third rotated client log never, and the
// extra file last under its bare name, even while a writer holds a log open.
TEST_F(LogZipperTest, CollectsTheFiveLogsInOrderThenTheExtraFile) {
  const char* client[] = {"quorvpn.log", "quorvpn.1.log", "quorvpn.2.log", "quorvpn.3.log"};
  for (const char* name : client) Write(Client(name), std::string(name) + "\r\n");
  for (const char* name : {"quor-svc.log", "quor-svc.1.log", "quor-svc.2.log"}) {
    Write(Service(name), std::string(name) + "\r\n");
  }
  Write(Other("tunnel.json"), "{\"a\":1}\r\n");
  // The client's logger keeps its file open for writing.
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

// The extra file adds nothing when its path is empty or missing (silently),
// and nothing when the service folder is unknown; it never counts as a log.
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

// Nothing to collect: the archive is the bare 22-byte end record.
TEST_F(LogZipperTest, NoFilesGiveTheBareEndRecord) {
  std::vector<uint8_t> archive;
  EXPECT_FALSE(Zipper().Zip(archive, ""));
  ASSERT_EQ(archive.size(), 22u);
  EXPECT_EQ(std::string(archive.begin(), archive.begin() + 4), "PK\x05\x06");
  ShareWithHostReaders(archive, {});
}

// A log that exists but cannot be read (locked, or a folder) is left out with
// a warning; the others still go in.
TEST_F(LogZipperTest, UnreadableLogIsLeftOutWithAWarning) {
  Write(Client("quorvpn.log"), "locked");
  ::CreateDirectoryA(Client("quorvpn.1.log").c_str(), nullptr);
  Write(Service("quor-svc.log"), "svc");
  FileHandle exclusive(
      ::CreateFileA(Client("quorvpn.log").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(exclusive);
  LogCapture log;
  ZipAndCheck(Zipper(), "", {{"quor-svc.log", "svc"}});
  EXPECT_TRUE(log.Has(spdlog::level::warn, "LogZipper: cannot open " + Client("quorvpn.log") + " (0x20)"));
  EXPECT_EQ(log.CountAtLeast(spdlog::level::warn), 2u);
}

// Without fixed folders the client's logs come from "<temp>\QuorVPN" and the
// service's from the all-users folder's "QuorVPN\log".
TEST_F(LogZipperTest, SystemFoldersAreTheTempAndAllUsersFolders) {
  char saved[MAX_PATH] = {};
  ::GetEnvironmentVariableA("TMP", saved, MAX_PATH);
  ::SetEnvironmentVariableA("TMP", root_.c_str());
  const LogZipper::Folders folders = LogZipper::SystemFolders();
  ::CreateDirectoryA((root_ + "\\QuorVPN").c_str(), nullptr);
  Write(root_ + "\\QuorVPN\\quorvpn.log", "from temp\r\n");
  std::vector<uint8_t> archive;
  const bool any = LogZipper().Zip(archive, "");
  ::SetEnvironmentVariableA("TMP", saved[0] ? saved : nullptr);

  std::string allUsers;
  ASSERT_TRUE(GetAllUsersDirectory(allUsers));
  EXPECT_EQ(folders.client, root_ + "\\QuorVPN");
  EXPECT_EQ(folders.service, allUsers + "\\QuorVPN\\log");
  EXPECT_TRUE(any);
  const Entries entries = ReadBack(archive, root_);
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries[0], (Entries::value_type{"quorvpn.log", "from temp\n"}));
}

// The archive layer reports what it cannot do as exceptions carrying the
// archive's own texts; a failed close leaves the caller's bytes alone.
TEST(MemoryZipArchive, ReportsEntriesAndClosesThatDoNotFit) {
  ScopedTempDir temp;
  const std::string path = Narrow(temp.path()) + "\\a.log";
  Write(path, std::string(1000, 'a'));
  std::size_t full = 0;
  {
    MemoryZipArchive zip;
    TextFileReader reader;
    ASSERT_TRUE(reader.Open(path));
    EXPECT_TRUE(zip.AddEntry("a.log", reader));
    std::vector<uint8_t> out;
    zip.Close(out);
    full = out.size();
  }
  {
    MemoryZipArchive zip(10);
    TextFileReader reader;
    ASSERT_TRUE(reader.Open(path));
    try {
      zip.AddEntry("a.log", reader);
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Error adding 'a.log' to zip");
    }
  }
  {
    MemoryZipArchive zip(full - 1);
    TextFileReader reader;
    ASSERT_TRUE(reader.Open(path));
    EXPECT_TRUE(zip.AddEntry("a.log", reader));
    std::vector<uint8_t> out = {7};
    try {
      zip.Close(out);
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "Error closing zip in memory!");
    }
    EXPECT_EQ(out, std::vector<uint8_t>{7});
  }
}

// The worker always answers its window with a heap vector, an empty one when
// the archive failed, and frees the vector itself when the post fails.
class ZipLogsWorkerTest : public LogZipperTest {
 protected:
  void SetUp() override {
    LogZipperTest::SetUp();
    window_ = ::CreateWindowExW(0, L"STATIC", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(window_, nullptr);
  }
  void TearDown() override {
    if (window_ != nullptr) ::DestroyWindow(window_);
  }

  std::unique_ptr<std::vector<uint8_t>> RunWorker(const LogZipper& zipper) {
    std::thread(
        [&] { ZipLogsWorker(window_, Other("conf.json"), zipper); })
        .join();
    MSG msg;
    if (!::PeekMessageW(&msg, window_, kLogArchiveMessage, kLogArchiveMessage, PM_REMOVE)) return nullptr;
    EXPECT_EQ(msg.lParam, 0);
    return std::unique_ptr<std::vector<uint8_t>>(reinterpret_cast<std::vector<uint8_t>*>(msg.wParam));
  }

  HWND window_ = nullptr;
};

TEST_F(ZipLogsWorkerTest, PostsTheArchiveToTheWindow) {
  Write(Client("quorvpn.log"), "one\r\n");
  Write(Other("conf.json"), "{}");
  const auto archive = RunWorker(Zipper());
  ASSERT_NE(archive, nullptr);
  const Entries expected = {{"quorvpn.log", "one\n"}, {"conf.json", "{}"}};
  EXPECT_EQ(ReadBack(*archive, root_), expected);
  ShareWithHostReaders(*archive, expected);
}

TEST_F(ZipLogsWorkerTest, ArchiveFailurePostsAnEmptyVector) {
  Write(Client("quorvpn.log"), "one\r\n");
  LogCapture log;
  LogZipper::Folders folders;
  folders.client = root_ + "\\client";
  const auto archive = RunWorker(LogZipper(folders, 16));
  ASSERT_NE(archive, nullptr);
  EXPECT_TRUE(archive->empty());
  EXPECT_TRUE(log.Has(spdlog::level::err, "LogZipper: Error adding 'quorvpn.log' to zip"));
}

TEST_F(ZipLogsWorkerTest, FailedPostIsLoggedInDecimal) {
  Write(Client("quorvpn.log"), "one\r\n");
  ::DestroyWindow(window_);
  const HWND gone = std::exchange(window_, nullptr);
  LogCapture log;
  std::thread([&] { ZipLogsWorker(gone, "", Zipper()); }).join();
  EXPECT_TRUE(log.Has(spdlog::level::warn, "PostMessageW from zipper worker failed: 1400"));
}

}  // namespace
}  // namespace halyx
