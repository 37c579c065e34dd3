// Tests whether one server answers HTTP the expected way.
//
// A plain "GET" of protocol://host:port runs on a libuv work-pool thread
// (HttpClient, blocking); the server counts as reachable when the header
// block holds "HTTP/1.1 400" and the body "ERR_INVALID_URL", both ignoring
// letter case. The outcome comes back on the loop thread and is reported
// once to the delegate: the status the page gave the server, or "MAINTAIN".
//
//   auto test = std::make_shared<HttpConnectivity>(loop, "http://10.0.0.1:80", "jp-1",
//                                                  "Tokyo", "ONLINE", delegate);
//   if (test->Start()) running.emplace("jp-1", test);
//   // else: it has already reported "MAINTAIN" (the work could not be queued)
//
// Lifetime: a test must be owned by a std::shared_ptr. Destroying it before
// it reported cancels its request when that still waits in the pool's queue,
// and otherwise abandons it: the pool thread never touches the test (its
// outcome goes into the work request's own context), and the completion on
// the loop thread finds the test gone and reports nothing. Either way the
// loop must run until the request has completed, as the IoLoop does when it
// stops.
//
// Thread: the loop thread, except the request itself.
#pragma once

#include <memory>
#include <string>

#include <uv.h>

namespace halyx {

class ConnectTaskDelegate;

class HttpConnectivity : public std::enable_shared_from_this<HttpConnectivity> {
 public:
  static constexpr const char* kUnreachableStatus = "MAINTAIN";

  HttpConnectivity(uv_loop_t* loop, const std::string& url, const std::string& name, const std::string& title,
                   const std::string& status, ConnectTaskDelegate* delegate);
  HttpConnectivity(const HttpConnectivity&) = delete;
  HttpConnectivity& operator=(const HttpConnectivity&) = delete;
  ~HttpConnectivity();

  // Queues the request. False when it could not be queued; the test has
  // then already reported "MAINTAIN".
  bool Start();

  // True from the moment the test reports, so that a delegate holding
  // several tests of one name can tell which one it heard from.
  bool finished() const { return finished_; }

 private:
  struct Context;

  static void Work(uv_work_t* request);
  static void AfterWork(uv_work_t* request, int status);
  void Finish(bool ok);

  uv_loop_t* loop_;
  uv_work_t* work_ = nullptr;  // queued or running; null otherwise
  std::string url_;
  std::string name_;
  std::string title_;
  std::string status_;
  bool started_ = false;
  bool finished_ = false;
  ConnectTaskDelegate* delegate_;  // not owned
};

}  // namespace halyx
