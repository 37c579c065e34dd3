// What the stand-in tunnel service is told on its command line: its names,
// its initial state and the faults it is to show a client.
//
// Thread: any; plain values.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace halyx::standin {

struct StandInOptions {
  std::wstring serviceName = L"QuorTunnel";
  std::string pipeName = R"(\\.\pipe\QuorVPN\ServiceControl)";
  std::wstring logDirectory;  // empty: "QuorVPN\log" under the all-users folder
  std::string outbound = "auto";

  // Service behaviour.
  bool noPipe = false;                     // runs without ever creating the pipe
  bool stuckStart = false;                 // stays in START_PENDING
  bool stuckStop = false;                  // stays in STOP_PENDING once asked to stop
  DWORD startType = SERVICE_DEMAND_START;  // for "install"

  // Faults shown to a client.
  bool split = false;       // each answer in two writes, 50 ms apart
  bool merge = false;       // a SetOutboundMode frame in the same write as each answer
  bool malformed = false;   // answers carry a payload that is not JSON
  bool oversized = false;   // answers announce a 4 GiB payload
  DWORD delayMs = 0;        // before each answer
  DWORD startDelayMs = 0;   // before the answer to StartTunnel only (a visible "connecting")
  int failStart = 0;        // StartTunnel answered with this result, the tunnel left down (0: never)
  int dropAfter = 0;        // drop the client after this many requests (0: never)
  DWORD pushEveryMs = 0;    // push a SetOutboundMode frame this often (0: never)
  std::size_t padding = 0;  // bytes of an extra "padding" member in each answer

  // The arguments that reproduce these options (for the service's command
  // line at install time).
  std::wstring ToArguments() const;
};

// Parses `args` (after the command word). False, with `error` set, on an
// unknown or incomplete option.
bool ParseOptions(const std::vector<std::wstring>& args, StandInOptions& options, std::wstring& error);

std::string Narrow(const std::wstring& text);

}  // namespace halyx::standin
