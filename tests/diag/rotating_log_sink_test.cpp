// The log's own sink rotates as the library's did, but through handles: a
// name planted in the folder moves as a name and is never written through.
#include "diag/rotating_log_sink.h"

#include <windows.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <spdlog/logger.h>

#include "base/unique_handle.h"
#include "support/log_capture.h"
#include "support/scoped_temp_dir.h"

namespace halyx {
namespace {

using namespace ::halyx::testing;

// A logger over a sink of 100 bytes per file and 3 rotated files, with the
// bare message as its pattern; errors the sink throws are collected.
struct SmallLog {
  explicit SmallLog(const std::wstring& folder)
      : sink(std::make_shared<RotatingLogSink>(folder, L"quorvpn.log", 100, 3)),
        logger(std::make_shared<spdlog::logger>("QUOR", sink)) {
    logger->set_pattern("%v");
    logger->set_error_handler([this](const std::string& message) { errors += message + "\n"; });
  }
  std::shared_ptr<RotatingLogSink> sink;
  std::shared_ptr<spdlog::logger> logger;
  std::string errors;
};

std::string Line(int i) { return "record " + std::to_string(i) + " " + std::string(30, 'x'); }

TEST(RotatingLogSink, RotatedNamesCarryTheIndexBeforeTheExtension) {
  EXPECT_EQ(RotatingLogSink::RotatedName(L"quorvpn.log", 0), L"quorvpn.log");
  EXPECT_EQ(RotatingLogSink::RotatedName(L"quorvpn.log", 3), L"quorvpn.3.log");
  EXPECT_EQ(RotatingLogSink::RotatedName(L"log", 1), L"log.1");
}

// Past the size the chain shifts, newest first, the oldest falls off, and a
// file held open by a reader (as the log collector holds it) moves too. (No
// system replaces a file that is still open: the reader lets go before its
// file would fall off.)
TEST(RotatingLogSink, RotationShiftsTheChainWhileReadersHoldFiles) {
  ScopedTempDir dir;
  SmallLog log(dir.path());
  ASSERT_TRUE(log.sink->Open("Test"));
  // Two 41-byte records per file; 10 records make five files' worth.
  for (int i = 0; i < 4; ++i) log.logger->info(Line(i));
  FileHandle reader(::CreateFileW((dir.path() + L"\\quorvpn.1.log").c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                  nullptr));
  ASSERT_TRUE(reader.valid());
  for (int i = 4; i < 8; ++i) log.logger->info(Line(i));
  EXPECT_EQ(ReadWholeFile(dir.path() + L"\\quorvpn.3.log"), Line(0) + "\r\n" + Line(1) + "\r\n");
  reader.reset();
  for (int i = 8; i < 10; ++i) log.logger->info(Line(i));
  EXPECT_EQ(log.errors, "");
  const std::string eol = "\r\n";
  EXPECT_EQ(ReadWholeFile(dir.path() + L"\\quorvpn.log"), Line(8) + eol + Line(9) + eol);
  EXPECT_EQ(ReadWholeFile(dir.path() + L"\\quorvpn.1.log"), Line(6) + eol + Line(7) + eol);
  EXPECT_EQ(ReadWholeFile(dir.path() + L"\\quorvpn.3.log"), Line(2) + eol + Line(3) + eol);
  EXPECT_FALSE(FileExists(dir.path() + L"\\quorvpn.4.log"));
}

// A rotated name that is a hard link to a file elsewhere is not renamed as
// the sink's own (it is refused and reported) and the file it shares is
// never written; the log goes on.
TEST(RotatingLogSink, HardLinkedRotatedFileIsRefusedAndItsFileUntouched) {
  ScopedTempDir dir;
  ScopedTempDir outside;
  const std::wstring target = outside.path() + L"\\victim";
  {
    FileHandle file(::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    DWORD written = 0;
    ::WriteFile(file.get(), "keep", 4, &written, nullptr);
  }
  ASSERT_TRUE(::CreateHardLinkW((dir.path() + L"\\quorvpn.2.log").c_str(), target.c_str(), nullptr));
  SmallLog log(dir.path());
  ASSERT_TRUE(log.sink->Open("Test"));
  for (int i = 0; i < 10; ++i) log.logger->info(Line(i));
  EXPECT_NE(log.errors.find("rotating_file_sink: failed renaming"), std::string::npos) << log.errors;
  EXPECT_EQ(ReadWholeFile(target), "keep");
  EXPECT_NE(ReadWholeFile(dir.path() + L"\\quorvpn.log").find(Line(9)), std::string::npos);
}

}  // namespace
}  // namespace halyx
