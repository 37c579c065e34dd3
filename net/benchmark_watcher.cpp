#include "net/benchmark_watcher.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>

#include <spdlog/spdlog.h>

#include "base/error_code.h"
#include "net/default_interface.h"
#include "net/latency_benchmark.h"
#include "base/guard.h"
#include "base/window_messages.h"

namespace halyx {

// One name lookup in flight; the request's data points here. The callback
// frees both; a watcher that goes away first only clears `watcher`.
struct BenchmarkWatcher::Lookup {
  BenchmarkWatcher* watcher;
  std::string host;
  uv_getaddrinfo_t* request;
};

void to_json(json& out, const LatencyResult& in) {
  out = json{{"name", in.name}, {"title", in.title}, {"lag", in.lag}, {"dropRate", in.dropRate}};
}

BenchmarkWatcher::BenchmarkWatcher(uv_loop_t* loop, HWND resultWindow) : loop_(loop), resultWindow_(resultWindow) {}

BenchmarkWatcher::~BenchmarkWatcher() {
  OrphanLookups();
  // Probes still running go with running_: their handles close, and nothing
  // reports.
}

void BenchmarkWatcher::Start(std::shared_ptr<BenchmarkGameConfig> config) {
  if (busy_) {
    spdlog::error("BenchmarkWatcher: already benchmarking");
    return;
  }
  if (!config) return;
  const std::string refusal = RefusalReason(*config);
  if (!refusal.empty()) {
    spdlog::warn("BenchmarkWatcher: run refused: {}", refusal);
    return;
  }
  busy_ = true;
  config_ = std::move(config);
  // A run that breaks off on the way must not leave the watcher busy, or it
  // would refuse every later run.
  if (!Guarded("BenchmarkWatcher: start", [&] { Begin(); })) Abandon();
}

void BenchmarkWatcher::Begin() {
  SetAdInfoMessage start;
  start.id = config_->id;
  start.route = config_->route;
  for (const ServerEntry& server : config_->servers) {
    start.ads.push_back({server.name, server.title, 0, 0.0});
  }
  PostRunMessage(resultWindow_, kSetAdInfoMessage, start, "benchmark");
  spdlog::info("benchmark started: {}", config_->id);
  uv_update_time(loop_);
  runStart_ = uv_now(loop_);
  probesCreated_ = 0;

  interfaceIndex_ = SelectDefaultInterface();
  if (interfaceIndex_ < 0) spdlog::warn("BenchmarkWatcher get default interface failed");

  // One lookup per host serves every server of that host.
  std::set<std::string> hosts;
  for (const ServerEntry& server : config_->servers) {
    if (!pending_.emplace(server.name, server).second) {
      spdlog::warn("BenchmarkWatcher: duplicate server {}, only the first is measured", server.name);
      continue;
    }
    if (!hosts.insert(server.host).second) continue;

    auto* request = new uv_getaddrinfo_t{};
    auto* lookup = new Lookup{this, server.host, request};
    request->data = lookup;
    const int status =
        uv_getaddrinfo(loop_, request, &BenchmarkWatcher::OnResolved, lookup->host.c_str(), nullptr, nullptr);
    if (status != 0) {
      spdlog::warn("BenchmarkWatcher getaddrinfo failed: {}", uv_strerror(status));
      delete lookup;
      delete request;
      PostAdInfo({server.name, server.title, 0, 1.0});
      pending_.erase(server.name);
      // A later server of this host would wait for a lookup that never runs.
      hosts.erase(server.host);
      continue;
    }
    lookups_.insert(lookup);
  }
  if (pending_.empty()) CheckFinished();
}

void BenchmarkWatcher::OrphanLookups() {
  for (Lookup* lookup : lookups_) {
    lookup->watcher = nullptr;
    // A lookup still queued ends at once; one already running on the pool
    // ends by itself and its callback only frees.
    uv_cancel(reinterpret_cast<uv_req_t*>(lookup->request));
  }
  lookups_.clear();
}

void BenchmarkWatcher::Abandon() {
  OrphanLookups();
  pending_.clear();
  running_.clear();
  busy_ = false;
  spdlog::warn("BenchmarkWatcher: run abandoned: {}", config_ ? config_->id : std::string());
}

void BenchmarkWatcher::OnResolved(uv_getaddrinfo_t* request, int status, addrinfo* results) {
  auto* lookup = static_cast<Lookup*>(request->data);
  if (lookup && lookup->watcher) {
    BenchmarkWatcher* watcher = lookup->watcher;
    watcher->lookups_.erase(lookup);
    const bool handled = Guarded("BenchmarkWatcher: handling the lookup of " + lookup->host, [&] {
      if (status < 0) {
        watcher->HandleLookupFailed(lookup->host, status);
      } else {
        watcher->HandleResolved(lookup->host, results);
      }
    });
    // Servers left pending would keep the run from ever ending.
    if (!handled) watcher->Abandon();
  }
  uv_freeaddrinfo(results);
  delete lookup;
  delete request;
}

void BenchmarkWatcher::HandleLookupFailed(const std::string& host, int status) {
  spdlog::warn("BenchmarkWatcher: getaddrinfo failed for {}: {}", host, uv_strerror(status));
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (it->second.host == host) {
      PostAdInfo({it->second.name, it->second.title, 0, 1.0});
      it = pending_.erase(it);
    } else {
      ++it;
    }
  }
  CheckFinished();
}

void BenchmarkWatcher::HandleResolved(const std::string& host, const addrinfo* results) {
  const addrinfo* chosen = nullptr;
  for (const addrinfo* it = results; it; it = it->ai_next) {
    if (it->ai_family == AF_INET) {
      chosen = it;
      break;
    }
  }
  if (!chosen) chosen = results;
  if (!chosen || !chosen->ai_addr || (chosen->ai_family != AF_INET && chosen->ai_family != AF_INET6)) {
    HandleLookupFailed(host, UV_EAI_ADDRFAMILY);
    return;
  }
  sockaddr_storage address{};
  std::memcpy(&address, chosen->ai_addr, std::min<std::size_t>(chosen->ai_addrlen, sizeof(address)));

  const int32_t count = config_->setting.count;
  const double frequency = config_->setting.frequency;
  std::vector<std::string> names;
  for (const auto& [name, server] : pending_) {
    if (server.host == host) names.push_back(name);
  }
  for (const std::string& name : names) {
    const ServerEntry server = pending_.at(name);
    // The port sits at the same place in both address families.
    reinterpret_cast<sockaddr_in*>(&address)->sin_port = htons(server.port);
    char text[INET6_ADDRSTRLEN] = {};
    const int status = address.ss_family == AF_INET
                           ? uv_ip4_name(reinterpret_cast<const sockaddr_in*>(&address), text, sizeof(text))
                           : uv_ip6_name(reinterpret_cast<const sockaddr_in6*>(&address), text, sizeof(text));
    if (status != 0) {
      spdlog::warn("BenchmarkWatcher get hostname failed: {}", uv_strerror(status));
    } else {
      spdlog::info("BenchmarkWatcher latency test to {} ({}:{})", name, text, server.port);
    }

    // The servers' first probes are spread over the first interval rather
    // than all sent in one loop pass, whose echoes would then queue behind
    // each other and come back late.
    const uint64_t intervalMs = static_cast<uint64_t>(frequency * 1000.0);
    const uint64_t slot = runStart_ + intervalMs * probesCreated_++ / std::max<std::size_t>(config_->servers.size(), 1);
    uv_update_time(loop_);
    const uint64_t now = uv_now(loop_);
    auto probe = std::make_shared<LatencyBenchmark>(loop_, interfaceIndex_, reinterpret_cast<const sockaddr*>(&address),
                                                    server.name, server.title, count, this, frequency,
                                                    slot > now ? slot - now : 0);
    pending_.erase(name);
    if (!probe->started()) {
      // It would never report, and the run would never end.
      PostAdInfo({server.name, server.title, 0, 1.0});
      continue;
    }
    running_.emplace(name, std::move(probe));
  }
  CheckFinished();
}

void BenchmarkWatcher::OnBenchmarkResult(const std::string& name, const std::string& title, int32_t lag,
                                         double dropRate) {
  PostAdInfo({name, title, lag, dropRate});
  // Destroys the probe; it touches nothing of its own after this call.
  running_.erase(name);
  CheckFinished();
}

void BenchmarkWatcher::PostAdInfo(const LatencyResult& result) {
  // A message that cannot be written costs that message, not the run's
  // bookkeeping that follows it.
  Guarded("BenchmarkWatcher: posting the result of " + result.name, [&] {
    AdInfoMessage message;
    message.id = config_ ? config_->id : std::string();
    message.ad = result;
    PostRunMessage(resultWindow_, kAdInfoMessage, message, "benchmark");
  });
}

void BenchmarkWatcher::CheckFinished() {
  if (busy_ && pending_.empty() && running_.empty()) {
    busy_ = false;
    spdlog::info("benchmarak finished: {}", config_->id);
  }
}

}  // namespace halyx
