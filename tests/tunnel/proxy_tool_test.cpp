// The proxy tool runner against real child processes: the exit code decides,
// standard error (and only it) is captured, and every wait is bounded.
#include "tunnel/proxy_tool.h"

#include <gtest/gtest.h>
#include <wininet.h>

#include "stand_ins.h"
#include "support/log_capture.h"
#include "tunnel/sync_pipe.h"

namespace halyx {
namespace {

using ::halyx::testing::CompanionPath;
using ::halyx::testing::LogCapture;

// Sets the fake tool's environment for the life of the object.
class FakeToolEnv {
 public:
  using Values = std::vector<std::pair<const wchar_t*, std::wstring>>;
  explicit FakeToolEnv(const Values& values) {
    for (const auto& [name, value] : values) {
      ::SetEnvironmentVariableW(name, value.c_str());
      names_.push_back(name);
    }
  }
  ~FakeToolEnv() {
    for (const wchar_t* name : names_) ::SetEnvironmentVariableW(name, nullptr);
  }

 private:
  std::vector<const wchar_t*> names_;
};

std::vector<LogCapture::Record> Errors(const LogCapture& log) {
  std::vector<LogCapture::Record> errors;
  for (const auto& r : log.Records()) {
    if (r.level >= spdlog::level::err) errors.push_back(r);
  }
  return errors;
}

const std::wstring kFakeTool = CompanionPath(L"fake_tool.exe");

// The outcome follows the exit code; a failure is logged with what the tool
// wrote to standard error.
TEST(ProxyTool, ExitCodeDecidesAndStandardErrorIsLogged) {
  struct Case {
    FakeToolEnv::Values env;
    bool result;
    std::string line;  // the one error line, or empty for none
  };
  const std::string letters = [] {
    std::string text;
    for (int i = 0; i < 10000; ++i) text += static_cast<char>('a' + i % 26);
    return text;
  }();
  const Case cases[] = {
      {{}, true, ""},
      {{{L"QUOR_FAKE_STDERR", L"denied"}, {L"QUOR_FAKE_EXIT", L"5"}}, false, "TunnelManager: sysproxy failed (5): denied"},
      {{{L"QUOR_FAKE_STDERR_BYTES", L"20000"}, {L"QUOR_FAKE_EXIT", L"1"}}, false,
       "TunnelManager: sysproxy failed (1): " + letters},
      {{{L"QUOR_FAKE_STDOUT", L"only on stdout"}, {L"QUOR_FAKE_EXIT", L"3"}}, false,
       "TunnelManager: sysproxy failed (3): "},
      {{{L"QUOR_FAKE_STDERR", L"still"}, {L"QUOR_FAKE_EXIT", L"259"}}, false,
       "TunnelManager: sysproxy failed (259): still"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    FakeToolEnv env(c.env);
    LogCapture log;
    EXPECT_EQ(RunProxyTool(kFakeTool), c.result);
    const auto errors = Errors(log);
    if (c.line.empty()) {
      EXPECT_TRUE(errors.empty());
    } else {
      ASSERT_EQ(errors.size(), 1u);
      EXPECT_EQ(errors[0].text, c.line);
    }
  }
}

TEST(ProxyTool, MissingToolFailsAtOnce) {
  LogCapture log;
  EXPECT_FALSE(RunProxyTool(L"C:\\no\\such\\sysproxy.exe"));
  EXPECT_TRUE(log.Has(spdlog::level::err, "TunnelManager: CreateProcessW failed (0x2)"));
}

TEST(ProxyTool, ToolThatNeverExitsIsTerminatedAtTheBound) {
  FakeToolEnv env(FakeToolEnv::Values{{L"QUOR_FAKE_HANG", L"1"}, {L"QUOR_FAKE_STDERR", L"stuck"}});
  LogCapture log;
  const ULONGLONG start = ::GetTickCount64();
  EXPECT_FALSE(RunProxyTool(kFakeTool, 300));
  EXPECT_LT(::GetTickCount64() - start, 5000u);
  EXPECT_TRUE(log.Has(spdlog::level::err, "TunnelManager: sysproxy did not exit within 300 ms, terminating it"));
}

// The stand-in tool beside the executable really switches the proxy off.
TEST(ProxyTool, StandInToolTurnsTheUserProxyOff) {
  INTERNET_PER_CONN_OPTIONW option{};
  option.dwOption = INTERNET_PER_CONN_FLAGS;
  INTERNET_PER_CONN_OPTION_LISTW list{sizeof(list), nullptr, 1, 0, &option};
  DWORD size = sizeof(list);
  ASSERT_TRUE(::InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &size));
  const DWORD saved = option.Value.dwValue;
  option.Value.dwValue = PROXY_TYPE_DIRECT | PROXY_TYPE_PROXY;
  ASSERT_TRUE(::InternetSetOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, sizeof(list)));

  EXPECT_EQ(ProxyToolPath(), CompanionPath(L"bin\\sysproxy.exe"));
  EXPECT_TRUE(TurnOffSystemProxy());
  size = sizeof(list);
  ASSERT_TRUE(::InternetQueryOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, &size));
  EXPECT_EQ(option.Value.dwValue, static_cast<DWORD>(PROXY_TYPE_DIRECT));

  option.Value.dwValue = saved;
  ::InternetSetOptionW(nullptr, INTERNET_OPTION_PER_CONNECTION_OPTION, &list, sizeof(list));
}

// The anonymous pipe keeps its own end from children and reports the end of
// the data once the writer is gone.
TEST(SyncPipe, OnlyTheChildsEndIsInheritableAndClosingItEndsTheData) {
  SyncPipe pipe;
  ASSERT_TRUE(pipe.Create(false, true));
  DWORD flags = 0;
  ASSERT_TRUE(::GetHandleInformation(pipe.ReadHandle(), &flags));
  EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
  ASSERT_TRUE(::GetHandleInformation(pipe.WriteHandle(), &flags));
  EXPECT_NE(flags & HANDLE_FLAG_INHERIT, 0u);

  const wchar_t text[] = L"abc";
  DWORD written = 0;
  ASSERT_TRUE(::WriteFile(pipe.WriteHandle(), text, 7, &written, nullptr));  // odd: the last byte is dropped
  pipe.CloseWrite();
  EXPECT_EQ(pipe.WriteHandle(), nullptr);
  std::wstring chunk;
  ASSERT_TRUE(pipe.Read(chunk));
  EXPECT_EQ(chunk, L"abc");
  ASSERT_TRUE(pipe.Read(chunk));
  EXPECT_EQ(chunk, L"");
  DWORD available = 1;
  EXPECT_FALSE(pipe.Available(available));
}

}  // namespace
}  // namespace halyx
