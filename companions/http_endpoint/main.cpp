// Stand-in for the HTTP endpoint of the measured servers: answers every
// request with "HTTP/1.1 400 Bad Request" and an error page that holds
// "ERR_INVALID_URL", as a reachable server does, with variants to order for
// tests and demonstrations.
//
//   http_endpoint [--ports N] [--port P]... [--status CODE] [--lower-case]
//                 [--body TEXT] [--charset NAME|none] [--non-ascii] [--split]
//                 [--delay-ms MS] [--close] [--pad BYTES] [--trickle-ms MS]
//                 [--location URL] [--body-file PATH] [--cut BYTES]
//
// Listens on 127.0.0.1 at N ephemeral ports (default 1, unless ports are
// given) and at each port given with --port, prints every port on a line of
// its own, then "ready", and answers until its standard input closes (the
// parent went away) or it is killed.
//
//   --status CODE    answer with this status instead of 400
//   --lower-case     write the marker as "err_invalid_url"
//   --body TEXT      answer with exactly this body ("" for none)
//   --charset NAME   the Content-Type's charset (default UTF-8); none: leave
//                    the charset out
//   --non-ascii      append "Zürich – 東京" in UTF-8 to the body
//   --split          send the body in two writes 100 ms apart, cut inside
//                    the body's first multi-byte character
//   --delay-ms MS    answer MS milliseconds after the request came in
//   --close          close the connection without answering
//   --pad BYTES      append that many bytes of filler to the body
//   --trickle-ms MS  send the head, then the body one byte every MS
//                    milliseconds, announcing a body that never ends; with
//                    --body or --body-file, that body a KiB every MS
//                    milliseconds, then close (a slow download)
//   --location URL   add a Location header (with --status 302, a redirect)
//   --body-file PATH answer with the bytes of this file (a download)
//   --cut BYTES      announce the whole body but send only its first BYTES,
//                    then close (a download that breaks off)
//
// GET /stats answers, at once and whatever the variant, with the figures so
// far, not counting itself: {"requests":N,"maxConcurrent":M,"last":"<the last
// request head>"}. A request is concurrent from the end of its head until its
// connection closes.
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>
#include <uv.h>

namespace {

constexpr std::size_t kMaxHead = 16 * 1024;
constexpr uint64_t kSplitPauseMs = 100;
constexpr char kNonAscii[] = "Z\xC3\xBCrich \xE2\x80\x93 \xE6\x9D\xB1\xE4\xBA\xAC";

struct Options {
  int ephemeralPorts = -1;  // -1: one, unless ports are given
  std::vector<int> givenPorts;
  int status = 400;
  bool lowerCase = false;
  bool hasBody = false;
  std::string location;
  std::string body;
  std::string charset = "UTF-8";
  bool nonAscii = false;
  bool split = false;
  uint64_t delayMs = 0;
  bool close = false;
  std::size_t pad = 0;
  uint64_t trickleMs = 0;
  std::size_t cut = 0;
  bool hasCut = false;
};

Options options;
uv_loop_t* loop = nullptr;

int requests = 0;
int concurrent = 0;
int maxConcurrent = 0;
std::string lastHead;

// One accepted connection; freed once both of its handles have closed.
struct Connection {
  uv_tcp_t tcp{};
  uv_timer_t timer{};
  int handlesOpen = 2;
  bool closing = false;
  bool counted = false;
  bool answered = false;
  std::string received;
  std::string tail;  // the second write of a split answer
  std::size_t trickled = 0;
};

// One write in flight, owning its bytes.
struct Write {
  uv_write_t request{};
  std::string bytes;
  Connection* connection = nullptr;
  bool last = false;
};

void OnHandleClosed(uv_handle_t* handle) {
  auto* connection = static_cast<Connection*>(handle->data);
  if (--connection->handlesOpen == 0) delete connection;
}

void Close(Connection* connection) {
  if (connection->closing) return;
  connection->closing = true;
  if (connection->counted) --concurrent;
  uv_close(reinterpret_cast<uv_handle_t*>(&connection->timer), &OnHandleClosed);
  uv_close(reinterpret_cast<uv_handle_t*>(&connection->tcp), &OnHandleClosed);
}

void OnSplitDue(uv_timer_t* timer);
void OnTrickleDue(uv_timer_t* timer);

void OnWritten(uv_write_t* request, int status) {
  auto* write = static_cast<Write*>(request->data);
  Connection* connection = write->connection;
  if (status != 0 || write->last) {
    Close(connection);
  } else if (options.trickleMs != 0) {
    uv_timer_start(&connection->timer, &OnTrickleDue, options.trickleMs, 0);
  } else {
    uv_timer_start(&connection->timer, &OnSplitDue, kSplitPauseMs, 0);
  }
  delete write;
}

void Send(Connection* connection, std::string bytes, bool last) {
  if (connection->closing) return;
  auto* write = new Write{};
  write->bytes = std::move(bytes);
  write->connection = connection;
  write->last = last;
  write->request.data = write;
  uv_buf_t buffer = uv_buf_init(write->bytes.data(), static_cast<unsigned>(write->bytes.size()));
  if (uv_write(&write->request, reinterpret_cast<uv_stream_t*>(&connection->tcp), &buffer, 1, &OnWritten) != 0) {
    delete write;
    Close(connection);
  }
}

void OnSplitDue(uv_timer_t* timer) {
  auto* connection = static_cast<Connection*>(timer->data);
  Send(connection, std::move(connection->tail), true);
}

// The next byte of the body given, or of a body that never ends: the
// page's text over and over.
void OnTrickleDue(uv_timer_t* timer) {
  auto* connection = static_cast<Connection*>(timer->data);
  if (options.hasBody) {
    constexpr std::size_t kStep = 1024;
    const std::size_t at = connection->trickled;
    connection->trickled += kStep;
    if (at < options.body.size()) Send(connection, options.body.substr(at, kStep), at + kStep >= options.body.size());
    return;
  }
  static const std::string kFiller = "<p>ERR_INVALID_URL</p>";
  Send(connection, std::string(1, kFiller[connection->trickled++ % kFiller.size()]), false);
}

const char* Reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 302:
      return "Found";
    case 400:
      return "Bad Request";
    case 404:
      return "Not Found";
    case 500:
      return "Internal Server Error";
    default:
      return "Unknown";
  }
}

std::string Body() {
  std::string body = options.hasBody
                         ? options.body
                         : std::string("<html><head><title>") + std::to_string(options.status) + " " +
                               Reason(options.status) + "</title></head><body><p>" +
                               (options.lowerCase ? "err_invalid_url" : "ERR_INVALID_URL") + "</p></body></html>";
  if (options.nonAscii) body += kNonAscii;
  body.append(options.pad, 'x');
  return body;
}

std::string Head(int status, const std::string& contentType, std::size_t length) {
  return "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) +
         "\r\nServer: http_endpoint\r\nContent-Type: " + contentType + "\r\nContent-Length: " + std::to_string(length) +
         (options.location.empty() ? std::string() : "\r\nLocation: " + options.location) +
         "\r\nConnection: close\r\n\r\n";
}

void Answer(Connection* connection) {
  if (connection->closing || connection->answered) return;
  connection->answered = true;
  if (options.close) {
    Close(connection);
    return;
  }
  const std::string body = Body();
  std::string contentType = "text/html";
  if (options.charset != "none") contentType += "; charset=" + options.charset;
  if (options.trickleMs != 0) {
    constexpr std::size_t kEndless = std::size_t(1) << 30;
    const bool given = options.hasBody;
    Send(connection, Head(options.status, contentType, given ? options.body.size() : kEndless),
         given && options.body.empty());
    return;
  }
  if (options.hasCut) {
    Send(connection, Head(options.status, contentType, body.size()) + body.substr(0, options.cut), true);
    return;
  }
  std::string answer = Head(options.status, contentType, body.size()) + body;
  if (!options.split) {
    Send(connection, std::move(answer), true);
    return;
  }
  // Cut after the first byte of the first multi-byte character, or in the
  // middle when there is none.
  const std::size_t headSize = answer.size() - body.size();
  std::size_t cut = body.size() / 2;
  for (std::size_t i = 0; i < body.size(); ++i) {
    if (static_cast<unsigned char>(body[i]) >= 0xC0) {
      cut = i + 1;
      break;
    }
  }
  connection->tail = answer.substr(headSize + cut);
  answer.resize(headSize + cut);
  Send(connection, std::move(answer), false);
}

void OnAnswerDue(uv_timer_t* timer) { Answer(static_cast<Connection*>(timer->data)); }

void AnswerStats(Connection* connection) {
  connection->answered = true;
  const std::string body =
      nlohmann::json{{"requests", requests}, {"maxConcurrent", maxConcurrent}, {"last", lastHead}}.dump();
  Send(connection, Head(200, "application/json; charset=UTF-8", body.size()) + body, true);
}

void OnHead(Connection* connection, const std::string& head) {
  if (head.rfind("GET /stats ", 0) == 0) {
    AnswerStats(connection);
    return;
  }
  ++requests;
  lastHead = head;
  connection->counted = true;
  maxConcurrent = std::max(maxConcurrent, ++concurrent);
  if (options.delayMs == 0) {
    Answer(connection);
  } else {
    uv_timer_start(&connection->timer, &OnAnswerDue, options.delayMs, 0);
  }
}

void OnAlloc(uv_handle_t*, size_t suggested, uv_buf_t* buffer) {
  buffer->base = static_cast<char*>(std::malloc(suggested));
  buffer->len = buffer->base ? static_cast<decltype(buffer->len)>(suggested) : 0;
}

void OnRead(uv_stream_t* stream, ssize_t nread, const uv_buf_t* buffer) {
  auto* connection = static_cast<Connection*>(stream->data);
  if (nread < 0) {
    // The peer went away (or closed its side after its request).
    if (nread != UV_EOF || !connection->counted) Close(connection);
  } else if (nread > 0 && !connection->counted && !connection->answered) {
    connection->received.append(buffer->base, static_cast<size_t>(nread));
    const std::size_t end = connection->received.find("\r\n\r\n");
    if (end != std::string::npos) {
      OnHead(connection, connection->received.substr(0, end));
    } else if (connection->received.size() > kMaxHead || static_cast<unsigned char>(connection->received[0]) == 0x16) {
      // Not HTTP: too long a head, or a TLS handshake.
      Close(connection);
    }
  }
  if (buffer && buffer->base) std::free(buffer->base);
}

void OnConnection(uv_stream_t* server, int status) {
  if (status != 0) return;
  auto* connection = new Connection{};
  connection->tcp.data = connection;
  connection->timer.data = connection;
  uv_tcp_init(loop, &connection->tcp);
  uv_timer_init(loop, &connection->timer);
  if (uv_accept(server, reinterpret_cast<uv_stream_t*>(&connection->tcp)) != 0 ||
      uv_read_start(reinterpret_cast<uv_stream_t*>(&connection->tcp), &OnAlloc, &OnRead) != 0) {
    Close(connection);
  }
}

bool Listen(int port, int* bound) {
  auto* server = new uv_tcp_t{};
  sockaddr_in address{};
  uv_ip4_addr("127.0.0.1", port, &address);
  int status = uv_tcp_init(loop, server);
  if (status == 0) status = uv_tcp_bind(server, reinterpret_cast<const sockaddr*>(&address), 0);
  if (status == 0) status = uv_listen(reinterpret_cast<uv_stream_t*>(server), 128, &OnConnection);
  if (status != 0) {
    std::fprintf(stderr, "http_endpoint: listening at port %d failed: %s\n", port, uv_strerror(status));
    return false;
  }
  sockaddr_storage name{};
  int length = sizeof(name);
  uv_tcp_getsockname(server, reinterpret_cast<sockaddr*>(&name), &length);
  *bound = ntohs(reinterpret_cast<sockaddr_in*>(&name)->sin_port);
  return true;
}

bool ParseOptions(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--ports" && hasValue) {
      options.ephemeralPorts = std::atoi(argv[++i]);
    } else if (arg == "--port" && hasValue) {
      options.givenPorts.push_back(std::atoi(argv[++i]));
    } else if (arg == "--status" && hasValue) {
      options.status = std::atoi(argv[++i]);
    } else if (arg == "--lower-case") {
      options.lowerCase = true;
    } else if (arg == "--body" && hasValue) {
      options.hasBody = true;
      options.body = argv[++i];
    } else if (arg == "--body-file" && hasValue) {
      FILE* file = std::fopen(argv[++i], "rb");
      if (file == nullptr) {
        std::fprintf(stderr, "http_endpoint: cannot read %s\n", argv[i]);
        return false;
      }
      options.hasBody = true;
      options.body.clear();
      char chunk[65536];
      std::size_t read = 0;
      while ((read = std::fread(chunk, 1, sizeof(chunk), file)) > 0) options.body.append(chunk, read);
      std::fclose(file);
    } else if (arg == "--cut" && hasValue) {
      options.hasCut = true;
      options.cut = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--location" && hasValue) {
      options.location = argv[++i];
    } else if (arg == "--charset" && hasValue) {
      options.charset = argv[++i];
    } else if (arg == "--non-ascii") {
      options.nonAscii = true;
    } else if (arg == "--split") {
      options.split = true;
    } else if (arg == "--delay-ms" && hasValue) {
      options.delayMs = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--close") {
      options.close = true;
    } else if (arg == "--pad" && hasValue) {
      options.pad = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--trickle-ms" && hasValue) {
      options.trickleMs = std::strtoull(argv[++i], nullptr, 10);
    } else {
      std::fprintf(stderr, "http_endpoint: unknown option %s\n", arg.c_str());
      return false;
    }
  }
  if (options.ephemeralPorts < 0) options.ephemeralPorts = options.givenPorts.empty() ? 1 : 0;
  return options.status >= 100 && options.status <= 999;
}

}  // namespace

int main(int argc, char** argv) {
  if (!ParseOptions(argc, argv)) return 2;
  loop = uv_default_loop();

  std::vector<int> ports = options.givenPorts;
  ports.insert(ports.end(), static_cast<std::size_t>(options.ephemeralPorts), 0);
  for (int port : ports) {
    int bound = 0;
    if (!Listen(port, &bound)) return 1;
    std::printf("%d\n", bound);
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
