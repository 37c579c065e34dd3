// Receiver of the result of one HttpConnectivity test.
//
// Thread: the loop thread.
#pragma once

#include <string>

namespace halyx {

class ConnectTaskDelegate {
 public:
  // The outcome of one test: the status the page gave the server when it
  // answered as expected, "MAINTAIN" otherwise. The receiver may destroy the
  // calling HttpConnectivity from inside this call.
  virtual void OnConnectResult(const std::string& name, const std::string& title, const std::string& status) = 0;

 protected:
  ~ConnectTaskDelegate() = default;
};

}  // namespace halyx
