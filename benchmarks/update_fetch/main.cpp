// update_fetch: how fast the updater downloads and checks a package: the
// whole of UpdateInstall::Fetch (download into a protected folder, length
// check, SHA-256 and the ECDSA check with CNG) against the stand-in HTTP
// endpoint on this machine.
//
//   scripts/bench.sh update_fetch <package> <signature hex file> <public key PEM> [runs]
//
// benchmarks/installer/installer.sh passes a real package, signed with a key
// pair it makes. Prints the median and the best of the runs in MiB/s, and
// the time of the check alone (hash and signature) on the stored file.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/utf8.h"
#include "benchmarks/bench_figures.h"
#include "support/net_stand_ins.h"
#include "update_install.h"

namespace {

std::string ReadAll(const char* path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace halyx;
  using namespace halyx::update;
  if (argc < 4) {
    std::fprintf(stderr, "usage: update_fetch <package> <signature hex file> <public key PEM> [runs]\n");
    return 2;
  }
  const int runs = argc > 4 ? std::atoi(argv[4]) : 5;
  const std::string bytes = ReadAll(argv[1]);
  std::string signature = ReadAll(argv[2]);
  while (!signature.empty() && (signature.back() == '\n' || signature.back() == '\r')) signature.pop_back();
  PackageSignature::PublicKey key;
  std::string error;
  if (bytes.empty() || !PackageSignature::ParsePublicKey(ReadAll(argv[3]), key, error)) {
    std::fprintf(stderr, "update_fetch: no package or no key: %s\n", error.c_str());
    return 1;
  }
  testing::HttpEndpoint server({"--status", "200", "--body-file", argv[1]});
  if (!server.ok()) {
    std::fprintf(stderr, "update_fetch: the HTTP endpoint did not start\n");
    return 1;
  }
  wchar_t temp[MAX_PATH] = {};
  ::GetTempPathW(MAX_PATH, temp);
  UpdateInstall::Settings settings;
  settings.folder = std::wstring(temp) + L"quor-update-bench-" + std::to_wstring(::GetCurrentProcessId());
  Appcast offer;
  offer.version.parts = {9, 9, 9, 0};
  offer.url = server.Url() + "/package.exe";
  offer.size = bytes.size();
  offer.signature = signature;

  std::vector<double> mibPerSecond;
  std::vector<double> checkMs;
  std::wstring package;
  for (int run = 0; run < runs; ++run) {
    const double start = bench::NowUs();
    if (!UpdateInstall::Fetch(offer, key, nullptr, package, error, settings)) {
      std::fprintf(stderr, "update_fetch: %s\n", error.c_str());
      return 1;
    }
    const double seconds = (bench::NowUs() - start) / 1e6;
    mibPerSecond.push_back(static_cast<double>(bytes.size()) / (1024.0 * 1024.0) / seconds);
    PackageSignature::Signature parsed;
    PackageSignature::ParseSignature(signature, parsed, error);
    const double checkStart = bench::NowUs();
    PackageSignature::VerifyFile(package, key, parsed, error);
    checkMs.push_back((bench::NowUs() - checkStart) / 1e3);
    ::DeleteFileW(package.c_str());
  }
  ::RemoveDirectoryW(settings.folder.c_str());
  const auto fetch = bench::Summarise(mibPerSecond);
  const auto check = bench::Summarise(checkMs);
  double best = 0;
  for (const double v : mibPerSecond) best = v > best ? v : best;
  std::printf("package: %zu bytes, %d runs\n", bytes.size(), runs);
  std::printf("download and verify: median %.1f MiB/s, best %.1f MiB/s\n", fetch.median, best);
  std::printf("verify alone (SHA-256 + ECDSA P-256): median %.1f ms\n", check.median);
  return 0;
}
