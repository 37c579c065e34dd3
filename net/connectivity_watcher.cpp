#include "net/connectivity_watcher.h"

#include <utility>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "base/error_code.h"
#include "base/guard.h"
#include "net/http_connectivity.h"
#include "base/window_messages.h"

namespace halyx {

void to_json(json& out, const ServerStatus& in) {
  out = json{{"name", in.name}, {"title", in.title}, {"status", in.status}};
}

ConnectivityWatcher::ConnectivityWatcher(uv_loop_t* loop, HWND resultWindow, ServerAddressPolicy policy)
    : loop_(loop), resultWindow_(resultWindow), policy_(policy) {}

// Tests still queued are cancelled and those running abandoned as running_
// goes: none of them reports.
ConnectivityWatcher::~ConnectivityWatcher() = default;

void ConnectivityWatcher::Start(std::shared_ptr<ConnectMediaConfig> config) {
  if (busy_) {
    spdlog::error("ConnectivityWatcher: already testing");
    return;
  }
  if (!config) return;
  const std::string refusal = RefusalReason(*config);
  if (!refusal.empty()) {
    spdlog::warn("ConnectivityWatcher: run refused: {}", refusal);
    return;
  }
  busy_ = true;
  config_ = std::move(config);
  // A run that breaks off on the way must not leave the watcher busy, or it
  // would refuse every later run.
  if (!Guarded("ConnectivityWatcher: start", [&] { Begin(); })) {
    starting_ = false;
    running_.clear();
    busy_ = false;
    spdlog::warn("ConnectivityWatcher: run abandoned: {}", config_->id);
  }
}

void ConnectivityWatcher::Begin() {
  SetAdGlobalMessage start;
  start.id = config_->id;
  start.route = config_->route;
  for (const ServerEntry& server : config_->servers) {
    start.ads.push_back({server.name, server.title, HttpConnectivity::kUnreachableStatus});
  }
  PostRunMessage(resultWindow_, kSetAdGlobalMessage, start, "connectivity");
  spdlog::info("connectivity testing started: {}", config_->id);

  // A test that cannot be queued reports at once; the run must not count as
  // ended while later servers are still to be queued.
  starting_ = true;
  for (const ServerEntry& server : config_->servers) {
    if (const std::string refusal = policy_.HostRefusal(server.host); !refusal.empty()) {
      spdlog::warn("ConnectivityWatcher: server {} not tested: {} is {}", server.name, server.host, refusal);
      PostAdGlobal({server.name, server.title, HttpConnectivity::kUnreachableStatus});
      continue;
    }
    const std::string url = fmt::format("{}://{}:{}", server.protocol, server.host, server.port);
    auto test = std::make_shared<HttpConnectivity>(loop_, url, server.name, server.title, server.status, this);
    if (test->Start()) running_.emplace(server.name, std::move(test));
  }
  starting_ = false;
  CheckFinished();
}

void ConnectivityWatcher::OnConnectResult(const std::string& name, const std::string& title,
                                          const std::string& status) {
  PostAdGlobal({name, title, status});
  // Of the tests of this name, the one reporting is the one that finished;
  // one that could not be queued was never entered.
  auto [begin, end] = running_.equal_range(name);
  for (auto it = begin; it != end; ++it) {
    if (it->second->finished()) {
      running_.erase(it);
      break;
    }
  }
  CheckFinished();
}

void ConnectivityWatcher::PostAdGlobal(const ServerStatus& status) {
  // A message that cannot be written costs that message, not the run's
  // bookkeeping that follows it.
  Guarded("ConnectivityWatcher: posting the result of " + status.name, [&] {
    AdGlobalMessage message;
    message.id = config_ ? config_->id : std::string();
    message.ad = status;
    PostRunMessage(resultWindow_, kAdGlobalMessage, message, "connectivity");
  });
}

void ConnectivityWatcher::CheckFinished() {
  if (busy_ && !starting_ && running_.empty()) {
    busy_ = false;
    spdlog::info("connectivity testing finished: {}", config_->id);
  }
}

}  // namespace halyx
