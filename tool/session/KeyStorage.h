// How the access key is kept in the configuration file: its hexadecimal
// digits turned into bytes, SM4-ECB enciphered under a key compiled into the
// tool when they make whole blocks, and written back as hexadecimal.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace provisor {

// Only guards the key file against a casual look; files written by a build
// with another value cannot be read back.
extern const std::array<uint8_t, 16> SeedStorageKey;

enum KeyCipherDirection { kEncipher = 0, kDecipher = 1 };

// SM4-ECB over len bytes under key. *capacity is the output room on entry
// and the bytes produced on return; in and out may be the same buffer.
// Returns 0; -1 for a null buffer, an empty input or a length that is not a
// multiple of 16; -2 for a direction other than 0 or 1; 8 when the capacity
// is short (it is then set to len and nothing is written).
int KeyCipher(const uint8_t* key, int direction, size_t* capacity, size_t len, const uint8_t* in, uint8_t* out);
// KeyCipher under SeedStorageKey.
int SeedKeyCipher(int direction, size_t* capacity, size_t len, const uint8_t* in, uint8_t* out);

// Key text as typed to the text stored, and back. Digits are taken in pairs
// (a bad character counts 255, an odd last character is lost); a non-zero
// multiple of 16 bytes is enciphered or deciphered, anything else is kept
// as it is; the output is upper-case hexadecimal.
std::string EncipherKeyForStorage(std::string_view keyText);
std::string DecipherStoredKey(std::string_view storedText);

}  // namespace provisor
