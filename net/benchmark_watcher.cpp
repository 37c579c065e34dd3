#include "net/benchmark_watcher.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <stdexcept>
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

BenchmarkWatcher::BenchmarkWatcher(uv_loop_t* loop, HWND resultWindow, ServerAddressPolicy policy)
    : loop_(loop), resultWindow_(resultWindow), policy_(policy) {}

BenchmarkWatcher::~BenchmarkWatcher() {
  OrphanLookups();
  if (starter_.initialised()) uv_timer_stop(starter_.get());
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
  if (!starter_.initialised()) {
    const int status = uv_timer_init(loop_, starter_.get());
    if (status != 0) {
      // Without it no probe could be set up: the run cannot happen.
      spdlog::error("BenchmarkWatcher init timer failed: {}", uv_strerror(status));
      throw std::runtime_error("no timer for setting the probes up");
    }
    starter_.get()->data = this;
    starter_.SetInitialised();
  }

  interfaceIndex_ = SelectDefaultInterface();
  if (interfaceIndex_ < 0) spdlog::warn("BenchmarkWatcher get default interface failed");

  // One lookup per host serves every server of that host.
  std::set<std::string> hosts;
  for (const ServerEntry& server : config_->servers) {
    if (!pending_.emplace(server.name, server).second) {
      spdlog::warn("BenchmarkWatcher: duplicate server {}, only the first is measured", server.name);
      continue;
    }
    if (const std::string refusal = policy_.HostRefusal(server.host); !refusal.empty()) {
      spdlog::warn("BenchmarkWatcher: server {} not measured: {} is {}", server.name, server.host, refusal);
      PostAdInfo({server.name, server.title, 0, 1.0});
      pending_.erase(server.name);
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
  queued_.clear();
  running_.clear();
  unstarted_.clear();
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
  ReportHostLost(host);
}

void BenchmarkWatcher::ReportHostLost(const std::string& host) {
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
  // A public name may resolve to this machine or its network.
  if (const std::string refusal = policy_.AddressRefusal(chosen->ai_addr); !refusal.empty()) {
    spdlog::warn("BenchmarkWatcher: {} not measured: it resolves to {}", host, refusal);
    ReportHostLost(host);
    return;
  }
  sockaddr_storage address{};
  std::memcpy(&address, chosen->ai_addr, std::min<std::size_t>(chosen->ai_addrlen, sizeof(address)));

  std::vector<std::string> names;
  for (const auto& [name, server] : pending_) {
    if (server.host == host) names.push_back(name);
  }
  for (const std::string& name : names) {
    Queued queued{pending_.at(name), address};
    // The port sits at the same place in both address families.
    reinterpret_cast<sockaddr_in*>(&queued.address)->sin_port = htons(queued.server.port);
    pending_.erase(name);
    queued_.push_back(std::move(queued));
  }
  ScheduleSetUp();
}

void BenchmarkWatcher::ScheduleSetUp() {
  const int status = uv_timer_start(starter_.get(), &BenchmarkWatcher::OnStarterTimer, 0, 0);
  if (status != 0) {
    spdlog::error("BenchmarkWatcher start timer failed: {}", uv_strerror(status));
    for (const Queued& left : queued_) PostAdInfo({left.server.name, left.server.title, 0, 1.0});
    queued_.clear();
    // The probes already set up would otherwise wait for ever.
    StartBatch();
  }
}

void BenchmarkWatcher::OnStarterTimer(uv_timer_t* handle) {
  auto* watcher = static_cast<BenchmarkWatcher*>(handle->data);
  if (!Guarded("BenchmarkWatcher: starting probes", [&] { watcher->SetUpQueuedProbes(); })) watcher->Abandon();
}

void BenchmarkWatcher::SetUpQueuedProbes() {
  // Setting a socket up costs the loop about half a millisecond under Wine.
  // Done while probes are out, it holds up their echoes and shows as lag, so
  // all sockets are set up before any probe of the batch leaves; a batch
  // per pass leaves the loop free for its other work in between.
  constexpr int kPerPass = 32;
  for (int done = 0; !queued_.empty() && done < kPerPass; ++done) {
    const Queued queued = std::move(queued_.front());
    queued_.pop_front();
    SetUpProbe(queued);
  }
  if (!queued_.empty()) {
    ScheduleSetUp();
    return;
  }
  StartBatch();
}

void BenchmarkWatcher::StartBatch() {
  // The first probes are spread over the first interval rather than all
  // sent in one loop pass, whose echoes would then queue behind each other
  // and come back late.
  const uint64_t intervalMs = static_cast<uint64_t>(config_->setting.frequency * 1000.0);
  const std::size_t count = unstarted_.size();
  for (std::size_t i = 0; i < count; ++i) unstarted_[i]->Start(intervalMs * i / count);
  unstarted_.clear();
  CheckFinished();
}

void BenchmarkWatcher::SetUpProbe(const Queued& queued) {
  const ServerEntry& server = queued.server;
  const auto* address = reinterpret_cast<const sockaddr*>(&queued.address);
  char text[INET6_ADDRSTRLEN] = {};
  const int status = address->sa_family == AF_INET
                         ? uv_ip4_name(reinterpret_cast<const sockaddr_in*>(address), text, sizeof(text))
                         : uv_ip6_name(reinterpret_cast<const sockaddr_in6*>(address), text, sizeof(text));
  if (status != 0) {
    spdlog::warn("BenchmarkWatcher get hostname failed: {}", uv_strerror(status));
  } else {
    spdlog::info("BenchmarkWatcher latency test to {} ({}:{})", server.name, text, server.port);
  }
  auto probe = std::make_shared<LatencyBenchmark>(loop_, interfaceIndex_, address, server.name, server.title,
                                                  config_->setting.count, this, config_->setting.frequency);
  if (!probe->ready()) {
    // It would never report, and the run would never end.
    PostAdInfo({server.name, server.title, 0, 1.0});
    return;
  }
  unstarted_.push_back(probe);
  running_.emplace(server.name, std::move(probe));
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
  if (busy_ && pending_.empty() && queued_.empty() && running_.empty()) {
    busy_ = false;
    spdlog::info("benchmarak finished: {}", config_->id);
  }
}

}  // namespace halyx
