// Auto-start: the elevated log-on task is the switch, registered only for
// an executable that nobody but administrators can change, with the quoted
// Run value beside it; the Run value alone decides nothing; failures are one
// line each; the tray menu's check mark follows the task.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <oleauto.h>
#include <taskschd.h>
#include <wrl/client.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/app.h"
#include "app/auto_startup.h"
#include "app/log_on_task.h"
#include "app/process_values.h"
#include "base/module_path.h"
#include "base/scoped_bstr.h"
#include "support/log_capture.h"
#include "support/message_pump.h"
#include "support/scoped_temp_dir.h"

namespace halyx {
namespace {

using ::halyx::testing::LogCapture;
using ::halyx::testing::ScopedTempDir;
using ::halyx::testing::WriteWholeFile;
using Microsoft::WRL::ComPtr;

constexpr wchar_t kTestValue[] = L"com.quorvpn.win32.test";

// Whether the scheduler knows a task of that name, asked without our code.
bool TaskExists(const std::wstring& name) {
  ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  ComPtr<ITaskService> service;
  ComPtr<ITaskFolder> root;
  ComPtr<IRegisteredTask> task;
  VARIANT none;
  ::VariantInit(&none);
  const ScopedBstr rootPath(L"\\");
  const ScopedBstr taskPath(name.c_str());
  const bool found = SUCCEEDED(::CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService,
                                                  reinterpret_cast<void**>(service.GetAddressOf()))) &&
                     SUCCEEDED(service->Connect(none, none, none, none)) &&
                     SUCCEEDED(service->GetFolder(rootPath, root.GetAddressOf())) &&
                     SUCCEEDED(root->GetTask(taskPath, task.GetAddressOf()));
  task.Reset();
  root.Reset();
  service.Reset();
  ::CoUninitialize();
  return found;
}

// A value's type and raw bytes; type REG_NONE with no bytes when missing.
struct RawValue {
  DWORD type = REG_NONE;
  std::vector<BYTE> bytes;
  std::wstring Text() const {
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
  }
};

RawValue ReadValue(const wchar_t* key, const wchar_t* name) {
  RawValue value;
  DWORD size = 0;
  if (::RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_ANY | RRF_NOEXPAND, &value.type, nullptr, &size) !=
      ERROR_SUCCESS) {
    return {};
  }
  value.bytes.resize(size);
  ::RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_ANY | RRF_NOEXPAND, &value.type, value.bytes.data(), &size);
  value.bytes.resize(size);
  return value;
}

// Whether Administrators, SYSTEM, TrustedInstaller or this process's user
// may write: Wine records no owners and reports every file as its user's,
// with full control for that user, so the user stands in for the
// administrators a real install is owned by.
bool AdministratorOrMe(PSID sid) {
  if (IsAdministrativeSid(sid)) return true;
  wchar_t* text = nullptr;
  if (!::ConvertSidToStringSidW(sid, &text)) return false;
  const bool me = LogOnTask::CurrentUserSid() == text;
  ::LocalFree(text);
  return me;
}

// Gives Everyone full control of `path`, as a folder a standard user made
// in a shared place would.
bool OpenToEveryone(const std::wstring& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;WD)", SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
    return false;
  }
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL dacl = nullptr;
  ::GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
  const DWORD status = ::SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                                               DACL_SECURITY_INFORMATION, nullptr, nullptr, dacl, nullptr);
  ::LocalFree(descriptor);
  return status == ERROR_SUCCESS;
}

// A Run key of the test's own, removed with everything in it, an executable
// in a folder of the test's own, and settings that name a value and a task
// of the test's own. The tests run as parallel processes in one prefix, so
// each one's key and task carry its name.
class AutoStartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    const std::wstring name(test, test + std::char_traits<char>::length(test));
    root_ = L"Software\\QuorVPN Tests\\" + name;
    runKey_ = root_ + L"\\Run";
    HKEY key = nullptr;
    ASSERT_EQ(
        ::RegCreateKeyExW(HKEY_CURRENT_USER, runKey_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    ::RegCloseKey(key);
    settings_.runKey = runKey_;
    settings_.valueName = kTestValue;
    ASSERT_FALSE(settings_.userSid.empty());
    settings_.taskName = std::wstring(kTestValue) + L" " + name + L" " + settings_.userSid;
    folder_ = install_.path() + L"\\Quor & VPN";
    ASSERT_TRUE(::CreateDirectoryW(folder_.c_str(), nullptr));
    settings_.executable = folder_ + L"\\QuorVPN.exe";
    ASSERT_TRUE(WriteWholeFile(settings_.executable, "MZ"));
    settings_.trusted = AdministratorOrMe;
  }
  void TearDown() override {
    LogOnTask::Remove(settings_.taskName);
    ::RegDeleteTreeW(HKEY_CURRENT_USER, root_.c_str());
    ::RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\QuorVPN Tests");  // only once the last test's key is gone
  }
  void WriteRaw(DWORD type, const void* data, DWORD size) {
    ASSERT_EQ(::RegSetKeyValueW(HKEY_CURRENT_USER, runKey_.c_str(), kTestValue, type, data, size), ERROR_SUCCESS);
  }
  std::wstring Quoted() const { return L"\"" + settings_.executable + L"\"" + L'\0'; }

  std::wstring root_;
  std::wstring runKey_;
  ScopedTempDir install_;
  std::wstring folder_;
  AutoStartup::Settings settings_;
};

TEST_F(AutoStartupTest, EnablingWritesTheQuotedPathAndTheLogOnTaskDisablingRemovesBoth) {
  LogCapture log;
  AutoStartup::SetEnabled(true, settings_);
  EXPECT_TRUE(AutoStartup::GetEnabled(settings_));
  const RawValue value = ReadValue(runKey_.c_str(), kTestValue);
  EXPECT_EQ(value.type, static_cast<DWORD>(REG_SZ));
  // The byte count holds the terminating zero, and nothing after it.
  EXPECT_EQ(value.Text(), Quoted());
  EXPECT_TRUE(TaskExists(settings_.taskName));

  AutoStartup::SetEnabled(false, settings_);
  EXPECT_FALSE(AutoStartup::GetEnabled(settings_));
  EXPECT_EQ(ReadValue(runKey_.c_str(), kTestValue).type, static_cast<DWORD>(REG_NONE));
  EXPECT_FALSE(TaskExists(settings_.taskName));
  EXPECT_EQ(log.CountAtLeast(spdlog::level::warn), 0u);
}

// Any program of the user can write the Run value: of any type, it turns
// nothing on, neither at once nor at the next start; disabling deletes it.
TEST_F(AutoStartupTest, TheRunValueAloneTurnsNothingOn) {
  const DWORD number = 1;
  const wchar_t unquoted[] = L"C:\\Users\\Public\\Downloads\\QuorVPN.exe";
  struct Case {
    DWORD type;
    const void* data;
    DWORD size;
  } cases[] = {{REG_SZ, unquoted, sizeof unquoted}, {REG_DWORD, &number, sizeof number}, {REG_BINARY, nullptr, 0}};
  for (const Case& c : cases) {
    WriteRaw(c.type, c.data, c.size);
    EXPECT_FALSE(AutoStartup::GetEnabled(settings_)) << c.type;
    AutoStartup::Refresh(settings_);
    EXPECT_FALSE(TaskExists(settings_.taskName)) << c.type;
    LogCapture log;
    AutoStartup::SetEnabled(false, settings_);
    EXPECT_EQ(ReadValue(runKey_.c_str(), kTestValue).type, static_cast<DWORD>(REG_NONE)) << c.type;
    EXPECT_EQ(log.Records().size(), 0u) << c.type;
  }
}

// A task of ours is kept up to date by a client in a protected folder, and
// removed by one in a folder anyone else can write, which warns once and
// registers nothing; enabling there is refused the same way.
TEST_F(AutoStartupTest, OnlyAnExecutableNobodyElseCanChangeGetsTheTask) {
  ASSERT_TRUE(LogOnTask::Register(settings_.taskName, settings_.userSid, L"C:\\Old\\QuorVPN.exe"));
  {
    LogCapture log;
    AutoStartup::Refresh(settings_);
    EXPECT_TRUE(AutoStartup::GetEnabled(settings_));
    EXPECT_EQ(ReadValue(runKey_.c_str(), kTestValue).Text(), Quoted());
    EXPECT_EQ(log.CountAtLeast(spdlog::level::warn), 0u);
  }
  ASSERT_TRUE(OpenToEveryone(folder_));
  {
    LogCapture log;
    AutoStartup::Refresh(settings_);
    EXPECT_FALSE(TaskExists(settings_.taskName));
    ASSERT_EQ(log.Records().size(), 1u);
    EXPECT_EQ(log.Records()[0].level, spdlog::level::warn);
    EXPECT_NE(log.Records()[0].text.find("auto-start is refused"), std::string::npos) << log.Records()[0].text;
    EXPECT_NE(log.Records()[0].text.find("S-1-1-0 may write"), std::string::npos) << log.Records()[0].text;
  }
  {
    ASSERT_TRUE(LogOnTask::Register(settings_.taskName, settings_.userSid, L"C:\\Old\\QuorVPN.exe"));
    LogCapture log;
    AutoStartup::SetEnabled(true, settings_);
    EXPECT_FALSE(TaskExists(settings_.taskName));
    EXPECT_FALSE(AutoStartup::GetEnabled(settings_));
    EXPECT_EQ(log.CountAtLeast(spdlog::level::err), 1u);
  }
  {  // the production rule: nothing under Wine is owned by administrators
    AutoStartup::Settings strict = settings_;
    strict.trusted = IsAdministrativeSid;
    strict.executable = ModulePath();
    LogCapture log;
    AutoStartup::SetEnabled(true, strict);
    EXPECT_FALSE(TaskExists(strict.taskName));
    EXPECT_EQ(log.CountAtLeast(spdlog::level::err), 1u);
  }
}

TEST_F(AutoStartupTest, FailuresAreOneErrorLineAndLeaveAutoStartOff) {
  {  // an empty key is a plain "no"
    LogCapture log;
    EXPECT_FALSE(AutoStartup::GetEnabled(settings_));
    EXPECT_EQ(log.Records().size(), 0u);
  }
  {
    LogCapture log;
    AutoStartup::SetEnabled(false, settings_);
    EXPECT_TRUE(log.Has(spdlog::level::err, "AutoStartup: SetEnabled failed: Cannot delete value from registry (2)"));
    EXPECT_EQ(log.Records().size(), 1u);
  }
  {  // no log-on task, no switch: a ticked item that starts nothing is worse
    AutoStartup::Settings unregistrable = settings_;
    unregistrable.taskName = L"bad|name";
    LogCapture log;
    AutoStartup::SetEnabled(true, unregistrable);
    EXPECT_FALSE(AutoStartup::GetEnabled(settings_));
    EXPECT_EQ(log.CountAtLeast(spdlog::level::err), 1u);
  }
  {
    AutoStartup::Settings missing = settings_;
    missing.runKey = runKey_ + L"\\Missing";
    LogCapture log;
    AutoStartup::SetEnabled(true, missing);
    EXPECT_TRUE(log.Has(spdlog::level::err,
                        "AutoStartup: SetEnabled failed: Cannot open registry key: RegOpenKeyEx failed. (2)"));
    EXPECT_FALSE(AutoStartup::GetEnabled(missing));
  }
}

// What Windows gets: the user's log-on, the user's interactive token at the
// highest level, the executable quoted in its folder, no time limit, no
// start on demand. (Wine stores
// the task but drops its trigger and principal, so the text is checked.)
TEST(LogOnTaskTest, DefinitionStartsTheUserElevatedAtLogOn) {
  const std::wstring xml = LogOnTask::Definition(L"S-1-5-21-1-2-3-1001", L"C:\\Program Files\\Q&A <x>\\QuorVPN.exe");
  for (const wchar_t* part : {
           L"<LogonTrigger><Enabled>true</Enabled><UserId>S-1-5-21-1-2-3-1001</UserId></LogonTrigger>",
           L"<UserId>S-1-5-21-1-2-3-1001</UserId><LogonType>InteractiveToken</LogonType>"
           L"<RunLevel>HighestAvailable</RunLevel>",
           L"<ExecutionTimeLimit>PT0S</ExecutionTimeLimit>",
           L"<DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>",
           L"<AllowStartOnDemand>false</AllowStartOnDemand>",
           L"<Command>&quot;C:\\Program Files\\Q&amp;A &lt;x&gt;\\QuorVPN.exe&quot;</Command>"
           L"<WorkingDirectory>C:\\Program Files\\Q&amp;A &lt;x&gt;</WorkingDirectory>",
       }) {
    EXPECT_NE(xml.find(part), std::wstring::npos) << part;
  }
}

// The production switch, the running executable's path, and the menu: the
// check mark follows the task through each toggle.
TEST(AppTrayMenuTest, TheAutoStartItemTogglesAndItsCheckMarkFollows) {
  const RawValue before = ReadValue(AutoStartup::kRunKey, AutoStartValueName);
  ASSERT_EQ(before.type, static_cast<DWORD>(REG_NONE)) << "this prefix already starts the client at log-on";
  const std::wstring task = LogOnTask::NameFor(LogOnTask::CurrentUserSid());
  struct Cleanup {
    const std::wstring& task;
    ~Cleanup() {
      ::RegDeleteKeyValueW(HKEY_CURRENT_USER, AutoStartup::kRunKey, AutoStartValueName);
      LogOnTask::Remove(task);
    }
  } cleanup{task};
  App app;
  const auto tray = app.GetTrayIcon();
  ASSERT_NE(tray->menu(), nullptr);
  const auto item = [&](UINT position) {
    wchar_t text[32] = {};
    ::GetMenuStringW(tray->menu(), position, text, 32, MF_BYPOSITION);
    return std::to_wstring(::GetMenuItemID(tray->menu(), static_cast<int>(position))) + L" " + text;
  };
  EXPECT_EQ(::GetMenuItemCount(tray->menu()), 6);
  EXPECT_EQ(item(0), L"10 显示界面");
  EXPECT_EQ(item(2), L"11 开机启动");
  EXPECT_EQ(item(3), L"12 检查更新");
  EXPECT_EQ(item(5), L"13 退出应用");
  EXPECT_TRUE(::GetMenuState(tray->menu(), 1, MF_BYPOSITION) & MF_SEPARATOR);
  EXPECT_TRUE(::GetMenuState(tray->menu(), 4, MF_BYPOSITION) & MF_SEPARATOR);
  const auto checked = [&] { return (::GetMenuState(tray->menu(), 11, MF_BYCOMMAND) & MF_CHECKED) != 0; };
  EXPECT_FALSE(checked());

  UINT id = App::kMenuAutoStart;
  {  // Wine reports the test's folder as its user's: enabling is refused
    LogCapture log;
    EXPECT_TRUE(app.OnTrayMenuCommand(&id));
    EXPECT_FALSE(TaskExists(task));
    EXPECT_EQ(ReadValue(AutoStartup::kRunKey, AutoStartValueName).type, static_cast<DWORD>(REG_NONE));
    EXPECT_FALSE(checked());
    EXPECT_EQ(log.CountAtLeast(spdlog::level::err), 1u);
  }
  // A task a protected install registered ticks the item; toggling removes it.
  ASSERT_TRUE(LogOnTask::Register(task, LogOnTask::CurrentUserSid(), ModulePath()));
  tray->SetMenu(App::BuildTrayMenu());
  EXPECT_TRUE(checked());
  EXPECT_TRUE(app.OnTrayMenuCommand(&id));
  EXPECT_FALSE(TaskExists(task));
  EXPECT_FALSE(checked());

  // Ids outside the menu, and no id at all, are ignored.
  for (UINT other : {9u, 14u}) EXPECT_TRUE(app.OnTrayMenuCommand(&other));
  EXPECT_TRUE(app.OnTrayMenuCommand(nullptr));
  EXPECT_FALSE(checked());
}

}  // namespace
}  // namespace halyx
