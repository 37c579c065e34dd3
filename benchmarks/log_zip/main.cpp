// log_zip: how long the log zipper takes over a full set of logs and how
// small the archive gets.
//
//   scripts/bench.sh log_zip [folder]
//
// Writes three client logs and two service logs of 20 MiB each of realistic
// log text (CR LF line ends, as the loggers write them on Windows) into
// <folder>\client and <folder>\service unless they are there already, zips
// them with LogZipper, prints the time and the sizes, and leaves the archive
// as <folder>\quor.zip. benchmarks/log_zip/compare.sh runs this and the
// host's "zip -9" on the same files and prints both side by side.
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "diag/log_zipper.h"

namespace {

constexpr std::size_t kLogSize = 20u << 20;

class Random {
 public:
  explicit Random(uint32_t seed) : state_(seed) {}
  uint32_t Next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_;
  }
  uint32_t Below(uint32_t n) { return Next() % n; }

 private:
  uint32_t state_;
};

std::string Timestamp(uint64_t ms, bool iso) {
  char text[40];
  const unsigned s = static_cast<unsigned>(ms / 1000);
  std::snprintf(text, sizeof(text), iso ? "2026-12-%02uT%02u:%02u:%02u.%03uZ" : "[2026-12-%02u %02u:%02u:%02u.%03u]",
                1 + s / 86400 % 28, s / 3600 % 24, s / 60 % 60, s % 60, static_cast<unsigned>(ms % 1000));
  return text;
}

std::string Address(Random& r) {
  return std::to_string(r.Below(223) + 1) + "." + std::to_string(r.Below(256)) + "." + std::to_string(r.Below(256)) +
         "." + std::to_string(r.Below(254) + 1);
}

// Lines in the shape of the client's log: spdlog's pattern, component
// prefixes, numbers, addresses and JSON that the page and service exchange.
std::string ClientLine(Random& r, uint64_t ms) {
  static const char* const kLevels[] = {"info", "info", "info", "warning", "error"};
  static const char* const kRegions[] = {"HK", "JP", "SG", "US-West", "DE", "UK", "KR"};
  std::string line = Timestamp(ms, false) + " [QUOR] [" + kLevels[r.Below(5)] + "] ";
  switch (r.Below(8)) {
    case 0:
      line += "TunnelManager: QueryTunnel state " + std::to_string(r.Below(4));
      break;
    case 1:
      line += "IpcClient: received {\"type\":\"RespQueryTunnel\",\"state\":" + std::to_string(r.Below(4)) +
              ",\"rx\":" + std::to_string(r.Next()) + ",\"tx\":" + std::to_string(r.Next() % 100000000) + "}";
      break;
    case 2:
      line += "LatencyBenchmark: " + std::string(kRegions[r.Below(7)]) + " " + std::to_string(r.Below(9) + 1) + " " +
              Address(r) + ":" + std::to_string(r.Below(20000) + 10000) + " lag " + std::to_string(r.Below(300)) +
              " ms loss " + std::to_string(r.Below(100) / 100.0).substr(0, 4);
      break;
    case 3:
      line += "ConnectivityWatcher: GET https://cdn" + std::to_string(r.Below(40)) + ".example.net/ping -> " +
              std::to_string(r.Below(5) ? 200 : 504);
      break;
    case 4:
      line += "AsyncNamedPipe: ReadFile failed (" + std::to_string(r.Below(3) ? 0x6d : 0xe8) + ")";
      break;
    case 5:
      line += "<JS>: route table refreshed in " + std::to_string(r.Below(900)) + " ms";
      break;
    case 6:
      line += "BenchmarkWatcher: resolved " + std::to_string(r.Below(60)) + " hosts";
      break;
    default:
      line += "HalyxDispatch: SetAdInfo id " + std::to_string(r.Next() % 100000);
      break;
  }
  return line + "\r\n";
}

// Lines in the shape of a tunnel service's log.
std::string ServiceLine(Random& r, uint64_t ms) {
  static const char* const kLevels[] = {"INFO", "INFO", "DEBUG", "WARN"};
  std::string line = Timestamp(ms, true) + " " + kLevels[r.Below(4)] + " ";
  switch (r.Below(5)) {
    case 0:
      line += "tunnel: handshake with " + Address(r) + ":443 completed in " + std::to_string(r.Below(400)) + " ms";
      break;
    case 1:
      line += "route: add " + Address(r) + "/" + std::to_string(r.Below(17) + 16) + " via wintun0 metric 5";
      break;
    case 2:
      line += "stats: rx=" + std::to_string(r.Next()) + " tx=" + std::to_string(r.Next()) +
              " sessions=" + std::to_string(r.Below(50));
      break;
    case 3:
      line += "pipe: request {\"type\":\"QueryTunnel\"} from pid " + std::to_string(r.Below(30000));
      break;
    default:
      line += "dns: " + std::to_string(r.Below(30)) + " queries forwarded, " + std::to_string(r.Below(3)) + " failed";
      break;
  }
  return line + "\r\n";
}

bool MakeLog(const std::string& path, bool service, uint32_t seed) {
  if (::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
  Random r(seed);
  std::string text;
  text.reserve(kLogSize + 512);
  uint64_t ms = 1000ull * 3600 * 24 * seed;
  while (text.size() < kLogSize) {
    ms += r.Below(2000);
    text += service ? ServiceLine(r, ms) : ClientLine(r, ms);
  }
  text.resize(kLogSize);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  std::string folder;
  if (argc > 1) {
    folder = argv[1];
  } else {
    char temp[MAX_PATH + 1] = {};
    ::GetTempPathA(MAX_PATH + 1, temp);
    folder = std::string(temp) + "quor-logzip-bench";
  }
  const std::string client = folder + "\\client";
  const std::string service = folder + "\\service";
  for (const std::string& f : {folder, client, service}) ::CreateDirectoryA(f.c_str(), nullptr);
  const char* clientLogs[] = {"quorvpn.log", "quorvpn.1.log", "quorvpn.2.log"};
  const char* serviceLogs[] = {"quor-svc.log", "quor-svc.1.log"};
  uint32_t seed = 1;
  for (const char* name : clientLogs) {
    if (!MakeLog(client + "\\" + name, false, seed++)) return std::fprintf(stderr, "cannot write %s\n", name), 1;
  }
  for (const char* name : serviceLogs) {
    if (!MakeLog(service + "\\" + name, true, seed++)) return std::fprintf(stderr, "cannot write %s\n", name), 1;
  }

  halyx::LogZipper::Folders folders;
  folders.client = client;
  folders.service = service;
  const halyx::LogZipper zipper(folders);
  std::vector<uint8_t> archive;
  const auto start = std::chrono::steady_clock::now();
  try {
    zipper.Zip(archive, "");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "zip failed: %s\n", e.what());
    return 1;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  std::FILE* out = std::fopen((folder + "\\quor.zip").c_str(), "wb");
  if (out != nullptr) {
    std::fwrite(archive.data(), 1, archive.size(), out);
    std::fclose(out);
  }
  const double input = 5.0 * kLogSize;
  std::printf("log_zip: 5 logs, %.0f MiB of CR LF text\n", input / (1 << 20));
  std::printf("LogZipper   %8.2f s  %7.1f MiB/s  archive %10zu bytes  (%.2f%% of input)\n", seconds,
              input / (1 << 20) / seconds, archive.size(), 100.0 * archive.size() / input);
  return 0;
}
