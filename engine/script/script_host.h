// What a page's script needs of the view that shows it: the document and its
// boxes, focus and scrolling, the console and the dialogs, and timers and
// tasks that come back only while the page is there.
//
// The view implements it and hands itself to every ScriptContext it makes;
// script reaches the view through nothing else, so the script layer never
// includes the view's headers.
//
// Thread: GUI thread. The host outlives every context it made.
#pragma once

#include <windows.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "engine/dom/html_document.h"
#include "engine/platform/local_storage.h"
#include "engine/style/selector_matcher.h"

namespace halyx::engine {

class ScriptContext;

class ScriptHost {
 public:
  // The page as script sees it.
  virtual HtmlDocument& document() = 0;
  virtual const std::string& url() const = 0;
  virtual void SetTitle(const std::string& title) = 0;
  // The store of the current page's origin.
  virtual const std::shared_ptr<LocalStorage>& storage() const = 0;
  virtual const InteractionState& interaction() const = 0;
  virtual bool loaded() const = 0;
  virtual int width() const = 0;
  virtual int height() const = 0;

  // Script changed the document: render again soon.
  virtual void ContentChanged() = 0;
  virtual void NodeRemoved(int node) = 0;
  virtual void ValueSetByScript(int element) = 0;

  // The element's border box in view coordinates; false for none.
  virtual bool ElementRect(int element, float rect[4]) = 0;
  // Scroll position and scrollable height of an element (0: the page).
  virtual void ScrollMetrics(int element, float& top, float& height) = 0;
  virtual void ScrollTo(int element, float top) = 0;
  // Moves focus (-1: none), firing blur and focus.
  virtual void Focus(int element) = 0;

  virtual void AddConsoleLine(int level, const std::string& text) = 0;
  virtual void Alert(const std::string& text) = 0;
  virtual bool Confirm(const std::string& text) = 0;
  virtual bool Prompt(const std::string& text, const std::string& default_text, std::string& result) = 0;
  // The save dialog for a blob; false when refused, cancelled or not written.
  virtual bool SaveFile(const std::string& name, const std::string& type, const void* bytes, std::size_t size) = 0;
  // The view of the client's own page, which may save files.
  virtual bool main_view() const = 0;
  // Starts fetch request `request` of the page (the answer comes back
  // through ScriptContext::Fetched); the reason when it is refused at once,
  // else empty.
  virtual std::string Fetch(int request, const std::string& method, const std::string& url, const std::string& body,
                            const std::string& content_type) = 0;
  // The file the person picked in file input `element`: the pick's id, its
  // name (no folder) and size; false when none was picked there.
  virtual bool PickedFile(int element, int& pick, std::string& name, double& size) = 0;
  // Starts reading pick `pick` for read request `request` (the bytes come
  // back through ScriptContext::FileRead); the reason when it is refused at
  // once, else empty.
  virtual std::string ReadPickedFile(int request, int pick) = 0;
  // Ends the current click's or key's permission, answering whether there
  // was one; RestoreActivation gives it back.
  virtual bool TakeActivation() = 0;
  virtual void RestoreActivation(bool activation) = 0;

  // A timer of the message loop: `fire` gets the host's current context on
  // every period, while the host lives and has one, until it answers false or
  // the timer is killed. 0 when no timer could be made.
  virtual UINT_PTR SetScriptTimer(unsigned milliseconds, std::function<bool(ScriptContext&)> fire) = 0;
  virtual void KillScriptTimer(UINT_PTR timer) = 0;
  // Runs `task` from the message loop with the host's current context, if
  // the host still lives and has one then. False when it could not be posted.
  virtual bool PostScriptTask(std::function<void(ScriptContext&)> task) = 0;

 protected:
  ~ScriptHost() = default;
};

}  // namespace halyx::engine
