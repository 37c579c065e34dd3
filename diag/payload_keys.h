// Deployment values of the payload cipher, all in this one place. Whatever
// seals payloads for this client (the server side, companions/payload_tool)
// must use the same values; changing any of them makes every payload sealed
// before unreadable.
//
// The built-in key and nonce are kept only in scrambled form, as texts that
// Unscramble() turns into the key bytes at run time, so the raw key never
// appears in the binary as one contiguous block. This hides the key from a
// casual look at the executable; it is no secret from anyone who reads the
// code, and the payloads it protects are not secrets either.
//
// Thread: any (constants).
#pragma once

#include <cstdint>

namespace halyx::payload_keys {

// Unscrambles the built-in key and nonce texts below.
inline constexpr uint8_t kBuiltInConstant = 0xB7;
// Unscrambles a delivered key text (key mode 2) after hexadecimal decoding.
inline constexpr uint8_t kDeliveredConstant = 0x6D;

// Key mode 1: 32 characters for the AES-256 key, 12 for the GCM nonce.
inline constexpr char kBuiltInKeyText[] = "<,pGt{JHa$s^iH(rrY79S7U8%/D>R0%f";
inline constexpr char kBuiltInNonceText[] = "3>RW{/]p*yMH";

static_assert(sizeof(kBuiltInKeyText) == 32 + 1, "the built-in key text is 32 characters");
static_assert(sizeof(kBuiltInNonceText) == 12 + 1, "the built-in nonce text is 12 characters");

}  // namespace halyx::payload_keys
