// The process log: one rotating, always-flushed file in the user's protected
// folder, "<all users>\QuorVPN\users\<SID>\log".
#include <windows.h>

#include <functional>
#include <regex>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include "app/app.h"
#include "base/protected_folder.h"
#include "base/unique_handle.h"
#include "base/utf8.h"
#include "support/log_capture.h"
#include "support/planted_link.h"
#include "support/scoped_temp_dir.h"

namespace halyx {
namespace {

using ::halyx::testing::FileExists;
using ::halyx::testing::FileSize;
using ::halyx::testing::LogCapture;
using ::halyx::testing::PlantFileLink;
using ::halyx::testing::PlantFolderLink;
using ::halyx::testing::ReadWholeFile;
using ::halyx::testing::RemoveLink;
using ::halyx::testing::ScopedTempDir;

// Points the all-users folder at a fresh folder of the test's own and puts
// the default logger back afterwards, so the log file is closed before the
// folder is deleted.
class AppLoggingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = spdlog::default_logger();
    PointRootAt(temp_.path());
  }

  void TearDown() override { spdlog::set_default_logger(previous_); }

  void PointRootAt(const std::wstring& folder) {
    folders_.root = [folder](std::string& root) {
      root = WideToUtf8(folder);
      return true;
    };
  }

  std::wstring LogFolder() const { return temp_.path() + L"\\QuorVPN\\users\\" + CurrentUserSid() + L"\\log"; }
  std::wstring LogFile(const wchar_t* name = L"quorvpn.log") const { return LogFolder() + L"\\" + name; }
  void MakeLogFolder() const {
    std::wstring path = temp_.path();
    for (const std::wstring& level :
         {std::wstring(L"QuorVPN"), std::wstring(L"users"), CurrentUserSid(), std::wstring(L"log")}) {
      path += L"\\" + level;
      ::CreateDirectoryW(path.c_str(), nullptr);
    }
  }

  ScopedTempDir temp_;
  UserDataFolder::Settings folders_;

 private:
  std::shared_ptr<spdlog::logger> previous_;
};

TEST_F(AppLoggingTest, WritesInfoAndAboveAtOnceAndDropsDebug) {
  ASSERT_TRUE(App::SetupLogging(folders_));
  spdlog::debug("App: main app is already running");
  spdlog::info("App: started {}", 1);
  spdlog::warn("App: careful");
  spdlog::error("App: broken ({:#x})", 5u);

  // Read while the logger still holds the file: every record is flushed.
  const std::string text = ReadWholeFile(LogFile());
  EXPECT_EQ(text.find("already running"), std::string::npos);
  const std::regex line(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] \[QUOR\] \[info\] App: started 1\r?\n)"
                        R"(\[[^\]]+\] \[QUOR\] \[warning\] App: careful\r?\n)"
                        R"(\[[^\]]+\] \[QUOR\] \[error\] App: broken \(0x5\)\r?\n)");
  EXPECT_TRUE(std::regex_match(text, line)) << text;
  EXPECT_EQ(spdlog::default_logger()->name(), "QUOR");
}

// After shutdown the log file is closed and a line logged late, from any
// thread, is dropped rather than crashing the exit.
TEST_F(AppLoggingTest, ALateLineAfterShutdownIsDiscarded) {
  ASSERT_TRUE(App::SetupLogging(folders_));
  spdlog::info("App: before shutdown");
  App::ShutdownLogging();
  ASSERT_NE(spdlog::default_logger(), nullptr);
  std::thread late([] { spdlog::error("IoLoop: late line ({:#x})", 1u); });
  late.join();
  const std::string text = ReadWholeFile(LogFile());
  EXPECT_NE(text.find("App: before shutdown"), std::string::npos) << text;
  EXPECT_EQ(text.find("late line"), std::string::npos) << text;
  // Closed: nothing holds the file any more.
  EXPECT_TRUE(::DeleteFileW(LogFile().c_str()));
}

TEST_F(AppLoggingTest, ReusesAnExistingFolderAndAppendsToItsLog) {
  MakeLogFolder();
  {
    HANDLE file = ::CreateFileW(LogFile().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ::WriteFile(file, "earlier run\n", 12, &written, nullptr);
    ::CloseHandle(file);
  }
  ASSERT_TRUE(App::SetupLogging(folders_));
  spdlog::info("App: second run");
  const std::string text = ReadWholeFile(LogFile());
  EXPECT_EQ(text.rfind("earlier run\n", 0), 0u) << text;
  EXPECT_NE(text.find("App: second run"), std::string::npos);
}

TEST_F(AppLoggingTest, RotatesPast20MiBKeepingThreeOlderFiles) {
  ASSERT_TRUE(App::SetupLogging(folders_));
  const std::string mebibyte(1 << 20, 'x');
  // 20 records of 1 MiB and their prefixes fit one file; 4 files' worth makes
  // the chain shift three times and the oldest file fall off.
  for (int i = 0; i < 90; ++i) spdlog::info("record {:02} {}", i, mebibyte);
  spdlog::info("App: last record");

  for (const wchar_t* name : {L"quorvpn.log", L"quorvpn.1.log", L"quorvpn.2.log", L"quorvpn.3.log"}) {
    EXPECT_TRUE(FileExists(LogFile(name))) << name;
    EXPECT_LE(FileSize(LogFile(name)), static_cast<long long>(App::kLogMaxSize)) << name;
  }
  EXPECT_FALSE(FileExists(LogFile(L"quorvpn.4.log")));
  EXPECT_NE(ReadWholeFile(LogFile()).find("App: last record"), std::string::npos);
  // Newest first: the active file's records follow those of quorvpn.1.log.
  const std::string rotated = ReadWholeFile(LogFile(L"quorvpn.1.log"));
  const std::string active = ReadWholeFile(LogFile());
  ASSERT_GE(rotated.size(), 30u);
  ASSERT_GE(active.size(), 30u);
  EXPECT_LT(rotated.substr(rotated.rfind("record ") + 7, 2), active.substr(active.find("record ") + 7, 2));
  EXPECT_FALSE(ReadWholeFile(LogFile(L"quorvpn.3.log")).find("record 00 ") != std::string::npos);
}

TEST_F(AppLoggingTest, FailsWhenTheFolderCannotBeCreated) {
  PointRootAt(temp_.path() + L"\\missing\\deeper");
  LogCapture log;
  EXPECT_FALSE(App::SetupLogging(folders_));
  EXPECT_TRUE(log.Has(spdlog::level::err, "util: CreateDirectory failed (0x3)"));
  EXPECT_TRUE(log.Has(spdlog::level::err, "App: temp_path failed (0x3)"));
  EXPECT_EQ(log.CountAtLeast(spdlog::level::err), 2u);
}

TEST_F(AppLoggingTest, FailsCleanlyWhenTheLogFileCannotBeOpened) {
  // A folder where the log file belongs makes the sink unable to open it.
  MakeLogFolder();
  ASSERT_TRUE(::CreateDirectoryW(LogFile().c_str(), nullptr));
  LogCapture log;
  EXPECT_FALSE(App::SetupLogging(folders_));
  ASSERT_EQ(log.CountAtLeast(spdlog::level::err), 2u);
  EXPECT_EQ(log.Records().front().text.rfind("util: cannot open " + WideToUtf8(LogFile()), 0), 0u);
  EXPECT_EQ(log.Records().back().text, "App: open log file failed (0x5)");
}

// Links planted where the log goes make start-up fail rather than write
// through them: a log file with a second name or a link, a log folder that
// is a link. What they name stays as it was.
TEST_F(AppLoggingTest, LinksWhereTheLogGoesAreRefusedAndWhatTheyNameIsUntouched) {
  ScopedTempDir outside;
  const std::wstring target = outside.path() + L"\\victim.dll";
  {
    FileHandle file(::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    DWORD written = 0;
    ::WriteFile(file.get(), "keep", 4, &written, nullptr);
  }
  MakeLogFolder();
  // A link to a file cannot be planted under Wine (docs/wine.md).
  const std::pair<std::function<bool()>, bool> plants[] = {
      {[&] { return ::CreateHardLinkW(LogFile().c_str(), target.c_str(), nullptr) != FALSE; }, true},
      {[&] { return PlantFileLink(LogFile(), target); }, false},
      {[&] { return ::RemoveDirectoryW(LogFolder().c_str()) && PlantFolderLink(LogFolder(), outside.path()); }, true},
  };
  for (const auto& [plant, everywhere] : plants) {
    if (!plant()) {
      ASSERT_FALSE(everywhere);
      continue;
    }
    LogCapture log;
    EXPECT_FALSE(App::SetupLogging(folders_));
    EXPECT_EQ(log.CountAtLeast(spdlog::level::err), 2u);
    spdlog::info("App: after the refusal");
    EXPECT_EQ(ReadWholeFile(target), "keep");
    EXPECT_FALSE(FileExists(outside.path() + L"\\quorvpn.log"));
    if (!RemoveLink(LogFile())) ::DeleteFileW(LogFile().c_str());
  }
  EXPECT_TRUE(RemoveLink(LogFolder()));
}

}  // namespace
}  // namespace halyx
