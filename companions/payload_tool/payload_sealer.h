// The sealing side of the payload cipher: what the server produces and the
// client's PayloadCipher opens. Shared by the payload tool and the tests.
//
// Thread: any.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace halyx {

// Encrypts `plaintext` with AES-256-GCM under the key and nonce of `adType`
// and `keyText` (derived exactly as the client derives them) into upper-case
// hexadecimal ciphertext followed by the tag. False after a line on stderr.
bool SealPayload(int adType, const std::string& keyText, const std::string& plaintext, std::string& payloadHex);

// Encrypts with an explicit key and nonce, for payloads that no mode of ours
// produces (published test vectors).
bool SealWithKey(const std::vector<uint8_t>& key, const std::vector<uint8_t>& nonce, const std::string& plaintext,
                 std::vector<uint8_t>& sealed);

// The key text of mode 2 that carries `nonce` (12 bytes) and `key` (32
// bytes): 88 upper-case hexadecimal characters of the scrambled pair.
std::string DeliveredKeyText(const std::vector<uint8_t>& nonce, const std::vector<uint8_t>& key);

// A mode-2 key text with a fresh random nonce and key. Empty when the system
// random generator fails.
std::string NewDeliveredKeyText();

}  // namespace halyx
