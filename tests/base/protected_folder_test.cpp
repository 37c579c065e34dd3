// Folders and files the elevated client writes or reads back: made with an
// access list of administrators, refused when planted, never reached through
// a link.
#include "base/protected_folder.h"

#include <windows.h>

#include <vector>

#include <gtest/gtest.h>

#include "base/user_data_folder.h"
#include "base/utf8.h"
#include "support/folder_access.h"
#include "support/log_capture.h"
#include "support/planted_link.h"
#include "support/scoped_temp_dir.h"

namespace halyx {
namespace {

using namespace ::halyx::testing;

void WriteFileText(const std::wstring& path, const std::string& text) {
  FileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  DWORD written = 0;
  ::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

constexpr ACCESS_MASK kAnyWrite = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                                  FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// Made folders admit no one but SYSTEM and Administrators (Users may read
// where the folder says so, never write), and a folder found with looser
// rights is tightened.
TEST(ProtectedFolder, MadeAndFoundFoldersAdmitOnlyAdministrators) {
  ScopedTempDir dir;
  const std::wstring closed = dir.path() + L"\\closed";
  const std::wstring listed = dir.path() + L"\\listed";
  ASSERT_TRUE(EnsureProtectedFolder(closed, "Test"));
  ASSERT_TRUE(EnsureProtectedFolder(listed, "Test", FolderReaders::kUsers));
  EXPECT_EQ(GrantedToOthers(closed), 0u);
  EXPECT_EQ(GrantedToOthers(listed) & kAnyWrite, 0u);

  // Made with default rights (every user reads it), as the configuration
  // folder of an earlier version was.
  const std::wstring loose = dir.path() + L"\\loose";
  ASSERT_TRUE(::CreateDirectoryW(loose.c_str(), nullptr));
  ASSERT_NE(GrantedToOthers(loose), 0u);
  ASSERT_TRUE(EnsureProtectedFolder(loose, "Test"));
  EXPECT_EQ(GrantedToOthers(loose), 0u);
}

// A link where a folder belongs is refused, to write into and to read back,
// and nothing is made behind it.
TEST(ProtectedFolder, LinkInPlaceOfAFolderIsRefused) {
  ScopedTempDir dir;
  const std::wstring target = dir.path() + L"\\elsewhere";
  const std::wstring link = dir.path() + L"\\QuorVPN";
  ASSERT_TRUE(::CreateDirectoryW(target.c_str(), nullptr));
  ASSERT_TRUE(PlantFolderLink(link, target));
  LogCapture log;
  EXPECT_FALSE(EnsureProtectedFolder(link, "Test"));
  EXPECT_FALSE(CheckProtectedFolder(link, "Test"));
  EXPECT_TRUE(log.Has(spdlog::level::err, "Test: " + WideToUtf8(link) + " is a reparse point, not used"));

  // Every level of the user's folder is checked the same way.
  UserDataFolder::Settings settings;
  settings.root = [&](std::string& folder) {
    folder = WideToUtf8(dir.path());
    return true;
  };
  std::wstring logs;
  EXPECT_FALSE(UserDataFolder::Ensure(UserDataFolder::kLogs, logs, "Test", settings));
  EXPECT_FALSE(FileExists(target + L"\\users"));
  EXPECT_TRUE(logs.empty());
}

// The user's folders: one per SID under "<root>\QuorVPN\users", the same
// path on every call.
TEST(ProtectedFolder, UserFoldersAreNamedByTheUsersSid) {
  ScopedTempDir dir;
  UserDataFolder::Settings settings;
  settings.root = [&](std::string& folder) {
    folder = WideToUtf8(dir.path()) + "\\";
    return true;
  };
  std::wstring logs;
  ASSERT_TRUE(UserDataFolder::Ensure(UserDataFolder::kLogs, logs, "Test", settings));
  const std::wstring sid = CurrentUserSid();
  ASSERT_EQ(sid.rfind(L"S-1-5-", 0), 0u) << WideToUtf8(sid);
  EXPECT_EQ(logs, dir.path() + L"\\QuorVPN\\users\\" + sid + L"\\log");
  EXPECT_EQ(GrantedToOthers(dir.path() + L"\\QuorVPN\\users\\" + sid), 0u);
  std::wstring again;
  ASSERT_TRUE(UserDataFolder::Ensure(UserDataFolder::kLogs, again, "Test", settings));
  EXPECT_EQ(again, logs);
}

// A file with a second name, or a link, is neither written nor read: the
// file it names stays as it was.
TEST(ProtectedFile, LinkedFilesAreNeitherWrittenNorRead) {
  ScopedTempDir dir;
  const std::wstring target = dir.path() + L"\\target";
  WriteFileText(target, "keep");
  const std::wstring hard = dir.path() + L"\\hard.conf";
  const std::wstring soft = dir.path() + L"\\soft.conf";
  ASSERT_TRUE(::CreateHardLinkW(hard.c_str(), target.c_str(), nullptr));
  std::vector<std::wstring> links{hard};
  if (PlantFileLink(soft, target)) links.push_back(soft);  // not under Wine
  for (const std::wstring& link : links) {
    SCOPED_TRACE(WideToUtf8(link));
    LogCapture log;
    EXPECT_FALSE(WriteProtectedFile(link, "x", "Test"));
    EXPECT_FALSE(OpenProtectedFile(link, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, "Test"));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_CANT_ACCESS_FILE));
    EXPECT_TRUE(log.Has(spdlog::level::err, "Test: " + WideToUtf8(link) + " is a link, not used"));
  }
  EXPECT_EQ(ReadWholeFile(target), "keep");

  // A missing file is normal and not worth a line.
  LogCapture log;
  EXPECT_FALSE(OpenProtectedFile(dir.path() + L"\\missing", GENERIC_READ, 0, OPEN_EXISTING, "Test"));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(log.CountAtLeast(spdlog::level::trace), 0u);
}

// A file replaced through a temporary one is renamed over by its handle:
// the content is whole, no temporary is left, and a link planted under
// either name is never written through.
TEST(ProtectedFile, ReplacingRenamesOverTheOldNameOnly) {
  ScopedTempDir dir;
  const std::wstring target = dir.path() + L"\\target";
  WriteFileText(target, "keep");
  const std::wstring store = dir.path() + L"\\store.dat";

  ASSERT_TRUE(ReplaceProtectedFile(store, "first", "Test"));
  ASSERT_TRUE(ReplaceProtectedFile(store, "second", "Test"));
  EXPECT_EQ(ReadWholeFile(store), "second");
  EXPECT_FALSE(FileExists(store + L".tmp"));

  // A hard link where the store is: its name is replaced, the file it
  // shared is not touched.
  ASSERT_TRUE(::DeleteFileW(store.c_str()));
  ASSERT_TRUE(::CreateHardLinkW(store.c_str(), target.c_str(), nullptr));
  ASSERT_TRUE(ReplaceProtectedFile(store, "third", "Test"));
  EXPECT_EQ(ReadWholeFile(store), "third");
  EXPECT_EQ(ReadWholeFile(target), "keep");

  // A hard link where the temporary file goes: refused.
  ASSERT_TRUE(::CreateHardLinkW((store + L".tmp").c_str(), target.c_str(), nullptr));
  LogCapture log;
  EXPECT_FALSE(ReplaceProtectedFile(store, "fourth", "Test"));
  EXPECT_EQ(ReadWholeFile(store), "third");
  EXPECT_EQ(ReadWholeFile(target), "keep");
}

}  // namespace
}  // namespace halyx
