// Bytes as hexadecimal text, upper case, high nibble first: the form of the
// device identifier and of the payloads and key texts that the page passes.
//
// Thread: any.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace halyx {

std::string HexUpper(const uint8_t* data, std::size_t size);

}  // namespace halyx
