// The crash reporter stand-in (sentry.dll): a crash on any thread of a
// program that started it leaves a whole minidump in its database folder,
// and shutting it down gives the exception filter back.
#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/module_path.h"
#include "base/process_launch.h"
#include "base/unique_handle.h"
#include "base/utf8.h"
#include "support/scoped_temp_dir.h"

namespace halyx::testing {
namespace {

std::vector<std::wstring> FilesIn(const std::wstring& folder) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW entry;
  HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) names.push_back(entry.cFileName);
  } while (::FindNextFileW(find, &entry));
  ::FindClose(find);
  return names;
}

ProcessHandle StartProbe(const std::wstring& database, const wchar_t* mode) {
  return StartProcess(L"\"" + BesideExecutable(L"crash_probe.exe") + L"\" \"" + database + L"\" " + mode);
}

// Wine takes tens of seconds over a minidump (docs/wine.md).
DWORD ExitCode(const ProcessHandle& probe) {
  if (!probe) return 1000;
  if (::WaitForSingleObject(probe.get(), 120000) != WAIT_OBJECT_0) {
    ::TerminateProcess(probe.get(), 99);
    return 99;
  }
  DWORD code = 0;
  ::GetExitCodeProcess(probe.get(), &code);
  return code;
}

// The database folder need not exist (the client's "QuorVPN\minidumps" does
// not on a first run) and its path is passed as UTF-8.
TEST(CrashReporterStandIn, ACrashOnAnyThreadLeavesOneWholeMinidump) {
  struct Case {
    const wchar_t* mode;
    DWORD exitCode;
  } cases[] = {
      {L"main", EXCEPTION_ACCESS_VIOLATION},
      {L"thread", EXCEPTION_ACCESS_VIOLATION},
      {L"overflow", EXCEPTION_STACK_OVERFLOW},
  };
  // Side by side: each dump takes long under Wine.
  ScopedTempDir dirs[3];
  ProcessHandle probes[3];
  for (int i = 0; i < 3; ++i)
    probes[i] = StartProbe(dirs[i].path() + L"\\Z\u00fcrich \u6771\u4eac\\minidumps", cases[i].mode);
  for (int i = 0; i < 3; ++i) {
    const Case& c = cases[i];
    const std::wstring database = dirs[i].path() + L"\\Z\u00fcrich \u6771\u4eac\\minidumps";
    EXPECT_EQ(ExitCode(probes[i]), c.exitCode) << WideToUtf8(c.mode);
    const std::vector<std::wstring> files = FilesIn(database);
    ASSERT_EQ(files.size(), 1u) << WideToUtf8(c.mode);
    EXPECT_EQ(files[0].rfind(L"crash-", 0), 0u) << WideToUtf8(files[0]);
    EXPECT_EQ(files[0].substr(files[0].size() - 4), L".dmp") << WideToUtf8(files[0]);
    const std::string dump = ReadWholeFile(database + L"\\" + files[0]);
    ASSERT_GT(dump.size(), 1000u) << WideToUtf8(c.mode);
    EXPECT_EQ(dump.substr(0, 4), "MDMP");
    EXPECT_NE(dump.find("release=crash_probe@1.2.3"), std::string::npos);
  }
}

TEST(CrashReporterStandIn, NoCrashNoDump) {
  ScopedTempDir dir;
  EXPECT_EQ(ExitCode(StartProbe(dir.path() + L"\\minidumps", L"none")), 0u);
  EXPECT_TRUE(FilesIn(dir.path() + L"\\minidumps").empty());
}

LONG WINAPI SentinelFilter(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }

// Init puts its filter in place of the one there before; shutdown gives that
// one back. Options it cannot use fail init and install nothing.
TEST(CrashReporterStandIn, ShutdownGivesThePreviousFilterBack) {
  const HMODULE module = ::LoadLibraryExW(BesideExecutable(L"sentry.dll").c_str(), nullptr, 0);
  ASSERT_NE(module, nullptr);
  auto optionsNew =
      reinterpret_cast<void*(__cdecl*)()>(reinterpret_cast<void*>(::GetProcAddress(module, "sentry_options_new")));
  auto setDatabasePath = reinterpret_cast<void(__cdecl*)(void*, const char*)>(
      reinterpret_cast<void*>(::GetProcAddress(module, "sentry_options_set_database_path")));
  auto init = reinterpret_cast<int(__cdecl*)(void*)>(reinterpret_cast<void*>(::GetProcAddress(module, "sentry_init")));
  auto shutdown =
      reinterpret_cast<int(__cdecl*)()>(reinterpret_cast<void*>(::GetProcAddress(module, "sentry_shutdown")));
  ASSERT_TRUE(optionsNew && setDatabasePath && init && shutdown);

  const LPTOP_LEVEL_EXCEPTION_FILTER before = ::SetUnhandledExceptionFilter(&SentinelFilter);
  ScopedTempDir dir;
  // A file where the folder should be.
  const std::wstring blocked = dir.path() + L"\\file";
  {
    const FileHandle file(::CreateFileW(blocked.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    ASSERT_TRUE(file.valid());
  }
  void* options = optionsNew();
  setDatabasePath(options, WideToUtf8(blocked).c_str());
  EXPECT_NE(init(options), 0);
  EXPECT_EQ(init(nullptr), 1);
  EXPECT_EQ(::SetUnhandledExceptionFilter(&SentinelFilter), &SentinelFilter);

  options = optionsNew();
  setDatabasePath(options, WideToUtf8(dir.path()).c_str());
  ASSERT_EQ(init(options), 0);
  const LPTOP_LEVEL_EXCEPTION_FILTER installed = ::SetUnhandledExceptionFilter(&SentinelFilter);
  EXPECT_NE(installed, &SentinelFilter);
  ::SetUnhandledExceptionFilter(installed);
  EXPECT_EQ(shutdown(), 0);
  EXPECT_EQ(::SetUnhandledExceptionFilter(before), &SentinelFilter);
  EXPECT_EQ(shutdown(), 0);                   // twice is harmless
  EXPECT_EQ(FilesIn(dir.path()).size(), 1u);  // the blocking file alone
}

}  // namespace
}  // namespace halyx::testing
