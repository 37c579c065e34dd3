#include "ui/halyx_dispatch.h"

#include <cstdint>
#include <cwctype>
#include <thread>
#include <utility>

#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

#include "base/desktop_shell.h"
#include "base/error_code.h"
#include "base/log_text.h"
#include "base/window_messages.h"
#include "diag/device_identity.h"
#include "diag/log_zipper.h"
#include "diag/payload_cipher.h"
#include "net/measure_config.h"
#include "ui/bridge_function.h"
#include "ui/page_script.h"
#include "ui/updater.h"
#include "ui/url_policy.h"
#include "ui/web_url.h"

namespace halyx {
namespace {

constexpr unsigned kInvalidArguments = 1;
constexpr unsigned kBadPayload = 3;
constexpr WPARAM kMoveByCaption = 0xF012;  // SC_MOVE | HTCAPTION: drag with the held button

using Function = jsValue (HalyxDispatch::*)(jsExecState, jsValue*, int);

struct Entry {
  const char* name;
  Function function;
  // Offered to a page with window access too: nothing beyond its own window
  // and the version.
  bool windowPages;
};

// Registration order is part of the page contract (enumeration order).
const Entry kFunctions[] = {
    {"GetVersion", &HalyxDispatch::GetVersion, true},
    {"SetConfig", &HalyxDispatch::SetConfig, false},
    {"StartTunnel", &HalyxDispatch::StartTunnel, false},
    {"StopTunnel", &HalyxDispatch::StopTunnel, false},
    {"OpenUrl", &HalyxDispatch::OpenUrl, false},
    {"LogJSConsole", &HalyxDispatch::LogJSConsole, false},
    {"GetLogFiles", &HalyxDispatch::GetLogFiles, false},
    {"PostNotification", &HalyxDispatch::PostNotification, false},
    {"MinimizeWindow", &HalyxDispatch::MinimizeWindow, true},
    {"CloseWindow", &HalyxDispatch::CloseWindow, true},
    {"MoveWindow", &HalyxDispatch::MoveWindow, true},
    {"GetDeviceName", &HalyxDispatch::GetDeviceName, false},
    {"GetDeviceId", &HalyxDispatch::GetDeviceId, false},
    {"StartTracing", &HalyxDispatch::StartTracing, false},
    {"StopTracing", &HalyxDispatch::StopTracing, false},
    {"SetAdInfo", &HalyxDispatch::SetAdInfo, false},
    {"SetAdGlobal", &HalyxDispatch::SetAdGlobal, false},
    {"SetAdLocal", &HalyxDispatch::SetAdLocal, false},
    {"NewWindow", &HalyxDispatch::NewWindow, false},
    {"CheckUpdate", &HalyxDispatch::CheckUpdate, false},
    {"LoadConfig", &HalyxDispatch::LoadConfig, false},
};

// The engine's temporary strings live until its next conversion: copied at
// once.
std::string NarrowArg(jsExecState es, jsValue value) {
  const char* text = ::jsToTempString(es, value);
  return text != nullptr ? std::string(text) : std::string();
}

std::wstring WideArg(jsExecState es, jsValue value) {
  const wchar_t* text = ::jsToTempStringW(es, value);
  return text != nullptr ? std::wstring(text) : std::wstring();
}

// True when the first `count` arguments exist and are strings.
bool LeadingStrings(jsValue* args, int argc, int count) {
  if (argc < count) return false;
  for (int i = 0; i < count; ++i) {
    if (!::jsIsString(args[i])) return false;
  }
  return true;
}

}  // namespace

HalyxDispatch::HalyxDispatch(wkeWebView view, HWND hwnd, TunnelManager& tunnel, PageAccess access)
    : BridgeObject(::wkeGlobalExec(view), "HalyxDispatch"),
      view_(view),
      hwnd_(hwnd),
      tunnel_(tunnel),
      full_(access == PageAccess::kFull) {
  jsExecState es = ::wkeGlobalExec(view);
  // A window page measures nothing and hears no tunnel events: they carry
  // the configuration's texts.
  if (full_) {
    ioLoop_ = std::make_unique<IoLoop>(hwnd);
    ioLoop_->Start();
  }
  for (const Entry& entry : kFunctions) {
    if (!full_ && !entry.windowPages) continue;
    // The engine owns each function object from here.
    AddFunction(es, *new BridgeFunction<HalyxDispatch>(es, entry.name, this, entry.function));
  }
  if (full_) tunnel_.OnTunnelEvent += DuiLib::MakeDelegate(this, &HalyxDispatch::PostJson);
}

HalyxDispatch::~HalyxDispatch() {
  if (full_) tunnel_.OnTunnelEvent -= DuiLib::MakeDelegate(this, &HalyxDispatch::PostJson);
  hasher_.reset();
  wmi_.reset();
  ioLoop_.reset();  // joins the loop thread; logs "IoLoop: stop"
}

void HalyxDispatch::PostResult(const std::string& type, unsigned code) {
  PostJson(PageScript::ResultNotice(type, code));
}

bool HalyxDispatch::PostJson(void* text) {
  if (text != nullptr) PostJson(std::string(static_cast<const char*>(text)));
  return true;
}

void HalyxDispatch::PostJson(const std::string& json) { PageScript::PostJson(view_, json); }

void HalyxDispatch::ReportError(jsExecState es, const std::string& text) { PageScript::ReportError(es, text); }

jsValue HalyxDispatch::GetVersion(jsExecState es, jsValue*, int) { return ::jsString(es, kVersion); }

jsValue HalyxDispatch::SetConfig(jsExecState es, jsValue* args, int argc) {
  if (!LeadingStrings(args, argc, 3)) {
    ReportError(es, "SetConfig: invalid argument");
    PostResult("SetConfig", kInvalidArguments);
    return ::jsUndefined();
  }
  const std::string name = NarrowArg(es, args[0]);
  const std::string conf = NarrowArg(es, args[1]);
  const std::string adToken = NarrowArg(es, args[2]);
  int32_t adType = 1;
  if (argc >= 4 && ::jsIsNumber(args[3])) adType = ::jsToInt(es, args[3]);
  std::string adInfo;
  if (argc >= 5 && ::jsIsString(args[4])) adInfo = NarrowArg(es, args[4]);
  if (adType == 3) adInfo = kVersion;
  tunnel_.SetConfig(name, conf, adToken, adType, adInfo);
  return ::jsUndefined();
}

jsValue HalyxDispatch::StartTunnel(jsExecState, jsValue*, int) {
  tunnel_.Start();
  return ::jsUndefined();
}

jsValue HalyxDispatch::StopTunnel(jsExecState, jsValue*, int) {
  tunnel_.Stop();
  return ::jsUndefined();
}

jsValue HalyxDispatch::OpenUrl(jsExecState es, jsValue* args, int argc) {
  if (!LeadingStrings(args, argc, 1)) {
    ReportError(es, "OpenUrl: invalid argument");
    return ::jsUndefined();
  }
  const std::wstring url = WideArg(es, args[0]);
  if (!UrlPolicy::MayOpenInBrowser(url)) {
    // This process is elevated: a path or a program would run with
    // administrator rights.
    spdlog::warn("OpenUrl: not an http or https URL, not opened");
    return ::jsUndefined();
  }
  // What the shell gets is written from the parts checked here, so that no
  // later parser reads the page's text differently.
  std::wstring canonical;
  if (!WebUrl::Canonical(url, canonical)) {
    spdlog::warn("OpenUrl: not a well-formed web address, not opened");
    return ::jsUndefined();
  }
  // The desktop's shell, not this elevated process's: the browser, or
  // whatever handler the user's classes name for the scheme, runs with the
  // desktop user's rights.
  OpenAsDesktopUser(canonical);
  return ::jsUndefined();
}

jsValue HalyxDispatch::LogJSConsole(jsExecState es, jsValue* args, int argc) {
  if (!LeadingStrings(args, argc, 1)) {
    ReportError(es, "LogJSConsole: invalid argument");
    return ::jsUndefined();
  }
  spdlog::info("<JS>: {}", LogText(NarrowArg(es, args[0])));
  return ::jsUndefined();
}

jsValue HalyxDispatch::GetLogFiles(jsExecState, jsValue*, int) {
  if (hwnd_ == nullptr) {
    spdlog::warn("QuorDispatch: GetLogFiles without a window");
    return ::jsUndefined();
  }
  std::string path = tunnel_.ConfigPath();
  const HWND window = hwnd_;
  try {
    std::thread([window, path = std::move(path)] { ZipLogsWorker(window, path); }).detach();
  } catch (const std::system_error& e) {
    spdlog::error("QuorDispatch: cannot start the log worker: {}", e.what());
  }
  return ::jsUndefined();
}

jsValue HalyxDispatch::PostNotification(jsExecState es, jsValue* args, int argc) {
  if (!LeadingStrings(args, argc, 1)) ReportError(es, "PostNotification: invalid argument");
  return ::jsUndefined();
}

void HalyxDispatch::PostSystemCommand(WPARAM command) const {
  if (hwnd_ != nullptr) ::PostMessageW(hwnd_, WM_SYSCOMMAND, command, 0);
}

jsValue HalyxDispatch::MinimizeWindow(jsExecState, jsValue*, int) {
  PostSystemCommand(SC_MINIMIZE);
  return ::jsUndefined();
}

jsValue HalyxDispatch::CloseWindow(jsExecState, jsValue*, int) {
  PostSystemCommand(SC_CLOSE);
  return ::jsUndefined();
}

jsValue HalyxDispatch::MoveWindow(jsExecState, jsValue*, int) {
  PostSystemCommand(kMoveByCaption);
  return ::jsUndefined();
}

jsValue HalyxDispatch::GetDeviceName(jsExecState es, jsValue*, int) {
  std::string name;
  if (!halyx::GetDeviceName(name)) {
    ReportError(es, kDeviceNameFailed);
    return ::jsString(es, "");
  }
  return ::jsString(es, name.c_str());
}

jsValue HalyxDispatch::GetDeviceId(jsExecState es, jsValue*, int) {
  std::string id;
  std::string error;
  if (!halyx::GetDeviceId(wmi_, hasher_, id, error)) {
    ReportError(es, error);
    return ::jsString(es, "");
  }
  return ::jsString(es, id.c_str());
}

jsValue HalyxDispatch::StartTracing(jsExecState es, jsValue* args, int argc) {
  if (argc < 2 || !::jsIsString(args[0]) || !::jsIsNumber(args[1])) {
    ReportError(es, "StartTracing: invalid argument");
    PostResult("StartTracing", kInvalidArguments);
    return ::jsUndefined();
  }
  const std::string host = NarrowArg(es, args[0]);
  const auto port = static_cast<uint16_t>(static_cast<uint32_t>(::jsToInt(es, args[1])) & 0xFFFFu);
  tunnel_.StartTracing(host, port);
  return ::jsUndefined();
}

jsValue HalyxDispatch::StopTracing(jsExecState, jsValue*, int) {
  tunnel_.StopTracing();
  return ::jsUndefined();
}

bool HalyxDispatch::ReadProtectedArgs(jsExecState es, jsValue* args, int argc, const char* name, ProtectedArgs& out) {
  if (!LeadingStrings(args, argc, 2)) {
    ReportError(es, std::string(name) + ": invalid argument");
    PostResult(name, kInvalidArguments);
    return false;
  }
  out.id = NarrowArg(es, args[0]);
  out.payload = NarrowArg(es, args[1]);
  // Without a numeric key mode (a third argument that is not a number, or
  // more than four arguments) the built-in key of mode 1 applies, as with
  // two arguments.
  out.adType = 1;
  out.keyText.clear();
  bool accepted = true;
  if ((argc == 3 || argc == 4) && ::jsIsNumber(args[2])) {
    out.adType = ::jsToInt(es, args[2]);
    if (out.adType == 3) {
      out.keyText = kVersion;
    } else if (out.adType == 2 && argc == 4 && ::jsIsString(args[3])) {
      out.keyText = NarrowArg(es, args[3]);
    } else if (out.adType != 1) {
      accepted = false;
    }
  }
  if (!accepted) {
    ReportError(es, std::string(name) + ": invalid args");
    PostResult(name, kInvalidArguments);
  }
  return accepted;
}

bool HalyxDispatch::Decrypt(jsExecState es, const char* name, const ProtectedArgs& in, std::string& plaintext) {
  PayloadCipher cipher;
  if (cipher.Decrypt(in.payload, in.adType, in.keyText, plaintext)) return true;
  ReportError(es, std::string(name) + ": df");
  PostResult(name, kBadPayload);
  return false;
}

template <typename Record>
bool HalyxDispatch::FillRecord(const char* name, const std::string& plaintext, Record& record) {
  const char* failure = nullptr;
  try {
    json::parse(plaintext).get_to(record);
    return true;
  } catch (const json::parse_error&) {
    failure = "pf";
  } catch (const json::out_of_range&) {
    failure = "ff";
  } catch (const json::exception&) {
    // A member of the wrong type ("servers" not an array, a port that is a
    // text): the page's data is as unusable as a missing member.
    failure = "tf";
  }
  spdlog::warn("{}: {}", name, failure);
  PostResult(name, kBadPayload);
  return false;
}

template <typename Record>
std::shared_ptr<Record> HalyxDispatch::ReadMeasureRecord(jsExecState es, jsValue* args, int argc, const char* name) {
  ProtectedArgs in;
  std::string plaintext;
  if (!ReadProtectedArgs(es, args, argc, name, in) || !Decrypt(es, name, in, plaintext)) return nullptr;
  auto record = std::make_shared<Record>();
  if (!FillRecord(name, plaintext, *record)) return nullptr;
  record->id = in.id;
  return record;
}

jsValue HalyxDispatch::SetAdInfo(jsExecState es, jsValue* args, int argc) {
  if (auto config = ReadMeasureRecord<BenchmarkGameConfig>(es, args, argc, "SetAdInfo")) {
    ioLoop_->PostGameConfig(std::move(config));
  }
  return ::jsUndefined();
}

jsValue HalyxDispatch::SetAdGlobal(jsExecState es, jsValue* args, int argc) {
  if (auto config = ReadMeasureRecord<ConnectMediaConfig>(es, args, argc, "SetAdGlobal")) {
    ioLoop_->PostMediaConfig(std::move(config));
  }
  return ::jsUndefined();
}

jsValue HalyxDispatch::SetAdLocal(jsExecState es, jsValue* args, int argc) {
  ProtectedArgs in;
  std::string plaintext;
  if (!ReadProtectedArgs(es, args, argc, "SetAdLocal", in) || !Decrypt(es, "SetAdLocal", in, plaintext)) {
    return ::jsUndefined();
  }
  const json answer = {{"type", "SetAdLocal"}, {"result", 0}, {"id", in.id}, {"data", plaintext}};
  // Decrypted bytes need not be UTF-8; replaced rather than thrown on.
  PostJson(answer.dump(-1, ' ', false, json::error_handler_t::replace));
  return ::jsUndefined();
}

jsValue HalyxDispatch::NewWindow(jsExecState es, jsValue* args, int argc) {
  if (argc < 3 || !::jsIsString(args[0]) || !::jsIsNumber(args[1]) || !::jsIsNumber(args[2])) {
    ReportError(es, "NewWindow: invalid argument");
    PostResult("NewWindow", kInvalidArguments);
    return ::jsUndefined();
  }
  auto url = std::make_unique<std::wstring>(WideArg(es, args[0]));
  auto size = std::make_unique<std::pair<int, int>>(::jsToInt(es, args[1]), ::jsToInt(es, args[2]));
  // Without a window the post would land in this thread's queue, where
  // nobody frees it.
  if (hwnd_ == nullptr) {
    spdlog::warn("PostMessageW from dispatch object failed: {}", ERROR_INVALID_WINDOW_HANDLE);
  } else if (!PostPayloads(hwnd_, kNewWindowMessage, std::move(url), std::move(size))) {
    spdlog::warn("PostMessageW from dispatch object failed: {}", ::GetLastError());
  }
  return ::jsUndefined();
}

jsValue HalyxDispatch::CheckUpdate(jsExecState, jsValue*, int) {
  Updater::CheckUpdateWithUi();
  return ::jsUndefined();
}

jsValue HalyxDispatch::LoadConfig(jsExecState es, jsValue* args, int argc) {
  if (!LeadingStrings(args, argc, 2)) {
    ReportError(es, "LoadConfig: invalid argument");
    PostResult("LoadConfig", kInvalidArguments);
    return ::jsUndefined();
  }
  tunnel_.LoadConfig(NarrowArg(es, args[0]), NarrowArg(es, args[1]));
  return ::jsUndefined();
}

}  // namespace halyx
