// The page's native API through the real engine: arguments checked, errors
// reported to the console and as notices, work handed to the tunnel manager,
// the cipher, the I/O loop and the window.
#include <windows.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "base/module_path.h"
#include "base/utf8.h"
#include "base/window_messages.h"
#include "payload_sealer.h"
#include "support/engine_page.h"
#include "support/log_capture.h"
#include "support/message_pump.h"
#include "support/scoped_temp_dir.h"
#include "support/tunnel_stand_ins.h"
#include "tunnel/tunnel_manager.h"
#include "ui/halyx_dispatch.h"

namespace halyx::testing {
namespace {

// Records what reaches the page: PostResult objects as JSON and console errors.
const char kPage[] =
    "<script>var posts = [], errors = [];"
    "var HalyxBridge = { PostResult: function (o) { posts.push(JSON.stringify(o)); } };"
    "console.error = function (t) { errors.push(t); };</script>";

// A window of the test's own that keeps the dispatch object's window messages.
class MessageSink {
 public:
  MessageSink() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = &MessageSink::Proc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = L"QuorDispatchTestSink";
    ::RegisterClassW(&wc);
    window_ = ::CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, this);
    ::SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }
  ~MessageSink() { ::DestroyWindow(window_); }
  HWND get() const { return window_; }

  std::wstring newWindowUrl;
  std::pair<int, int> newWindowSize{0, 0};
  int logArchives = 0;
  int systemCommands = 0;

 private:
  static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<MessageSink*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self != nullptr && msg == kNewWindowMessage) {
      self->newWindowUrl = *TakePayload<std::wstring>(wParam);
      self->newWindowSize = *TakePayload<std::pair<int, int>>(lParam);
      return 0;
    }
    if (self != nullptr && msg == kLogArchiveMessage) {
      TakePayload<std::vector<uint8_t>>(wParam);
      ++self->logArchives;
      return 0;
    }
    return ::DefWindowProcW(hwnd, msg, wParam, lParam);
  }

  HWND window_ = nullptr;
};

class HalyxDispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(page_.Load(kPage));
    auto* dispatch = new HalyxDispatch(page_.view(), sink_.get(), manager_, PageAccess::kFull);
    ::jsSetGlobal(page_.es(), "HalyxDispatch", dispatch->value());
  }

  // Runs `script`, then answers the posts and errors it caused, as
  // "posts | errors".
  std::string Run(const std::string& script) {
    page_.Eval("posts = []; errors = [];");
    page_.Eval(script);
    return page_.Eval("posts.join(' ') + ' | ' + errors.join(' ')");
  }

  static std::string Sealed(int adType, const std::string& keyText, const std::string& plaintext) {
    std::string hex;
    EXPECT_TRUE(SealPayload(adType, keyText, plaintext, hex));
    return hex;
  }

  ScopedTempDir configRoot_;
  TunnelManager manager_{StandInSettings(UniquePipeName(), configRoot_.path())};
  MessageSink sink_;
  EnginePage page_;
};

// Every function that checks its arguments refuses bad ones before doing
// anything: the console error, and notice 1 where the function has one.
TEST_F(HalyxDispatchTest, BadArgumentsAreReportedAndGoNoFurther) {
  struct Case {
    const char* call;
    const char* expected;
  } cases[] = {
      {"HalyxDispatch.LoadConfig('a')", R"({"type":"LoadConfig","result":1} | LoadConfig: invalid argument)"},
      {"HalyxDispatch.SetConfig('a', 'b')", R"({"type":"SetConfig","result":1} | SetConfig: invalid argument)"},
      {"HalyxDispatch.SetConfig('a', 'b', 3)", R"({"type":"SetConfig","result":1} | SetConfig: invalid argument)"},
      {"HalyxDispatch.StartTracing('h')", R"({"type":"StartTracing","result":1} | StartTracing: invalid argument)"},
      {"HalyxDispatch.StartTracing(1, 2)", R"({"type":"StartTracing","result":1} | StartTracing: invalid argument)"},
      {"HalyxDispatch.NewWindow('u', 400)", R"({"type":"NewWindow","result":1} | NewWindow: invalid argument)"},
      {"HalyxDispatch.SetAdInfo('x')", R"({"type":"SetAdInfo","result":1} | SetAdInfo: invalid argument)"},
      {"HalyxDispatch.SetAdGlobal(1, 'p')", R"({"type":"SetAdGlobal","result":1} | SetAdGlobal: invalid argument)"},
      {"HalyxDispatch.SetAdLocal('i', 'p', 5)", R"({"type":"SetAdLocal","result":1} | SetAdLocal: invalid args)"},
      {"HalyxDispatch.SetAdLocal('i', 'p', 2)", R"({"type":"SetAdLocal","result":1} | SetAdLocal: invalid args)"},
      {"HalyxDispatch.SetAdLocal('i', 'p', 2, 7)", R"({"type":"SetAdLocal","result":1} | SetAdLocal: invalid args)"},
      {"HalyxDispatch.OpenUrl(5)", " | OpenUrl: invalid argument"},
      {"HalyxDispatch.LogJSConsole()", " | LogJSConsole: invalid argument"},
      {"HalyxDispatch.PostNotification()", " | PostNotification: invalid argument"},
  };
  for (const Case& c : cases) EXPECT_EQ(Run(c.call), c.expected) << c.call;
  EXPECT_TRUE(sink_.newWindowUrl.empty());
}

// One string value of a version block's English (US, Unicode) table.
std::wstring VersionString(const std::vector<BYTE>& block, const wchar_t* name) {
  void* value = nullptr;
  UINT length = 0;
  const std::wstring query = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
  if (!::VerQueryValueW(block.data(), query.c_str(), &value, &length) || length == 0) return {};
  return static_cast<const wchar_t*>(value);
}

// What the page is told, what Windows shows in the file's properties and
// what the manifest declares are one version, read from the built client.
TEST_F(HalyxDispatchTest, GetVersionIsTheExecutablesVersion) {
  const std::wstring exe = BesideExecutable(L"QuorVPN.exe");
  const DWORD size = ::GetFileVersionInfoSizeW(exe.c_str(), nullptr);
  ASSERT_NE(size, 0u) << "no version block in QuorVPN.exe";
  std::vector<BYTE> block(size);
  ASSERT_TRUE(::GetFileVersionInfoW(exe.c_str(), 0, size, block.data()));

  const std::string version = page_.Eval("String(HalyxDispatch.GetVersion())");
  EXPECT_EQ(WideToUtf8(VersionString(block, L"ProductVersion")), version);
  EXPECT_EQ(WideToUtf8(VersionString(block, L"FileVersion")), version + ".0");

  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  const std::string numbers =
      std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
      std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." + std::to_string(LOWORD(fixed->dwFileVersionLS));
  EXPECT_EQ(numbers, version + ".0");
  EXPECT_EQ(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
  EXPECT_EQ(fixed->dwProductVersionLS, fixed->dwFileVersionLS);

  // Loaded as data only: nothing of the client runs.
  const HMODULE image =
      ::LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(image, nullptr);
  const HRSRC found = ::FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
  ASSERT_NE(found, nullptr);
  const char* text = static_cast<const char*>(::LockResource(::LoadResource(image, found)));
  const std::string manifest(text, ::SizeofResource(image, found));
  ::FreeLibrary(image);
  EXPECT_NE(manifest.find("name=\"com.quorvpn.app\" version=\"" + version + ".0\""), std::string::npos) << manifest;
}

// Tunnel operations reach the manager, and its events reach the page (here
// its refusals while no service is connected); after the page is gone the
// dispatch object no longer listens.
TEST_F(HalyxDispatchTest, TunnelOperationsAndEventsGoThroughTheManager) {
  const std::string answer =
      Run("HalyxDispatch.StartTunnel(); HalyxDispatch.StopTunnel(); HalyxDispatch.LoadConfig('a', 'b');"
          "HalyxDispatch.StartTracing('h', 70000);");
  EXPECT_NE(answer.find(R"("type":"StartTunnel")"), std::string::npos) << answer;
  EXPECT_NE(answer.find(R"("type":"StopTunnel")"), std::string::npos) << answer;
  EXPECT_NE(answer.find(R"("type":"LoadConfig")"), std::string::npos) << answer;
  EXPECT_NE(answer.find(R"("type":"StartTracing")"), std::string::npos) << answer;

  std::string event = R"({"result":0,"type":"QueryTunnel","text":"it's \\n here"})";
  page_.Eval("posts = [];");
  manager_.OnTunnelEvent(event.data());
  EXPECT_EQ(page_.Eval("posts.join()"), event);

  page_.DestroyView();
  PumpMessagesFor(50);
  EXPECT_FALSE(static_cast<bool>(manager_.OnTunnelEvent));
}

// Protected data: decrypted with the key mode the arguments choose (mode 1
// when they choose none), answered, or refused with notice 3 when it cannot
// be decrypted or filled into its record.
TEST_F(HalyxDispatchTest, ProtectedDataIsDecryptedOrRefusedWithNotice3) {
  LogCapture log;
  const std::string mode1 = Sealed(1, "", "plain one");
  const std::string mode3 = Sealed(3, HalyxDispatch::kVersion, "plain three");
  EXPECT_EQ(Run("HalyxDispatch.SetAdLocal('i1', '" + mode1 + "')"),
            R"({"data":"plain one","id":"i1","result":0,"type":"SetAdLocal"} | )");
  EXPECT_EQ(Run("HalyxDispatch.SetAdLocal('i3', '" + mode3 + "', 3)"),
            R"({"data":"plain three","id":"i3","result":0,"type":"SetAdLocal"} | )");
  // No numeric key mode: the built-in key.
  EXPECT_EQ(Run("HalyxDispatch.SetAdLocal('a', '" + mode1 + "', 'x')"),
            R"({"data":"plain one","id":"a","result":0,"type":"SetAdLocal"} | )");
  EXPECT_EQ(Run("HalyxDispatch.SetAdLocal('b', '" + mode1 + "', 1, 2, 3)"),
            R"({"data":"plain one","id":"b","result":0,"type":"SetAdLocal"} | )");
  EXPECT_EQ(Run("HalyxDispatch.SetAdLocal('c', 'zz')"), R"({"type":"SetAdLocal","result":3} | SetAdLocal: df)");

  const std::string notJson = Sealed(1, "", "not json");
  const std::string missing = Sealed(1, "", R"({"name":"n"})");
  const std::string mistyped = Sealed(
      1, "",
      R"({"name":"n","title":"t","route":{"name":"r","title":"t"},"servers":5,"setting":{"interval":1,"frequency":1,"count":1}})");
  EXPECT_EQ(Run("HalyxDispatch.SetAdInfo('g', '" + notJson + "')"), R"({"type":"SetAdInfo","result":3} | )");
  EXPECT_EQ(Run("HalyxDispatch.SetAdGlobal('m', '" + missing + "')"), R"({"type":"SetAdGlobal","result":3} | )");
  EXPECT_EQ(Run("HalyxDispatch.SetAdInfo('g', '" + mistyped + "')"), R"({"type":"SetAdInfo","result":3} | )");
  EXPECT_EQ(Run("HalyxDispatch.SetAdGlobal('m', '" + mistyped + "')"), R"({"type":"SetAdGlobal","result":3} | )");
  EXPECT_TRUE(log.Has(spdlog::level::warn, "SetAdInfo: pf"));
  EXPECT_TRUE(log.Has(spdlog::level::warn, "SetAdGlobal: ff"));
  EXPECT_TRUE(log.Has(spdlog::level::warn, "SetAdInfo: tf"));
}

// NewWindow and GetLogFiles post to the dispatch object's window, which
// owns what they carry.
TEST_F(HalyxDispatchTest, WindowRequestsArePostedToItsWindow) {
  Run("HalyxDispatch.NewWindow('https://example.com/x', 400, 300); HalyxDispatch.GetLogFiles();");
  ASSERT_TRUE(PumpMessagesUntil([&] { return !sink_.newWindowUrl.empty() && sink_.logArchives == 1; }, 10000));
  EXPECT_EQ(sink_.newWindowUrl, L"https://example.com/x");
  EXPECT_EQ(sink_.newWindowSize, std::make_pair(400, 300));
}

// OpenUrl hands only web addresses to the shell: this process runs
// elevated, and a path would run as a program with its rights.
// (Which addresses pass is UrlPolicy's table.)
TEST_F(HalyxDispatchTest, OpenUrlRunsNothingButWebAddresses) {
  // A script that would leave a marker if the shell ran it.
  ScopedTempDir dir;
  const std::wstring marker = dir.path() + L"\\ran.txt";
  const std::wstring script = dir.path() + L"\\payload.cmd";
  ASSERT_TRUE(WriteWholeFile(script, "@echo ran> \"" + Narrow(marker) + "\"\r\n"));
  LogCapture log;
  std::string path = Narrow(script);
  std::string escaped;
  for (char c : path) escaped += c == '\\' ? std::string("\\\\") : std::string(1, c);
  Run("HalyxDispatch.OpenUrl('" + escaped + "')");
  PumpMessagesFor(3000);
  EXPECT_FALSE(FileExists(marker));
  EXPECT_TRUE(log.Has(spdlog::level::warn, "OpenUrl: not an http or https URL, not opened"));
}

}  // namespace
}  // namespace halyx::testing
