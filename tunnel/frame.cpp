#include "tunnel/frame.h"

#include <spdlog/spdlog.h>

namespace halyx {

bool SerializeMessage(const ToJson& message, std::string& text) {
  json value;
  message.Write(value);
  try {
    text = value.dump();
  } catch (const json::type_error& e) {
    // Request fields are narrow strings handed in by the page and by the
    // config writer; one in another code page must not end the process.
    spdlog::error("IpcClient: {} request not sent, a field is not UTF-8 ({})", value.value("type", std::string()),
                  e.what());
    return false;
  }
  return true;
}

std::vector<uint8_t> BuildFrame(std::string_view payload) {
  const auto length = static_cast<uint32_t>(payload.size());
  std::vector<uint8_t> frame(kFrameHeaderSize + payload.size());
  for (std::size_t i = 0; i < kFrameHeaderSize; ++i) frame[i] = static_cast<uint8_t>(length >> (8 * i));
  std::copy(payload.begin(), payload.end(), frame.begin() + kFrameHeaderSize);
  return frame;
}

bool PeekFrameLength(const std::vector<uint8_t>& buffer, uint32_t& length) {
  if (buffer.size() < kFrameHeaderSize) return false;
  length = 0;
  for (std::size_t i = 0; i < kFrameHeaderSize; ++i) length |= static_cast<uint32_t>(buffer[i]) << (8 * i);
  return true;
}

bool TakeFrame(std::vector<uint8_t>& buffer, std::string& payload) {
  uint32_t length = 0;
  if (!PeekFrameLength(buffer, length)) return false;
  // Compared as a remainder so that a length near 4 GiB cannot wrap the sum.
  if (buffer.size() - kFrameHeaderSize < length) return false;
  const auto begin = buffer.begin() + kFrameHeaderSize;
  payload.assign(begin, begin + length);
  buffer.erase(buffer.begin(), begin + length);
  return true;
}

}  // namespace halyx
