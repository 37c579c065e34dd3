#include "manager_driver.h"

#include <algorithm>

#include "stand_ins.h"

namespace halyx::testing {

EventRecorder::EventRecorder(TunnelManager& manager) : manager_(manager) {
  manager_.OnTunnelEvent += DuiLib::MakeDelegate(this, &EventRecorder::OnTunnelEvent);
}

EventRecorder::~EventRecorder() { manager_.OnTunnelEvent -= DuiLib::MakeDelegate(this, &EventRecorder::OnTunnelEvent); }

bool EventRecorder::OnTunnelEvent(void* text) {
  events.emplace_back(static_cast<const char*>(text));
  if (react) react(events.back());
  return true;
}

bool EventRecorder::Has(const std::string& text) const {
  return std::find(events.begin(), events.end(), text) != events.end();
}

std::size_t EventRecorder::Count(const std::string& type) const {
  return std::count_if(events.begin(), events.end(), [&](const std::string& text) {
    const json value = json::parse(text, nullptr, false);
    return value.is_object() && value.value("type", "") == type;
  });
}

namespace {

struct RunState {
  const std::function<bool()>* done = nullptr;
  ULONGLONG deadline = 0;
  bool held = false;
  bool quitting = false;
};

thread_local RunState* g_run = nullptr;

void CALLBACK LookProc(HWND, UINT, UINT_PTR, DWORD) {
  RunState* run = g_run;
  if (run == nullptr || run->quitting) return;
  run->held = (*run->done)();
  if (run->held || ::GetTickCount64() >= run->deadline) {
    run->quitting = true;
    ::PostQuitMessage(0);
  }
}

}  // namespace

bool RunUntil(TunnelManager& manager, const std::function<bool()>& done, DWORD timeoutMs) {
  if (done()) return true;
  RunState run{&done, ::GetTickCount64() + timeoutMs};
  g_run = &run;
  const UINT_PTR timer = ::SetTimer(nullptr, 0, 10, LookProc);
  manager.Run();
  ::KillTimer(nullptr, timer);
  g_run = nullptr;
  return run.held || done();
}

TunnelManager::Settings StandInSettings(const std::string& pipeName, const std::wstring& configRoot) {
  TunnelManager::Settings settings;
  settings.pipeName = pipeName;
  settings.serverCheck = IpcClient::AnyServer();
  const std::string root = Narrow(configRoot);
  settings.configRoot = [root](std::string& folder) {
    folder = root;
    return true;
  };
  settings.proxyToolPath = CompanionPath(L"bin\\sysproxy.exe");
  return settings;
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

}  // namespace halyx::testing
