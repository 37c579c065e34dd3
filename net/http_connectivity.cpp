#include "net/http_connectivity.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cwctype>
#include <exception>
#include <utility>

#include <spdlog/spdlog.h>

#include "net/connect_task_delegate.h"
#include "net/http_client.h"
#include "base/guard.h"
#include "base/utf8.h"

namespace halyx {

// What the work request carries: it owns its own copy of the url and the
// outcome, and reaches the test only weakly, on the loop thread. The pool
// thread touches nothing else, so a test destroyed while its request runs
// is never written to.
struct HttpConnectivity::Context {
  std::weak_ptr<HttpConnectivity> test;
  std::string url;
  std::atomic<bool> ok{false};
};

namespace {

bool ContainsIgnoringCase(const std::wstring& text, const std::wstring& part) {
  const auto same = [](wchar_t a, wchar_t b) { return std::towlower(a) == std::towlower(b); };
  return std::search(text.begin(), text.end(), part.begin(), part.end(), same) != text.end();
}

}  // namespace

HttpConnectivity::HttpConnectivity(uv_loop_t* loop, const std::string& url, const std::string& name,
                                   const std::string& title, const std::string& status, ConnectTaskDelegate* delegate)
    : loop_(loop), url_(url), name_(name), title_(title), status_(status), delegate_(delegate) {}

HttpConnectivity::~HttpConnectivity() {
  // Succeeds only while the request waits in the queue; one already running
  // completes later and finds this test gone.
  if (work_) uv_cancel(reinterpret_cast<uv_req_t*>(work_));
}

bool HttpConnectivity::Start() {
  if (started_) {
    spdlog::error("HttpConnectivity: already started");
    return false;
  }
  started_ = true;
  auto* context = new Context{weak_from_this(), url_};
  work_ = new uv_work_t{};
  work_->data = context;
  const int status = uv_queue_work(loop_, work_, &HttpConnectivity::Work, &HttpConnectivity::AfterWork);
  if (status != 0) {
    spdlog::warn("HttpConnectivity queue work failed: {}", uv_strerror(status));
    delete context;
    delete work_;
    work_ = nullptr;
    Finish(false);
    return false;
  }
  return true;
}

void HttpConnectivity::Work(uv_work_t* request) {
  auto* context = static_cast<Context*>(request->data);
  if (!context) return;
  const bool ok = Guarded("HttpConnectivity: request to " + context->url, false, [&] {
    HttpClient client(context->url);
    if (!client.Request(L"GET")) {
      spdlog::warn("HttpConnectivity: failed to fetch {}", context->url);
      return false;
    }
    const bool answered = ContainsIgnoringCase(client.headers(), L"HTTP/1.1 400") &&
                          ContainsIgnoringCase(client.body(), L"ERR_INVALID_URL");
    if (!answered) spdlog::warn("HttpConnectivity: no server found: {}", WideToUtf8(client.headers()));
    return answered;
  });
  context->ok.store(ok);
}

void HttpConnectivity::AfterWork(uv_work_t* request, int status) {
  std::unique_ptr<Context> context(static_cast<Context*>(request->data));
  std::unique_ptr<uv_work_t> owned(request);
  // Cancelled: the test was destroyed while its request still waited.
  if (status == UV_ECANCELED || !context) return;
  // Gone while its request ran: nobody to report to.
  std::shared_ptr<HttpConnectivity> test = context->test.lock();
  if (!test) return;
  Guarded("HttpConnectivity: reporting " + test->name_, [&] {
    test->started_ = false;
    test->work_ = nullptr;
    test->Finish(context->ok.load());
  });
}

void HttpConnectivity::Finish(bool ok) {
  spdlog::warn("HttpConnectivity: test {} {}", name_, ok ? "ok" : "failed");
  if (!ok) status_ = kUnreachableStatus;
  finished_ = true;
  // The delegate may destroy this test: nothing of it is touched afterwards.
  if (delegate_) delegate_->OnConnectResult(name_, title_, status_);
}

}  // namespace halyx
