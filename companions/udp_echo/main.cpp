// Stand-in for the echo service on the measured servers: sends every UDP
// datagram back unchanged to the address and port it came from, with faults
// to order for tests and demonstrations.
//
//   udp_echo [--sockets N] [--delay-ms MS] [--drop SHARE] [--duplicate]
//            [--truncate] [--extend] [--other-port] [--ipv6]
//
// A datagram of exactly "STATS" is not echoed: it is answered with this
// process's figures so far, "received R answered A" (datagrams, STATS not
// counted), so a benchmark can tell the stand-in's losses from the client's.
//
// Binds N sockets (default 1) on 127.0.0.1 (::1 with --ipv6) at ephemeral ports, prints each
// port on a line of its own, then "ready", and echoes until its standard
// input closes (the parent went away) or it is killed.
//
//   --delay-ms MS   answer MS milliseconds late
//   --drop SHARE    leave that share of datagrams unanswered (0 to 1), spread
//                   evenly: with 0.1 the 10th, 20th, ... of each socket
//   --duplicate     answer every datagram twice
//   --truncate      answer with the first 7 bytes only
//   --extend        answer with one byte more (a 0 appended)
//   --other-port    answer from another socket (another port)
//   --ipv6          listen on the IPv6 loopback address instead
#include <winsock2.h>
#include <windows.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <uv.h>

namespace {

struct Options {
  int sockets = 1;
  uint64_t delayMs = 0;
  double drop = 0.0;
  bool duplicate = false;
  bool truncate = false;
  bool extend = false;
  bool otherPort = false;
  bool ipv6 = false;
};

Options options;
uv_loop_t* loop = nullptr;
uint64_t receivedTotal = 0;
uint64_t answeredTotal = 0;
constexpr char kStatsQuery[] = "STATS";

struct Socket {
  uv_udp_t handle{};
  uv_udp_t* answerFrom = nullptr;  // this one, or its partner on another port
  uint64_t received = 0;
};

// One answer waiting for its delay, or on its way out.
struct Answer {
  uv_timer_t timer{};
  uv_udp_send_t request{};
  uv_udp_t* from = nullptr;
  sockaddr_storage to{};
  std::string bytes;
  uv_buf_t buffer{};
  int sendsLeft = 1;
  uint64_t dueNs = 0;  // uv_hrtime at which a delayed answer leaves
};

void FreeAnswerAfterTimer(uv_handle_t* handle) { delete static_cast<Answer*>(handle->data); }

void OnAnswerSent(uv_udp_send_t* request, int status) {
  auto* answer = static_cast<Answer*>(request->data);
  if (status != 0) std::fprintf(stderr, "udp_echo: send failed: %s\n", uv_strerror(status));
  uv_close(reinterpret_cast<uv_handle_t*>(&answer->timer), &FreeAnswerAfterTimer);
}

void SendAnswer(Answer* answer) {
  answer->buffer = uv_buf_init(answer->bytes.data(), static_cast<unsigned>(answer->bytes.size()));
  answer->request.data = answer;
  const int status = uv_udp_send(&answer->request, answer->from, &answer->buffer, 1,
                                 reinterpret_cast<const sockaddr*>(&answer->to), &OnAnswerSent);
  if (status != 0) {
    std::fprintf(stderr, "udp_echo: send failed: %s\n", uv_strerror(status));
    uv_close(reinterpret_cast<uv_handle_t*>(&answer->timer), &FreeAnswerAfterTimer);
  }
}

void OnAnswerDue(uv_timer_t* timer) {
  // The timer only gets close: it counts whole milliseconds of a cached
  // clock and Wine wakes it up to 2 ms late, which a benchmark of the
  // client's accuracy would read as the client's error. The last stretch is
  // waited out on the high-resolution clock.
  auto* answer = static_cast<Answer*>(timer->data);
  while (uv_hrtime() < answer->dueNs) ::SwitchToThread();
  SendAnswer(answer);
}

void Reply(uv_udp_t* from, const sockaddr* to, std::string bytes) {
  auto* answer = new Answer{};
  answer->from = from;
  std::memcpy(&answer->to, to, to->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
  answer->bytes = std::move(bytes);
  uv_timer_init(loop, &answer->timer);
  answer->timer.data = answer;
  if (options.delayMs == 0) {
    SendAnswer(answer);
  } else {
    answer->dueNs = uv_hrtime() + options.delayMs * 1000000;
    uv_timer_start(&answer->timer, &OnAnswerDue, options.delayMs > 2 ? options.delayMs - 2 : 0, 0);
  }
}

void OnAlloc(uv_handle_t*, size_t suggested, uv_buf_t* buffer) {
  buffer->base = static_cast<char*>(std::malloc(suggested));
  buffer->len = buffer->base ? static_cast<decltype(buffer->len)>(suggested) : 0;
}

void OnRead(uv_udp_t* handle, ssize_t nread, const uv_buf_t* buffer, const sockaddr* address, unsigned) {
  auto* socket = static_cast<Socket*>(handle->data);
  constexpr std::size_t kStatsSize = sizeof(kStatsQuery) - 1;
  if (nread == static_cast<ssize_t>(kStatsSize) && address && std::memcmp(buffer->base, kStatsQuery, kStatsSize) == 0) {
    Reply(&socket->handle, address,
          "received " + std::to_string(receivedTotal) + " answered " + std::to_string(answeredTotal));
  } else if (nread >= 0 && address) {
    ++receivedTotal;
    const uint64_t n = ++socket->received;
    const bool dropped = std::floor(n * options.drop) > std::floor((n - 1) * options.drop);
    if (!dropped) {
      std::string bytes(buffer->base, static_cast<size_t>(nread));
      if (options.truncate && bytes.size() > 7) bytes.resize(7);
      if (options.extend) bytes.push_back('\0');
      Reply(socket->answerFrom, address, bytes);
      ++answeredTotal;
      if (options.duplicate) Reply(socket->answerFrom, address, bytes);
    }
  }
  if (buffer && buffer->base) std::free(buffer->base);
}

bool Bind(uv_udp_t* handle, int* port) {
  sockaddr_storage any{};
  if (options.ipv6) {
    uv_ip6_addr("::1", 0, reinterpret_cast<sockaddr_in6*>(&any));
  } else {
    uv_ip4_addr("127.0.0.1", 0, reinterpret_cast<sockaddr_in*>(&any));
  }
  int status = uv_udp_init(loop, handle);
  if (status == 0) status = uv_udp_bind(handle, reinterpret_cast<const sockaddr*>(&any), 0);
  if (status != 0) {
    std::fprintf(stderr, "udp_echo: bind failed: %s\n", uv_strerror(status));
    return false;
  }
  sockaddr_storage bound{};
  int length = sizeof(bound);
  uv_udp_getsockname(handle, reinterpret_cast<sockaddr*>(&bound), &length);
  *port = ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  return true;
}

bool ParseOptions(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--sockets" && hasValue) {
      options.sockets = std::atoi(argv[++i]);
    } else if (arg == "--delay-ms" && hasValue) {
      options.delayMs = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--drop" && hasValue) {
      options.drop = std::atof(argv[++i]);
    } else if (arg == "--duplicate") {
      options.duplicate = true;
    } else if (arg == "--truncate") {
      options.truncate = true;
    } else if (arg == "--extend") {
      options.extend = true;
    } else if (arg == "--other-port") {
      options.otherPort = true;
    } else if (arg == "--ipv6") {
      options.ipv6 = true;
    } else {
      std::fprintf(stderr, "udp_echo: unknown option %s\n", arg.c_str());
      return false;
    }
  }
  return options.sockets > 0 && options.drop >= 0.0 && options.drop <= 1.0;
}

}  // namespace

int main(int argc, char** argv) {
  if (!ParseOptions(argc, argv)) return 2;
  loop = uv_default_loop();

  std::vector<Socket*> sockets;
  for (int i = 0; i < options.sockets; ++i) {
    auto* socket = new Socket{};
    socket->handle.data = socket;
    socket->answerFrom = &socket->handle;
    int port = 0;
    if (!Bind(&socket->handle, &port)) return 1;
    if (options.otherPort) {
      auto* partner = new uv_udp_t{};
      int partnerPort = 0;
      if (!Bind(partner, &partnerPort)) return 1;
      socket->answerFrom = partner;
    }
    const int status = uv_udp_recv_start(&socket->handle, &OnAlloc, &OnRead);
    if (status != 0) {
      std::fprintf(stderr, "udp_echo: receive failed: %s\n", uv_strerror(status));
      return 1;
    }
    sockets.push_back(socket);
    std::printf("%d\n", port);
  }
  std::printf("ready\n");
  std::fflush(stdout);

  // The parent closing our input is the signal to go.
  std::thread([] {
    while (std::getchar() != EOF) {
    }
    std::_Exit(0);
  }).detach();

  return uv_run(loop, UV_RUN_DEFAULT);
}
