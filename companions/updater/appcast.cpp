#include "appcast.h"

#include <windows.h>

#include <string>
#include <utility>

namespace halyx::update {
namespace {

constexpr std::string_view kHeader = "quor-appcast 1";

bool IsUtf8(std::string_view text) {
  if (text.empty()) return true;
  return ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0) >
         0;
}

bool HasControlCharacter(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && byte != '\t') || byte == 0x7F) return true;
  }
  return false;
}

// A decimal number of 1 to 12 digits, not 0: sizes up to a terabyte, with
// no room for an overflow.
bool ParseSize(std::string_view text, uint64_t& out) {
  if (text.empty() || text.size() > 12) return false;
  uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value == 0) return false;
  out = value;
  return true;
}

}  // namespace

std::string Version::ToString() const {
  return std::to_string(parts[0]) + "." + std::to_string(parts[1]) + "." + std::to_string(parts[2]) + "." +
         std::to_string(parts[3]);
}

bool Version::Parse(std::string_view text, Version& out) {
  Version parsed;
  std::size_t part = 0;
  std::size_t digits = 0;
  uint32_t value = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == '.') {
      if (digits == 0 || part == parsed.parts.size()) return false;
      parsed.parts[part++] = static_cast<uint16_t>(value);
      digits = 0;
      value = 0;
      continue;
    }
    if (text[i] < '0' || text[i] > '9' || ++digits > 5) return false;
    value = value * 10 + static_cast<uint32_t>(text[i] - '0');
    if (value > 0xFFFF) return false;
  }
  out = parsed;
  return true;
}

bool Appcast::Parse(std::string_view text, Appcast& out, std::string& error) {
  if (text.size() > kMaxBytes) {
    error = "the appcast is larger than " + std::to_string(kMaxBytes) + " bytes";
    return false;
  }
  if (!IsUtf8(text)) {
    error = "the appcast is not UTF-8 text";
    return false;
  }
  Appcast parsed;
  bool haveVersion = false;
  bool haveNotes = false;
  bool haveUrl = false;
  bool haveSize = false;
  bool haveSignature = false;
  std::size_t lineNumber = 0;
  std::size_t start = 0;
  while (start < text.size() || lineNumber == 0) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    start = end + 1;
    const std::string where = " (line " + std::to_string(++lineNumber) + ")";
    if (lineNumber == 1) {
      if (line != kHeader) {
        error = "the answer is not an appcast" + where;
        return false;
      }
      continue;
    }
    if (line.empty() || line.front() == '#') continue;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      error = "the appcast has a line without \"=\"" + where;
      return false;
    }
    const std::string_view key = line.substr(0, equals);
    const std::string_view value = line.substr(equals + 1);
    if (HasControlCharacter(value)) {
      error = "the appcast has a control character" + where;
      return false;
    }
    bool* seen = key == "version"     ? &haveVersion
                 : key == "notes"     ? &haveNotes
                 : key == "url"       ? &haveUrl
                 : key == "size"      ? &haveSize
                 : key == "signature" ? &haveSignature
                                      : nullptr;
    if (seen == nullptr) continue;
    if (*seen) {
      error = "the appcast names \"" + std::string(key) + "\" twice" + where;
      return false;
    }
    *seen = true;
    if (key == "version" && !Version::Parse(value, parsed.version)) {
      error = "the offered version is not a version number" + where;
      return false;
    }
    if (key == "notes") {
      if (value.size() > kMaxNotes) {
        error = "the appcast's notes are longer than " + std::to_string(kMaxNotes) + " bytes" + where;
        return false;
      }
      parsed.notes = value;
    }
    if (key == "url") parsed.url = value;
    if (key == "size" && !ParseSize(value, parsed.size)) {
      error = "the offered package's size is not a number of bytes" + where;
      return false;
    }
    if (key == "signature") parsed.signature = value;
  }
  if (!haveVersion) {
    error = "the appcast offers no version";
    return false;
  }
  out = std::move(parsed);
  return true;
}

}  // namespace halyx::update
