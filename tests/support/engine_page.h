// A page in a view of the stand-in engine, for tests of the engine and of
// the script bridge: binds the engine beside the test executable, writes the
// page (and any other files) into a fresh folder, loads it and waits for
// document-ready.
//
//   EnginePage page;
//   ASSERT_TRUE(page.Load("<script>var x = 1;</script>"));
//   EXPECT_EQ(page.Eval("String(x + 1)"), "2");
//
// Thread: the test's thread, which is the engine's GUI thread.
#pragma once

#include <string>
#include <vector>

#include "support/scoped_temp_dir.h"
#include "ui/wke_binding.h"

namespace halyx::testing {

class EnginePage {
 public:
  EnginePage();
  ~EnginePage();
  EnginePage(const EnginePage&) = delete;
  EnginePage& operator=(const EnginePage&) = delete;

  wkeWebView view() const { return view_; }
  jsExecState es() const { return ::wkeGlobalExec(view_); }
  const std::wstring& folder() const { return dir_.path(); }

  // Writes `name` (relative to the folder) with `contents`.
  bool WriteFile(const std::wstring& name, const std::string& contents) const;
  // Writes "page.html" and loads it; true once document-ready arrived.
  bool Load(const std::string& html);
  // The script's value as text (jsToTempString), copied at once.
  std::string Eval(const std::string& script) const;

  // The border box of the first element `selector` matches, laid out as of
  // now (the engine's own query); false when there is none.
  bool ElementRect(const std::string& selector, wkeRect& rect) const;
  // The nodes the document holds now, attached or not yet reclaimed (the
  // engine's own query); -1 without one.
  int NodeCount() const;
  // The colour at a point of the rendering, repainted first if need be.
  COLORREF Pixel(int x, int y) const;

  // The developer tools window of this thread (other tests may run beside
  // this one), or null.
  HWND DevToolsWindow() const;
  // The view's console as its developer tools list it (opened if need be),
  // one line each, the inspector line first.
  std::vector<std::wstring> ConsoleLines() const;

  // Destroys the view early (the destructor does it otherwise).
  void DestroyView();
  int ready_count() const { return readyCount_; }

 private:
  static void WKE_CALL_TYPE OnReady(wkeWebView view, void* param);

  ScopedTempDir dir_;
  wkeWebView view_ = nullptr;
  int readyCount_ = 0;
};

}  // namespace halyx::testing
