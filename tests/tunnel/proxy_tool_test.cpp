// The proxy tool runner against real child processes: the exit code decides,
// standard error (and only it) is captured, and every wait is bounded.
#include "tunnel/proxy_tool.h"

#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "support/scoped_temp_dir.h"
#include "tunnel/sync_pipe.h"
#include "support/tunnel_stand_ins.h"

namespace halyx {
namespace {

using namespace ::halyx::testing;

// A failure is one error line with what the tool wrote to standard error
// (more than a pipe buffer of it drained); a tool that never exits is
// terminated at the bound.
TEST(ProxyTool, ExitCodeDecidesAndStandardErrorIsLogged) {
  std::string letters;
  for (int i = 0; i < 10000; ++i) letters += static_cast<char>('a' + i % 26);
  const std::wstring fake = CompanionPath(L"fake_tool.exe");
  const struct {
    std::wstring tool;
    std::vector<std::pair<const wchar_t*, std::wstring>> env;
    std::string line;  // the error line, or empty for success
  } cases[] = {
      {fake, {}, ""},
      {fake,
       {{L"QUOR_FAKE_STDERR", L"denied"}, {L"QUOR_FAKE_EXIT", L"5"}},
       "TunnelManager: sysproxy failed (5): denied"},
      {fake,
       {{L"QUOR_FAKE_STDERR_BYTES", L"20000"}, {L"QUOR_FAKE_EXIT", L"1"}},
       "TunnelManager: sysproxy failed (1): " + letters},
      {fake,
       {{L"QUOR_FAKE_STDOUT", L"only on stdout"}, {L"QUOR_FAKE_EXIT", L"3"}},
       "TunnelManager: sysproxy failed (3): "},
      {fake,
       {{L"QUOR_FAKE_STDERR", L"still"}, {L"QUOR_FAKE_EXIT", L"259"}},
       "TunnelManager: sysproxy failed (259): still"},
      {L"C:\\no\\such\\sysproxy.exe", {}, "TunnelManager: CreateProcessW failed (0x2)"},
      {fake, {{L"QUOR_FAKE_HANG", L"1"}}, "TunnelManager: sysproxy did not exit within 300 ms, terminating it"},
      // Writing without pause does not hold the runner past its bound.
      {fake,
       {{L"QUOR_FAKE_STDERR_FLOOD_MS", L"30000"}, {L"QUOR_FAKE_EXIT", L"1"}},
       "TunnelManager: sysproxy did not exit within 300 ms, terminating it"},
      // Reads of no bytes or of half a character do not end the capture.
      {fake,
       {{L"QUOR_FAKE_STDERR", L"denied"}, {L"QUOR_FAKE_STDERR_DRIBBLE", L"1"}, {L"QUOR_FAKE_EXIT", L"5"}},
       "TunnelManager: sysproxy failed (5): denied"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    ScopedEnvironment env(c.env);
    LogCapture log;
    const bool hangs = c.line.find("did not exit") != std::string::npos;
    const ULONGLONG start = ::GetTickCount64();
    EXPECT_EQ(RunProxyTool(c.tool, hangs ? 300 : kProxyToolTimeoutMs), c.line.empty());
    if (hangs) {
      EXPECT_LT(::GetTickCount64() - start, 5000u);
    }
    if (c.line.empty()) {
      EXPECT_EQ(log.CountAtLeast(spdlog::level::err), 0u);
    } else {
      EXPECT_TRUE(log.Has(spdlog::level::err, c.line));
    }
    if (c.line.rfind("TunnelManager: sysproxy failed", 0) == 0) {
      EXPECT_EQ(log.CountAtLeast(spdlog::level::err), 1u);
    }
  }
}

// At most 64 KiB of standard error reach the log line; the rest is counted.
TEST(ProxyTool, CaptureIsCappedAndTheRestCounted) {
  ScopedEnvironment env({{L"QUOR_FAKE_STDERR_BYTES", L"200000"}, {L"QUOR_FAKE_EXIT", L"1"}});
  LogCapture log;
  EXPECT_FALSE(RunProxyTool(CompanionPath(L"fake_tool.exe")));
  std::string letters;
  for (std::size_t i = 0; i < kProxyToolMaxCapture / 2; ++i) letters += static_cast<char>('a' + i % 26);
  EXPECT_TRUE(log.Has(spdlog::level::err, "TunnelManager: sysproxy failed (1): " + letters + " (" +
                                              std::to_string(200000 - kProxyToolMaxCapture) + " more bytes not kept)"));
}

// The tool's path is quoted: a program planted where the first words of an
// unquoted path with spaces would name it is not run instead.
TEST(ProxyTool, PathWithSpacesRunsTheToolNotAPlantedPrefix) {
  ScopedTempDir dir;
  const std::wstring folder = dir.path() + L"\\tool dir";
  ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
  // Run for an unquoted path, it would get "dir\sysproxy.exe off" and refuse.
  ASSERT_TRUE(::CopyFileW(CompanionPath(L"bin\\sysproxy.exe").c_str(), (dir.path() + L"\\tool.exe").c_str(), TRUE));
  ASSERT_TRUE(::CopyFileW(CompanionPath(L"fake_tool.exe").c_str(), (folder + L"\\sysproxy.exe").c_str(), TRUE));
  LogCapture log;
  EXPECT_TRUE(RunProxyTool(folder + L"\\sysproxy.exe"));
  EXPECT_EQ(log.CountAtLeast(spdlog::level::err), 0u);
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
  DWORD written = 0;
  ASSERT_TRUE(::WriteFile(pipe.WriteHandle(), L"abc", 7, &written, nullptr));  // odd: the last byte is dropped
  pipe.CloseWrite();
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
