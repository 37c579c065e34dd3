// Framing of the service-control pipe: a 4-byte little-endian payload length,
// then the payload, one compact JSON object in UTF-8. Frames follow each other
// with nothing in between.
//
// Thread: any.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tunnel/messages.h"

namespace halyx {

constexpr std::size_t kFrameHeaderSize = 4;
// The largest frame the GUI writes; its transport's write buffer holds exactly
// this, so an outgoing payload is at most 65532 bytes.
constexpr std::size_t kMaxOutgoingFrame = 65536;

// Serialises `message` compactly into `text`. A string member that is not
// valid UTF-8 cannot go on the wire: the message is refused with one error
// line and false, rather than sent with bytes the service would misread.
bool SerializeMessage(const ToJson& message, std::string& text);

// The frame carrying `payload`.
std::vector<uint8_t> BuildFrame(std::string_view payload);

// Takes the first complete frame off the front of `buffer` and puts its
// payload in `payload`. False, leaving `buffer` as it was, while the frame is
// still incomplete; an incoming length has no upper bound.
bool TakeFrame(std::vector<uint8_t>& buffer, std::string& payload);

// The payload length announced by the frame at the front of `buffer`; false
// while fewer than 4 bytes are there. Lets a reader refuse a length before
// buffering towards it.
bool PeekFrameLength(const std::vector<uint8_t>& buffer, uint32_t& length);

}  // namespace halyx
