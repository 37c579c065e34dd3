// payload_tool: seals a text the way the server does, so that the client's
// SetAdInfo, SetAdGlobal and SetAdLocal accept it.
//
//   payload_tool <adType> (--text TEXT | --in FILE) [--key-text TEXT]
//
// Prints "payload=<hex>". For adType 2 without --key-text it makes a fresh
// random key text and prints it first as "keytext=<hex>": the page passes it
// as the fourth argument. adType 3 needs the key text the client uses for
// that mode (its version string). Warnings go to stderr.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include "payload_sealer.h"

namespace {

int Usage() {
  std::fprintf(stderr, "usage: payload_tool <adType 1|2|3> (--text TEXT | --in FILE) [--key-text TEXT]\n");
  return 2;
}

bool ReadFile(const std::string& path, std::string& content) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
  // The cipher's own warnings must not mix with the printed payload.
  spdlog::set_default_logger(spdlog::stderr_logger_mt("payload_tool"));
  if (argc < 4) return Usage();
  char* end = nullptr;
  const long adType = std::strtol(argv[1], &end, 10);
  if (*end != '\0') return Usage();

  std::string plaintext;
  std::string keyText;
  bool havePlaintext = false;
  bool haveKeyText = false;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--text") {
      plaintext = argv[i + 1];
      havePlaintext = true;
    } else if (option == "--in") {
      if (!ReadFile(argv[i + 1], plaintext)) {
        std::fprintf(stderr, "payload_tool: cannot read %s\n", argv[i + 1]);
        return 1;
      }
      havePlaintext = true;
    } else if (option == "--key-text") {
      keyText = argv[i + 1];
      haveKeyText = true;
    } else {
      return Usage();
    }
  }
  if (!havePlaintext || argc % 2 != 0) return Usage();
  if (adType == 3 && !haveKeyText) {
    std::fprintf(stderr, "payload_tool: adType 3 needs --key-text (the client's version string)\n");
    return 2;
  }
  if (adType == 2 && !haveKeyText) {
    keyText = halyx::NewDeliveredKeyText();
    if (keyText.empty()) return 1;
    std::printf("keytext=%s\n", keyText.c_str());
  }

  std::string payload;
  if (!halyx::SealPayload(static_cast<int>(adType), keyText, plaintext, payload)) return 1;
  std::printf("payload=%s\n", payload.c_str());
  return 0;
}
