// The engine's process-wide state: the GUI thread's hidden message window
// that runs posted tasks and script timers, and the registry of live views.
//
// Work that must not re-enter the caller (load completion, title changes,
// repaint notices, releasing script handles) is posted here and runs from the
// message loop. Tasks name their view by id, so a task outliving its view
// does nothing.
//
// Thread: GUI thread, except PostTask, which any thread may call.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace halyx::engine {

class WebView;

class EngineHost {
 public:
  // Null before Initialize and after Finalize.
  static EngineHost* Instance();
  static bool Initialize();
  static void Finalize();
  // The engine DLL itself, for its window classes.
  static HINSTANCE Module();

  ~EngineHost();
  EngineHost(const EngineHost&) = delete;
  EngineHost& operator=(const EngineHost&) = delete;

  WebView* CreateView();
  // Destroys the view; while its script runs (a native function called from
  // the page destroys it), the view leaves the registry at once, stops
  // calling back, and is deleted from the message loop once the script has
  // unwound.
  void DestroyView(WebView* view);
  // Null when no view of that id lives.
  WebView* FindView(unsigned id) const;

  // Runs `task` on the GUI thread from the message loop. False when it could
  // not be posted (the task is then dropped).
  bool PostTask(std::function<void()> task);
  // Runs `work` on a worker thread. Finished workers are joined by the next
  // call (a page refreshing for weeks would otherwise keep a thread object
  // and its handle per request), the rest by Finalize.
  void RunInBackground(std::function<void()> work);
  // The workers not yet joined.
  std::size_t worker_count();

  // A GUI-thread timer; `fire` runs on every period until it answers false or
  // the timer is killed.
  UINT_PTR SetTimer(unsigned milliseconds, std::function<bool()> fire);
  void KillTimer(UINT_PTR id);

  void set_high_dpi(bool on) { highDpi_ = on; }
  // Whether views paint at their host window's DPI (else at 96).
  bool high_dpi() const { return highDpi_; }

 private:
  EngineHost() = default;
  bool Create();
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  void RunPostedTasks();
  void ReapDoomedViews();

  HWND window_ = nullptr;
  std::map<unsigned, std::unique_ptr<WebView>> views_;
  std::vector<std::unique_ptr<WebView>> doomed_;
  unsigned nextViewId_ = 1;
  std::map<UINT_PTR, std::function<bool()>> timers_;
  UINT_PTR nextTimerId_ = 1;
  bool highDpi_ = false;

  std::mutex mutex_;  // guards posted_ and workers_
  std::vector<std::function<void()>> posted_;
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::vector<Worker> workers_;
};

}  // namespace halyx::engine
