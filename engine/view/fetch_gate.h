// The page's fetch(): decides whether a request may go (FetchPolicy, on the
// main page only), records the person's grants, runs the exchange on a
// worker (FetchClient) and settles the page's promise from the message loop.
//
// A grant: a fetch started from a person's click or key handler whose
// origin is the origin of what the person typed into a text field of the
// page, still standing there as typed (script changing the field's value
// spoils it). Grants are kept in the view's storage folder under a name no
// page origin can have, so they hold at the next start and script cannot
// write them.
//
// A request outlives nothing: its answer names the view by id and the page
// by its script's serial, and is dropped when either is gone.
//
// Thread: GUI thread; a part of its WebView (a friend of the view). The
// exchange itself runs on a worker of the EngineHost.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "engine/net/fetch_client.h"
#include "engine/platform/local_storage.h"

namespace halyx::engine {

class WebView;

class FetchGate {
 public:
  // Requests of one view running at once: each holds a worker thread, and a
  // page asking for thousands would exhaust the process.
  static constexpr int kMaxRunning = 8;

  explicit FetchGate(WebView& view) : view_(view) {}
  FetchGate(const FetchGate&) = delete;
  FetchGate& operator=(const FetchGate&) = delete;

  // Starts request `request` of the current page; the reason when refused.
  std::string Start(int request, const std::string& method, const std::string& url, const std::string& body,
                    const std::string& content_type);
  // The person changed text field `element` (index and generation) to
  // `text` by typing.
  void NoteTyped(int element, std::uint32_t generation, const std::string& text);
  // How long a request may take in all (tests shorten it).
  void SetDeadline(unsigned milliseconds) { limits_.deadline_ms = milliseconds; }

 private:
  // The origins the person granted, as stored.
  std::set<std::string> Granted();
  // Grants `origin` when the person typed it into a field of the page.
  void GrantIfTyped(const std::string& origin);

  WebView& view_;
  FetchClient::Limits limits_;
  // Requests of this view whose worker has not ended; shared with the
  // workers, which count themselves out.
  std::shared_ptr<std::atomic<int>> running_ = std::make_shared<std::atomic<int>>(0);
  std::shared_ptr<LocalStorage> grants_;
  std::wstring grantsFolder_;
  // What the person last typed into each text field, by element index.
  struct Typed {
    std::uint32_t generation = 0;  // of the element
    unsigned serial = 0;           // of the page's script: a new page starts over
    std::string text;
  };
  std::map<int, Typed> typed_;
};

}  // namespace halyx::engine
