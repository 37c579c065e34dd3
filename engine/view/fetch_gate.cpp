#include "engine/view/fetch_gate.h"

#include "engine/view/web_view.h"

#include "engine/net/fetch_policy.h"
#include "engine/view/engine_host.h"
#include "engine/view/worker_slot.h"

namespace halyx::engine {
namespace {

// The store of grants: named like no page origin ("scheme://host:port"),
// so that no page's localStorage is this store.
constexpr char kGrantStore[] = "engine-fetch-grants";

std::string Trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

}  // namespace

std::set<std::string> FetchGate::Granted() {
  if (!grants_ || grantsFolder_ != view_.storageFolder_) {
    grantsFolder_ = view_.storageFolder_;
    grants_ = LocalStorage::Open(grantsFolder_, kGrantStore);
  }
  std::set<std::string> granted;
  for (const auto& origin : grants_->Keys()) granted.insert(origin);
  return granted;
}

void FetchGate::NoteTyped(int element, std::uint32_t generation, const std::string& text) {
  typed_[element] = Typed{generation, view_.script_ ? view_.script_->serial() : 0, text};
}

void FetchGate::GrantIfTyped(const std::string& origin) {
  const HtmlDocument& doc = view_.document_;
  for (auto it = typed_.begin(); it != typed_.end();) {
    const int element = it->first;
    if (!doc.IsElement(element) || doc.generation(element) != it->second.generation || !view_.script_ ||
        view_.script_->serial() != it->second.serial) {
      it = typed_.erase(it);
      continue;
    }
    // As the person left it: a script that rewrote the field made it the
    // page's text, not the person's.
    const std::string value = doc.Attribute(element, "value");
    if (doc.Contains(0, element) && value == it->second.text && FetchPolicy::OriginOf(Trimmed(value)) == origin) {
      Granted();
      grants_->Set(origin, "1");
      view_.AddConsoleLine(1, "fetch: " + origin + " allowed, entered by the person");
      return;
    }
    ++it;
  }
}

std::string FetchGate::Start(int request, const std::string& method, const std::string& url, const std::string& body,
                             const std::string& content_type) {
  // Only the client's own page, loaded from disk: a page from the network
  // holds no one's grants.
  if (!view_.mainView_ || LocalStorage::OriginOf(view_.url_) != "file://") {
    return "only the client's own page may fetch";
  }
  if (method != "GET" && method != "POST") return "only GET and POST";
  if (body.size() > FetchClient::kMaxBodyBytes) {
    return "a body larger than " + std::to_string(FetchClient::kMaxBodyBytes) + " bytes";
  }
  std::string why;
  if (!FetchPolicy::SchemeAllowed(url, why)) return why;
  // Header values go into the request as they are: no line breaks.
  if (content_type.find_first_of("\r\n") != std::string::npos) return "a header holds a line break";
  if (view_.activation_) GrantIfTyped(FetchPolicy::OriginOf(url));
  const std::set<std::string> granted = Granted();
  if (!FetchPolicy::Allows(url, granted, why)) return why;
  EngineHost* host = EngineHost::Instance();
  if (host == nullptr || !view_.script_) return "the engine is shutting down";
  if (*running_ >= kMaxRunning) return "more than " + std::to_string(kMaxRunning) + " requests at once";

  FetchClient::Request exchange;
  exchange.method = method;
  exchange.url = url;
  exchange.body = body;
  exchange.content_type = content_type;
  const FetchClient::Limits limits = limits_;
  const unsigned id = view_.id_;
  const unsigned serial = view_.script_->serial();
  host->RunInBackground(
      [exchange, limits, granted, id, serial, request, slot = std::make_shared<WorkerSlot>(running_)]() mutable {
        // Every hop under the same rule, with the grants as they stood.
        auto rule = [&granted](const std::string& target, std::string& reason) {
          return FetchPolicy::Allows(target, granted, reason);
        };
        const FetchClient::Response response = FetchClient::Run(exchange, rule, limits);
        auto answer = std::make_shared<ScriptContext::FetchAnswer>();
        answer->error = response.delivered ? std::string() : response.error;
        answer->status = response.status;
        answer->status_text = response.status_text;
        answer->url = response.url;
        answer->redirected = response.url != exchange.url;
        answer->content_type = response.content_type;
        answer->body = response.body;
        // The place is free before the page hears of the answer, so the page
        // may ask again at once.
        slot.reset();
        EngineHost* current = EngineHost::Instance();
        if (current == nullptr) return;
        current->PostTask([answer, id, serial, request]() {
          // The page that asked may be gone: closed, or replaced by a load.
          WebView* view = EngineHost::Instance()->FindView(id);
          if (view == nullptr || view->script() == nullptr || view->script()->serial() != serial) return;
          view->script()->Fetched(request, *answer);
        });
      });
  return {};
}

}  // namespace halyx::engine
