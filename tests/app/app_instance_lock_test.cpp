// The single-instance lock: a file in the user's protected folder, which
// nothing the user runs unelevated can hold or replace.
#include <windows.h>
#include <userenv.h>

#include <gtest/gtest.h>

#include "app/app.h"
#include "base/protected_folder.h"
#include "base/utf8.h"
#include "support/log_capture.h"
#include "support/scoped_temp_dir.h"

namespace halyx {
namespace {

using namespace ::halyx::testing;

UserDataFolder::Settings FoldersIn(const ScopedTempDir& dir) {
  UserDataFolder::Settings folders;
  const std::string root = WideToUtf8(dir.path());
  folders.root = [root](std::string& folder) {
    folder = root;
    return true;
  };
  return folders;
}

std::wstring ProfileLockFile() {
  HANDLE raw = nullptr;
  ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw);
  const ProcessHandle token(raw);
  wchar_t profile[MAX_PATH + 1] = {};
  DWORD size = MAX_PATH + 1;
  ::GetUserProfileDirectoryW(token.get(), profile, &size);
  return std::wstring(profile) + L"\\quorvpn.lock";
}

// One holder at a time; the second learns the first's process id, to let it
// come to the front, and a lock file held open in the user's profile (where
// the lock used to be, open to any program of the user) blocks nothing.
TEST(AppInstanceLock, OneHolderAtATimeWhateverTheProfileHolds) {
  ScopedTempDir dir;
  const UserDataFolder::Settings folders = FoldersIn(dir);
  const std::wstring profileLock = ProfileLockFile();
  const bool profileLockExisted = FileExists(profileLock);
  {
    const FileHandle squatter(
        ::CreateFileW(profileLock.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, 0, nullptr));
    ASSERT_TRUE(squatter.valid());
    LogCapture log;
    auto first = std::make_unique<App>();
    ASSERT_TRUE(first->AcquireInstanceLock(folders));
    EXPECT_EQ(App::RunningInstanceId(folders), ::GetCurrentProcessId());
    {
      App second;
      EXPECT_FALSE(second.AcquireInstanceLock(folders));
      EXPECT_TRUE(log.Has(spdlog::level::err, "App: CreateFile failed (0x20)"));
      EXPECT_TRUE(log.Has(spdlog::level::debug, "App: main app is already running"));
    }
    first.reset();
    App third;
    EXPECT_TRUE(third.AcquireInstanceLock(folders));
  }
  if (!profileLockExisted) ::DeleteFileW(profileLock.c_str());
}

// A second name in place of the lock file is refused: the administrator
// neither writes nor holds the file it names.
TEST(AppInstanceLock, LinkInPlaceOfTheLockIsRefused) {
  ScopedTempDir dir;
  ScopedTempDir outside;
  const UserDataFolder::Settings folders = FoldersIn(dir);
  std::wstring folder;
  ASSERT_TRUE(UserDataFolder::Ensure(L"", folder, "Test", folders));
  const std::wstring target = outside.path() + L"\\victim";
  {
    FileHandle file(::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    DWORD written = 0;
    ::WriteFile(file.get(), "keep", 4, &written, nullptr);
  }
  ASSERT_TRUE(::CreateHardLinkW((folder + L"\\quorvpn.lock").c_str(), target.c_str(), nullptr));
  LogCapture log;
  App app;
  EXPECT_FALSE(app.AcquireInstanceLock(folders));
  EXPECT_TRUE(log.Has(spdlog::level::err, "App: CreateFile failed (0x780)"));
  EXPECT_EQ(ReadWholeFile(target), "keep");
  // Not held either.
  EXPECT_TRUE(FileHandle(::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr)).valid());
}

}  // namespace
}  // namespace halyx
