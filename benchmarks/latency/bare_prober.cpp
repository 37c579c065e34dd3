#include "bare_prober.h"

#include <cstring>
#include <memory>

#include <uv.h>

namespace halyx::bench {

namespace {

constexpr uint64_t kGraceNs = 1000ull * 1000 * 1000;

struct Socket {
  uv_udp_t udp{};
  uv_timer_t timer{};
  sockaddr_in target{};
  int left = 0;
  uint64_t spacingMs = 0;
  uint64_t nextDue = 0;  // loop time (ms) the next probe is planned for
  bool keepPlan = false;
  BareProber::Figures* figures = nullptr;
  char buffer[64];
};

void OnAlloc(uv_handle_t* handle, size_t, uv_buf_t* buffer) {
  auto* socket = static_cast<Socket*>(handle->data);
  *buffer = uv_buf_init(socket->buffer, sizeof(socket->buffer));
}

void OnRead(uv_udp_t* handle, ssize_t nread, const uv_buf_t* buffer, const sockaddr* from, unsigned) {
  if (nread != 8 || !from) return;
  uint64_t sentAt = 0;
  std::memcpy(&sentAt, buffer->base, sizeof(sentAt));
  const uint64_t now = uv_hrtime();
  if (now - sentAt > kGraceNs) return;
  auto* figures = static_cast<Socket*>(handle->data)->figures;
  figures->meanMs += static_cast<double>(now - sentAt) / 1e6;  // a sum until the run is over
  ++figures->received;
}

void OnTick(uv_timer_t* timer) {
  auto* socket = static_cast<Socket*>(timer->data);
  uint64_t stamp = uv_hrtime();
  uv_buf_t buffer = uv_buf_init(reinterpret_cast<char*>(&stamp), sizeof(stamp));
  if (uv_udp_try_send(&socket->udp, &buffer, 1, reinterpret_cast<const sockaddr*>(&socket->target)) == 8) {
    ++socket->figures->sent;
  }
  uv_update_time(timer->loop);
  const uint64_t now = uv_now(timer->loop);
  socket->figures->lateMs += static_cast<double>(now > socket->nextDue ? now - socket->nextDue : 0);
  if (--socket->left == 0) {
    uv_timer_stop(timer);
    return;
  }
  if (socket->keepPlan) {
    // The client's rule: a late probe leaves at once and the rest keep
    // their planned times, so a loop that falls behind sends in bursts.
    socket->nextDue += socket->spacingMs;
    uv_timer_start(timer, &OnTick, socket->nextDue > now ? socket->nextDue - now : 0, 0);
  } else {
    // A repeating timer counts from when it ran: lateness pushes the rest
    // of the run back, and the rate falls when the loop is behind.
    socket->nextDue = now + socket->spacingMs;
  }
}

}  // namespace

BareProber::Figures BareProber::Run(const std::vector<sockaddr_in>& targets, int probes, int spacingMs,
                                    Schedule schedule) {
  Figures figures;
  uv_loop_t loop;
  if (uv_loop_init(&loop) != 0) return figures;
  std::vector<std::unique_ptr<Socket>> sockets;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    auto socket = std::make_unique<Socket>();
    socket->udp.data = socket.get();
    socket->timer.data = socket.get();
    socket->target = targets[i];
    socket->left = probes;
    socket->spacingMs = static_cast<uint64_t>(spacingMs);
    socket->keepPlan = schedule == Schedule::kKeepPlan;
    socket->figures = &figures;
    uv_udp_init(&loop, &socket->udp);
    sockaddr_in any{};
    uv_ip4_addr("0.0.0.0", 0, &any);
    uv_udp_bind(&socket->udp, reinterpret_cast<const sockaddr*>(&any), 0);
    uv_udp_recv_start(&socket->udp, &OnAlloc, &OnRead);
    uv_timer_init(&loop, &socket->timer);
    sockets.push_back(std::move(socket));
  }
  // Every socket is set up before the first probe, and the schedule starts
  // from now, not from the loop's clock before the set-up.
  uv_update_time(&loop);
  for (std::size_t i = 0; i < sockets.size(); ++i) {
    const uint64_t offset = static_cast<uint64_t>(spacingMs) * i / sockets.size();
    sockets[i]->nextDue = uv_now(&loop) + offset;
    uv_timer_start(&sockets[i]->timer, &OnTick, offset,
                   schedule == Schedule::kKeepPlan ? 0 : static_cast<uint64_t>(spacingMs));
  }
  uv_timer_t end;
  uv_timer_init(&loop, &end);
  end.data = &loop;
  uv_timer_start(
      &end, [](uv_timer_t* timer) { uv_stop(static_cast<uv_loop_t*>(timer->data)); },
      static_cast<uint64_t>(probes) * spacingMs + kGraceNs / 1000000, 0);
  uv_run(&loop, UV_RUN_DEFAULT);
  for (auto& socket : sockets) {
    uv_close(reinterpret_cast<uv_handle_t*>(&socket->udp), nullptr);
    uv_close(reinterpret_cast<uv_handle_t*>(&socket->timer), nullptr);
  }
  uv_close(reinterpret_cast<uv_handle_t*>(&end), nullptr);
  uv_run(&loop, UV_RUN_DEFAULT);
  uv_loop_close(&loop);
  if (figures.received > 0) figures.meanMs /= static_cast<double>(figures.received);
  if (figures.sent > 0) figures.lateMs /= static_cast<double>(figures.sent);
  return figures;
}

}  // namespace halyx::bench
