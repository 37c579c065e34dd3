// The stand-in service's end of the service-control pipe.
//
// Creates the pipe (first instance only, local clients only, open to SYSTEM
// and Administrators), serves one client at a time and then the next, and
// answers as the real service does: StartTunnel, StopTunnel, QueryTunnel and
// SetConfig get a response of the same type; LoadConfig, StartTracing and
// StopTracing are taken without an answer. It keeps the tunnel's state
// (running, config path, outbound mode) across clients and carries no
// traffic. The faults of its options are shown to every client.
//
// Thread: Run() blocks its caller until `stop` is signalled.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/unique_handle.h"
#include "stand_in_options.h"

namespace halyx::standin {

class ControlServer {
 public:
  // Result of SetConfig when the config file cannot be opened for reading.
  static constexpr int kConfigUnreadable = 201;
  // Largest request accepted; a client announcing more is dropped.
  static constexpr uint32_t kMaxRequest = 65532;

  explicit ControlServer(const StandInOptions& options) : options_(options) {}

  // Creates the pipe; false after one log line (e.g. the name is taken).
  bool Create();
  // Serves clients until `stop` is signalled.
  void Run(HANDLE stop);

 private:
  enum class Wait { kReady, kStop, kTimeout, kFailed };

  Wait WaitFor(OVERLAPPED& overlapped, HANDLE stop, DWORD timeoutMs);
  void Serve(HANDLE stop);
  // False when the client is to be dropped.
  bool Handle(const std::string& payload);
  nlohmann::json Answer(const nlohmann::json& request, bool& answered);
  bool SendAnswer(const std::string& payload);
  bool WriteAll(const std::string& bytes);

  StandInOptions options_;
  FileHandle pipe_;
  EventHandle ioEvent_;
  EventHandle writeEvent_;
  int requests_ = 0;

  // The tunnel's state.
  bool running_ = false;
  std::string config_;
};

}  // namespace halyx::standin
