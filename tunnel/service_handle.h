// One service opened through the service control manager: the manager's
// handle and the service's, closed together.
//
//   ServiceHandle dns;
//   if (!dns.Open("DnsCache", SERVICE_QUERY_STATUS | SERVICE_START)) return false;
//   if (dns.WaitState() != SERVICE_RUNNING) dns.Start();
//
// Lives on the stack of one procedure and is never shared.
//
// Thread: GUI thread (its waits block it).
#pragma once

#include <windows.h>
#include <winsvc.h>

#include <string>

#include "base/unique_handle.h"

namespace halyx {

class ServiceHandle {
 public:
  // Polls of WaitState(), 100 ms apart: a pending state is given up on after
  // about ten seconds.
  static constexpr int kMaxStateReads = 100;
  static constexpr DWORD kPollIntervalMs = 100;

  ServiceHandle() = default;
  ServiceHandle(const ServiceHandle&) = delete;
  ServiceHandle& operator=(const ServiceHandle&) = delete;
  ~ServiceHandle();

  // Connects to the local service control manager and opens `name` with
  // `access`. False after one error line.
  bool Open(const std::string& name, DWORD access);

  // The current state once it is no longer START_PENDING or STOP_PENDING,
  // read at most kMaxStateReads times (the last read is returned whatever it
  // is); 0 when the state cannot be read.
  DWORD WaitState();

  // Starts a service that is neither running nor unreadable and waits for
  // it; true when it then reports SERVICE_RUNNING.
  bool Start();

  // The id of the service's process while it runs; 0 when it is not running
  // or cannot be queried (needs SERVICE_QUERY_STATUS).
  DWORD ProcessId();

  SC_HANDLE manager() const { return manager_.get(); }
  SC_HANDLE service() const { return service_.get(); }

 private:
  bool QueryState(DWORD& state);

  ScHandle manager_;
  ScHandle service_;
};

}  // namespace halyx
