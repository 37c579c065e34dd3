#include "engine/view/engine_host.h"

#include <atomic>

#include "engine/view/web_view.h"
#include "base/guard.h"

namespace halyx::engine {
namespace {

constexpr UINT kRunTasksMessage = WM_APP + 1;
constexpr wchar_t kHostWindowClass[] = L"WkeEngineHostWindow";

// Read by download workers when they hand a page back.
std::atomic<EngineHost*> g_instance{nullptr};

}  // namespace

EngineHost* EngineHost::Instance() { return g_instance; }

HINSTANCE EngineHost::Module() {
  HMODULE module = nullptr;
  ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&EngineHost::Module), &module);
  return module;
}

bool EngineHost::Initialize() {
  if (g_instance != nullptr) return true;
  auto host = std::unique_ptr<EngineHost>(new EngineHost());
  if (!host->Create()) return false;
  g_instance = host.release();
  return true;
}

void EngineHost::Finalize() {
  EngineHost* host = g_instance.load();
  if (host == nullptr) return;
  // Views go first: their pages finalize native objects, which may still
  // post tasks or kill timers through the instance.
  while (!host->views_.empty()) host->DestroyView(host->views_.begin()->second.get());
  g_instance = nullptr;
  host->doomed_.clear();
  delete host;
}

bool EngineHost::Create() {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = &EngineHost::WindowProc;
  wc.hInstance = EngineHost::Module();
  wc.lpszClassName = kHostWindowClass;
  ::RegisterClassExW(&wc);  // already registered after an earlier initialisation
  // A message-only window: tasks and timers without anything on screen.
  window_ =
      ::CreateWindowExW(0, kHostWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, EngineHost::Module(), this);
  if (window_ == nullptr) return false;
  ::SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  return true;
}

EngineHost::~EngineHost() {
  std::vector<Worker> workers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    workers.swap(workers_);
  }
  // Workers post their results here; with the instance gone they drop them.
  for (Worker& worker : workers) {
    if (worker.thread.joinable()) worker.thread.join();
  }
  for (const auto& timer : timers_) ::KillTimer(window_, timer.first);
  if (window_ != nullptr) ::DestroyWindow(window_);
  ::UnregisterClassW(kHostWindowClass, EngineHost::Module());
}

WebView* EngineHost::CreateView() {
  const unsigned id = nextViewId_++;
  auto view = std::make_unique<WebView>(id);
  WebView* raw = view.get();
  views_.emplace(id, std::move(view));
  return raw;
}

void EngineHost::DestroyView(WebView* view) {
  if (view == nullptr) return;
  const auto found = views_.find(view->id());
  if (found == views_.end() || found->second.get() != view) return;
  // Out of the registry first, so that what the page's teardown posts or
  // looks up no longer finds it; then destroyed.
  std::unique_ptr<WebView> owned = std::move(found->second);
  views_.erase(found);
  if (owned->busy() && g_instance.load() == this) {
    owned->callbacks() = WebView::Callbacks();
    doomed_.push_back(std::move(owned));
    PostTask([this]() { ReapDoomedViews(); });
    return;
  }
  owned.reset();
}

void EngineHost::ReapDoomedViews() {
  for (auto it = doomed_.begin(); it != doomed_.end();) {
    if ((*it)->busy()) {
      ++it;  // still unwinding in a nested message loop; the next reap takes it
    } else {
      it = doomed_.erase(it);
    }
  }
  // A nested message loop (a dialog opened from the page) may keep the
  // script on the stack for a while: look again shortly rather than spin.
  if (!doomed_.empty()) {
    SetTimer(50, [this]() {
      ReapDoomedViews();
      return false;
    });
  }
}

WebView* EngineHost::FindView(unsigned id) const {
  const auto found = views_.find(id);
  return found == views_.end() ? nullptr : found->second.get();
}

bool EngineHost::PostTask(std::function<void()> task) {
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    wake = posted_.empty();
    posted_.push_back(std::move(task));
  }
  // One wake-up message per batch: the handler runs everything queued.
  if (wake && !::PostMessageW(window_, kRunTasksMessage, 0, 0)) {
    std::lock_guard<std::mutex> lock(mutex_);
    posted_.clear();
    return false;
  }
  return true;
}

void EngineHost::RunPostedTasks() {
  std::vector<std::function<void()>> tasks;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks.swap(posted_);
  }
  // A task is engine code or a host callback; neither may unwind into the
  // message loop.
  for (auto& task : tasks) GuardedQuietly(false, task);
}

void EngineHost::RunInBackground(std::function<void()> work) {
  std::lock_guard<std::mutex> lock(mutex_);
  // A finished worker has only its return left to run: joining it is brief.
  for (auto at = workers_.begin(); at != workers_.end();) {
    if (at->done->load()) {
      at->thread.join();
      at = workers_.erase(at);
    } else {
      ++at;
    }
  }
  auto done = std::make_shared<std::atomic<bool>>(false);
  workers_.push_back(Worker{std::thread([work = std::move(work), done]() {
                              GuardedQuietly(false, work);
                              done->store(true);
                            }),
                            done});
}

std::size_t EngineHost::worker_count() {
  std::lock_guard<std::mutex> lock(mutex_);
  return workers_.size();
}

UINT_PTR EngineHost::SetTimer(unsigned milliseconds, std::function<bool()> fire) {
  const UINT_PTR id = nextTimerId_++;
  if (::SetTimer(window_, id, milliseconds, nullptr) == 0) return 0;
  timers_.emplace(id, std::move(fire));
  return id;
}

void EngineHost::KillTimer(UINT_PTR id) {
  if (timers_.erase(id) != 0) ::KillTimer(window_, id);
}

LRESULT CALLBACK EngineHost::WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* host = reinterpret_cast<EngineHost*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (host == nullptr || host != g_instance) return ::DefWindowProcW(hwnd, message, wparam, lparam);
  if (message == kRunTasksMessage) {
    host->RunPostedTasks();
    return 0;
  }
  if (message == WM_TIMER) {
    const auto found = host->timers_.find(wparam);
    if (found == host->timers_.end()) {
      ::KillTimer(hwnd, wparam);
      return 0;
    }
    // The function may kill this or other timers; call a copy.
    std::function<bool()> fire = found->second;
    const bool again = GuardedQuietly(false, fire);
    if (!again) host->KillTimer(wparam);
    return 0;
  }
  return ::DefWindowProcW(hwnd, message, wparam, lparam);
}

}  // namespace halyx::engine
