// The page's native API through the real engine: arguments checked, errors
// reported to the console and as notices, work handed to the tunnel manager,
// the cipher, the I/O loop and the window.
#include <windows.h>
#include <exdisp.h>
#include <wrl/client.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "base/desktop_shell.h"
#include "base/module_path.h"
#include "base/utf8.h"
#include "base/window_messages.h"
#include "payload_sealer.h"
#include "support/engine_page.h"
#include "support/log_capture.h"
#include "support/message_pump.h"
#include "support/scoped_temp_dir.h"
#include "support/test_pipe_server.h"
#include "support/tunnel_stand_ins.h"
#include "tunnel/messages.h"
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

// What the page's arguments become in the requests that reach the service:
// key mode 3 carries the program's fixed key text whatever the page gave, no
// key mode is mode 1 with no key text, and a tracing port is cut to 16 bits.
TEST(HalyxDispatchRequests, ArgumentsReachTheServiceAsMeant) {
  TestPipeServer server(2);
  ScopedTempDir root;
  TunnelManager manager(StandInSettings(server.name(), root.path()));
  ASSERT_TRUE(RunUntil(manager, [&] { return manager.connected(); }));
  MessageSink sink;
  EnginePage page;
  ASSERT_TRUE(page.Load(kPage));
  auto* dispatch = new HalyxDispatch(page.view(), sink.get(), manager, PageAccess::kFull);
  ::jsSetGlobal(page.es(), "HalyxDispatch", dispatch->value());

  page.Eval("HalyxDispatch.SetConfig('a', 'b', 't', 3, 'x')");
  json request = json::parse(NextRequest(server), nullptr, false);
  EXPECT_EQ(request.value("type", ""), "SetConfig") << request;
  EXPECT_EQ(request.value("adType", 0), 3) << request;
  EXPECT_EQ(request.value("adInfo", ""), "6.0.8") << request;
  EXPECT_EQ(request.value("adToken", ""), "t") << request;

  page.Eval("HalyxDispatch.SetConfig('a', 'b', 't')");
  request = json::parse(NextRequest(server), nullptr, false);
  EXPECT_EQ(request.value("adType", 0), 1) << request;
  EXPECT_EQ(request.value("adInfo", "?"), "") << request;

  // Tracing asks for a running tunnel.
  ASSERT_TRUE(server.Write(Frame(R"({"result":0,"type":"StartTunnel"})")));
  ASSERT_TRUE(RunUntil(manager, [&] { return manager.running(); }));
  page.Eval("HalyxDispatch.StartTracing('h', 70000)");
  EXPECT_EQ(NextRequest(server), json({{"host", "h"}, {"port", 4464}, {"type", "StartTracing"}}).dump());
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

// The https handler's command in the machine's classes, swapped for one of
// the test's own and put back afterwards. (Windows would look in the user's
// own classes first, which any program of the user may write; Wine reads
// the machine's classes only.)
class HttpsHandlerSwap {
 public:
  static constexpr const wchar_t* kKey = L"Software\\Classes\\https\\shell\\open\\command";
  explicit HttpsHandlerSwap(const std::wstring& command) {
    wchar_t buffer[2048] = {};
    DWORD size = sizeof(buffer);
    had_ = ::RegGetValueW(HKEY_LOCAL_MACHINE, kKey, nullptr, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND,
                          &type_, buffer, &size) == ERROR_SUCCESS;
    if (had_) previous_ = buffer;
    swapped_ = Set(REG_SZ, command);
  }
  ~HttpsHandlerSwap() {
    if (had_) {
      Set(type_, previous_);
    } else {
      ::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kKey, nullptr);
    }
  }
  bool swapped() const { return swapped_; }

 private:
  static bool Set(DWORD type, const std::wstring& text) {
    return ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, kKey, nullptr, type, text.c_str(),
                             static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
  }
  bool had_ = false;
  bool swapped_ = false;
  DWORD type_ = REG_SZ;
  std::wstring previous_;
};

// A web address goes to the desktop's shell, which runs in Explorer's
// process: the https handler starts with Explorer's environment and rights,
// not this process's, and receives the address as written again.
TEST_F(HalyxDispatchTest, OpenUrlHandsTheAddressToTheDesktopUsersShell) {
  ScopedTempDir dir;
  const std::wstring marker = dir.path() + L"\\opened.txt";
  const HttpsHandlerSwap handler(L"cmd.exe /c echo [%QUOR_OPENED_BY%] %1> \"" + marker + L"\"");
  ASSERT_TRUE(handler.swapped());
  // The desktop process is up before the variable is set: under Wine a COM
  // client that finds no desktop starts it itself, with its own environment.
  const HRESULT com = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  Microsoft::WRL::ComPtr<IShellWindows> desktop;
  ASSERT_HRESULT_SUCCEEDED(::CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                                              reinterpret_cast<void**>(desktop.GetAddressOf())));
  // What a handler started by this process would inherit.
  ::SetEnvironmentVariableW(L"QUOR_OPENED_BY", L"elevated-client");
  LogCapture log;
  Run("HalyxDispatch.OpenUrl('HTTPS://Example.COM:0443/A')");
  const bool started = PumpMessagesUntil([&] { return FileExists(marker); }, 20000);
  ::SetEnvironmentVariableW(L"QUOR_OPENED_BY", nullptr);
  ASSERT_TRUE(started);
  EXPECT_TRUE(PumpMessagesUntil([&] { return ReadWholeFile(marker).find("\r\n") != std::string::npos; }, 5000));
  // Explorer's cmd knows no such variable (Wine's leaves its name, Windows'
  // the whole reference); a handler started here would have printed it.
  const std::string opened = ReadWholeFile(marker);
  EXPECT_EQ(opened.find("elevated-client"), std::string::npos) << opened;
  EXPECT_NE(opened.find("] https://example.com:443/A\r\n"), std::string::npos) << opened;
  for (const auto& record : log.Records()) {
    EXPECT_NE(record.text.rfind("OpenUrl", 0), 0u) << record.text;
    EXPECT_NE(record.text.rfind("DesktopShell", 0), 0u) << record.text;
  }
  desktop.Reset();
  if (SUCCEEDED(com)) ::CoUninitialize();
}

// The page's text is refused unless it is one well-formed web address; the
// shell never sees a path, another scheme or an address with two readings.
TEST_F(HalyxDispatchTest, OpenUrlRefusesAddressesWithMoreThanOneReading) {
  LogCapture log;
  Run("HalyxDispatch.OpenUrl('https://quorvpn.com\\\\@evil.example/')");
  Run("HalyxDispatch.OpenUrl('https://quorvpn.com@evil.example/')");
  std::size_t refusals = 0;
  for (const auto& record : log.Records()) {
    if (record.text.rfind("OpenUrl", 0) != 0) continue;  // the tunnel manager's ticks
    EXPECT_EQ(record.text, "OpenUrl: not a well-formed web address, not opened");
    ++refusals;
  }
  EXPECT_EQ(refusals, 2u);
}

// The page's console text is one log record whatever it holds, so a page
// cannot write lines that seem to come from another component.
TEST_F(HalyxDispatchTest, LogJSConsoleWritesOneLineWhateverTheText) {
  LogCapture log;
  Run("HalyxDispatch.LogJSConsole('ok\\r\\n[error] App: forged\\u2028\\u0007')");
  std::vector<std::string> lines;
  for (const auto& record : log.Records()) {
    if (record.text.rfind("<JS>", 0) == 0) lines.push_back(record.text);
  }
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "<JS>: ok\\r\\n[error] App: forged\\u2028\\x07");
}

}  // namespace
}  // namespace halyx::testing
