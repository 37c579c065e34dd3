// The process log: one rotating, always-flushed file in <temp>\QuorVPN.
#include <windows.h>

#include <regex>
#include <string>

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include "app/app.h"
#include "support/log_capture.h"
#include "support/scoped_temp_dir.h"

namespace halyx {
namespace {

using ::halyx::testing::FileExists;
using ::halyx::testing::FileSize;
using ::halyx::testing::LogCapture;
using ::halyx::testing::ReadWholeFile;
using ::halyx::testing::ScopedTempDir;

// Points the temporary folder (TMP, then TEMP) at a fresh folder of the test's
// own and puts everything back afterwards, the default logger included, so the
// log file is closed before the folder is deleted.
class AppLoggingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = spdlog::default_logger();
    SaveAndSet(L"TMP", savedTmp_);
    SaveAndSet(L"TEMP", savedTemp_);
  }

  void TearDown() override {
    spdlog::set_default_logger(previous_);
    ::SetEnvironmentVariableW(L"TMP", savedTmp_.empty() ? nullptr : savedTmp_.c_str());
    ::SetEnvironmentVariableW(L"TEMP", savedTemp_.empty() ? nullptr : savedTemp_.c_str());
  }

  void PointTempAt(const std::wstring& folder) {
    ::SetEnvironmentVariableW(L"TMP", folder.c_str());
    ::SetEnvironmentVariableW(L"TEMP", folder.c_str());
  }

  std::wstring LogFile(const wchar_t* name = L"quorvpn.log") const { return temp_.path() + L"\\QuorVPN\\" + name; }

  ScopedTempDir temp_;

 private:
  void SaveAndSet(const wchar_t* name, std::wstring& saved) {
    wchar_t value[32768];
    const DWORD n = ::GetEnvironmentVariableW(name, value, 32768);
    saved.assign(value, n < 32768 ? n : 0);
    ::SetEnvironmentVariableW(name, temp_.path().c_str());
  }

  std::shared_ptr<spdlog::logger> previous_;
  std::wstring savedTmp_;
  std::wstring savedTemp_;
};

TEST_F(AppLoggingTest, WritesInfoAndAboveAtOnceAndDropsDebug) {
  ASSERT_TRUE(App::SetupLogging());
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

TEST_F(AppLoggingTest, ReusesAnExistingFolderAndAppendsToItsLog) {
  ASSERT_TRUE(::CreateDirectoryW((temp_.path() + L"\\QuorVPN").c_str(), nullptr));
  {
    HANDLE file = ::CreateFileW(LogFile().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ::WriteFile(file, "earlier run\n", 12, &written, nullptr);
    ::CloseHandle(file);
  }
  ASSERT_TRUE(App::SetupLogging());
  spdlog::info("App: second run");
  const std::string text = ReadWholeFile(LogFile());
  EXPECT_EQ(text.rfind("earlier run\n", 0), 0u) << text;
  EXPECT_NE(text.find("App: second run"), std::string::npos);
}

TEST_F(AppLoggingTest, RotatesPast20MiBKeepingThreeOlderFiles) {
  ASSERT_TRUE(App::SetupLogging());
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
  PointTempAt(temp_.path() + L"\\missing\\deeper");
  LogCapture log;
  EXPECT_FALSE(App::SetupLogging());
  EXPECT_TRUE(log.Has(spdlog::level::err, "util: CreateDirectory failed (0x3)"));
  EXPECT_TRUE(log.Has(spdlog::level::err, "App: temp_path failed (0x3)"));
  EXPECT_EQ(log.CountAtLeast(spdlog::level::err), 2u);
}

TEST_F(AppLoggingTest, FailsCleanlyWhenTheLogFileCannotBeOpened) {
  // A folder where the log file belongs makes the sink unable to open it.
  ASSERT_TRUE(::CreateDirectoryW((temp_.path() + L"\\QuorVPN").c_str(), nullptr));
  ASSERT_TRUE(::CreateDirectoryW(LogFile().c_str(), nullptr));
  LogCapture log;
  EXPECT_FALSE(App::SetupLogging());
  ASSERT_EQ(log.CountAtLeast(spdlog::level::err), 1u);
  EXPECT_EQ(log.Records().back().text.rfind("App: open log file failed (", 0), 0u);
}

}  // namespace
}  // namespace halyx
