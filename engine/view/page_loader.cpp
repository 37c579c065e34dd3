#include "engine/view/page_loader.h"

#include "engine/view/web_view.h"

#include <commdlg.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cwchar>
#include <cwctype>

#include "engine/style/css_parser.h"
#include "engine/view/engine_host.h"
#include "engine/net/save_target.h"
#include "base/gdi_selection.h"
#include "base/utf8.h"

namespace halyx::engine {
namespace {

// At most this many style sheets per page: each is bounded by the parser,
// and so is their sum.
constexpr std::size_t kMaxStyleSheets = 32;

wkeStringImpl MakeString(const std::string& text) { return wkeStringImpl{text, Utf8ToWide(text)}; }

}  // namespace

void PageLoader::LoadImages(const PageFetcher::Page& page) {
  view_.images_.clear();
  // What all of a page's pictures may hold together, so that many pictures
  // each under the size limit cannot exhaust memory either.
  constexpr long long kMaxPagePixels = 4096LL * 4096;
  long long pixels = 0;
  std::vector<std::string> seen;
  for (std::size_t i = 0; i < view_.document_.size(); ++i) {
    const int node = static_cast<int>(i);
    if (!view_.document_.IsElement(node) || view_.document_.node(node).tag != "img") continue;
    const std::string src = view_.document_.Attribute(node, "src");
    if (src.empty() || std::find(seen.begin(), seen.end(), src) != seen.end()) continue;
    seen.push_back(src);
    auto same = [&src](const auto& entry) { return entry.first == src; };
    const auto fetched = std::find_if(page.images.begin(), page.images.end(), same);
    if (fetched == page.images.end()) {
      // A refused image has its line already.
      if (std::none_of(page.refused.begin(), page.refused.end(), same)) {
        view_.AddConsoleLine(3, "Failed to load image " + src);
      }
      continue;
    }
    DecodedImage image;
    std::string error;
    if (!image.Decode(fetched->second, error)) {
      view_.AddConsoleLine(3, "Cannot show image " + src + ": " + error);
      continue;
    }
    const long long size = static_cast<long long>(image.width()) * image.height();
    if (pixels + size > kMaxPagePixels) {
      view_.AddConsoleLine(3, "Cannot show image " + src + ": the page's images hold more than " +
                                  std::to_string(kMaxPagePixels) + " pixels");
      continue;
    }
    pixels += size;
    view_.images_.emplace(src, std::move(image));
  }
}

void PageLoader::LoadStyleSheets(const PageFetcher::Page& page) {
  std::vector<StyleSheet> sheets;
  std::size_t next_linked = 0;
  for (const HtmlDocument::StyleSource& source : view_.document_.styles()) {
    if (sheets.size() >= kMaxStyleSheets) {
      view_.AddConsoleLine(2, "Style sheets past the first " + std::to_string(kMaxStyleSheets) + " are ignored");
      break;
    }
    if (source.href.empty()) {
      sheets.push_back(CssParser::ParseSheet(source.text));
      continue;
    }
    if (next_linked < page.stylesheets.size() && page.stylesheets[next_linked].first == source.href) {
      sheets.push_back(CssParser::ParseSheet(page.stylesheets[next_linked].second));
      ++next_linked;
    } else {
      view_.AddConsoleLine(3, "Failed to load style sheet " + source.href);
    }
  }
  view_.styles_.SetSheets(std::move(sheets));
}

void PageLoader::Load(const std::wstring& url) {
  EngineHost* host = EngineHost::Instance();
  if (host == nullptr || url.empty()) return;
  const unsigned serial = ++view_.loadSerial_;
  const unsigned id = view_.id_;
  auto commit = [id, serial](const std::shared_ptr<PageFetcher::Page>& page) {
    WebView* view = EngineHost::Instance()->FindView(id);
    // A later load of the same view supersedes this one.
    if (view != nullptr && view->loadSerial_ == serial) view->loader_.CommitPage(*page);
  };
  const bool remote = PageFetcher::IsRemote(url);
  const std::wstring root = view_.localRoot_;
  if (remote) {
    host->RunInBackground([url, root, commit]() {
      auto page = std::make_shared<PageFetcher::Page>(PageFetcher::Fetch(url, root));
      if (EngineHost* current = EngineHost::Instance()) current->PostTask([commit, page]() { commit(page); });
    });
  } else {
    host->PostTask(
        [url, root, commit]() { commit(std::make_shared<PageFetcher::Page>(PageFetcher::Fetch(url, root))); });
  }
}

void PageLoader::ReapRetiredScripts() {
  for (auto it = view_.retired_.begin(); it != view_.retired_.end();) {
    it = (*it)->busy() ? it + 1 : view_.retired_.erase(it);
  }
  if (view_.retired_.empty()) return;
  // Still unwinding in a nested message loop (a dialog): look again shortly.
  if (EngineHost* host = EngineHost::Instance()) {
    const unsigned id = view_.id_;
    host->SetTimer(50, [id]() {
      if (WebView* view = EngineHost::Instance()->FindView(id)) view->loader_.ReapRetiredScripts();
      return false;
    });
  }
}

void PageLoader::CommitPage(const PageFetcher::Page& page) {
  // The old page's native objects are finalized before the new page runs,
  // unless its script is still on the stack (the load completed in a nested
  // message loop, a dialog opened from that script): then the old context
  // lives on beside the new one until its script has unwound.
  if (view_.script_ && view_.script_->busy()) {
    view_.retired_.push_back(std::move(view_.script_));
    const unsigned id = view_.id_;
    if (EngineHost* host = EngineHost::Instance()) {
      host->PostTask([id]() {
        if (WebView* view = EngineHost::Instance()->FindView(id)) view->loader_.ReapRetiredScripts();
      });
    }
  }
  view_.script_.reset();
  view_.url_ = page.url;
  view_.storage_ = LocalStorage::Open(view_.storageFolder_, LocalStorage::OriginOf(view_.url_));
  view_.scrolls_.clear();
  view_.fullPaint_ = true;
  view_.pressed_ = -1;
  view_.interaction_ = InteractionState{};
  view_.edit_ = EditState{};
  view_.popup_.Close();
  view_.swallowRelease_ = false;
  view_.loaded_ = false;
  view_.document_ = page.document;
  view_.script_ = std::make_unique<ScriptContext>(view_, view_.exec_state(), view_.scriptTimeLimitMs_);
  if (!page.ok) {
    view_.document_ = HtmlDocument::Parse("<p>This page cannot be shown.</p>");
    view_.AddConsoleLine(3, "Failed to load " + page.url + ": " + page.error);
  }
  view_.accessibility_.PageReplaced();
  LoadStyleSheets(page);
  LoadImages(page);
  view_.styleDirty_ = true;
  if (view_.document_.truncated()) {
    view_.AddConsoleLine(
        3, "The page holds more than " + std::to_string(HtmlDocument::kMaxNodes) + " nodes; the rest was dropped");
  }
  if (view_.document_.flattened()) {
    view_.AddConsoleLine(3, "Elements nested deeper than " + std::to_string(HtmlDocument::kMaxNesting) +
                                " levels were moved up to that level");
  }
  for (const auto& refused : page.refused) {
    const bool sheet = std::any_of(view_.document_.styles().begin(), view_.document_.styles().end(),
                                   [&](const HtmlDocument::StyleSource& s) { return s.href == refused.first; });
    const bool script = std::any_of(view_.document_.scripts().begin(), view_.document_.scripts().end(),
                                    [&](const HtmlDocument::Script& s) { return s.src == refused.first; });
    const char* what = sheet ? "style sheet " : (script ? "script " : "image ");
    view_.AddConsoleLine(3, std::string("Refused to load ") + what + refused.first + ": " + refused.second);
  }
  auto was_refused = [&page](const std::string& src) {
    return std::any_of(page.refused.begin(), page.refused.end(), [&](const auto& r) { return r.first == src; });
  };
  std::size_t next_external = 0;
  for (const HtmlDocument::Script& script : view_.document_.scripts()) {
    if (!view_.script_) break;
    if (script.src.empty()) {
      view_.script_->RunScript(script.source, page.url);
      continue;
    }
    // The fetcher kept the fetched bodies in document order.
    if (next_external < page.scripts.size() && page.scripts[next_external].first == script.src) {
      view_.script_->RunScript(page.scripts[next_external].second, script.src);
      ++next_external;
    } else if (!was_refused(script.src)) {
      view_.AddConsoleLine(3, "Failed to load script " + script.src);
    }
  }
  view_.loaded_ = true;
  if (view_.script_) view_.script_->DocumentLoaded();
  view_.SchedulePaint();
  // A callback may destroy the view; each later step checks that it stands.
  const unsigned id = view_.id_;
  auto alive = [this, id]() { return EngineHost::Instance()->FindView(id) == &view_; };
  view_.FireTitleChanged();
  if (!alive()) return;
  if (view_.callbacks_.url_changed != nullptr) {
    wkeStringImpl url = MakeString(view_.url_);
    view_.callbacks_.url_changed(view_.handle(), view_.callbacks_.url_changed_param, &url);
    if (!alive()) return;
  }
  if (view_.callbacks_.document_ready != nullptr)
    view_.callbacks_.document_ready(view_.handle(), view_.callbacks_.document_ready_param);
}

}  // namespace halyx::engine
