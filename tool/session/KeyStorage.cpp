#include "session/KeyStorage.h"

#include <vector>

#include "formats/Encodings.h"
#include "Sm4.h"
#include "formats/Secrets.h"

namespace provisor {

const std::array<uint8_t, 16> SeedStorageKey = {0x3C, 0x91, 0x5E, 0x07, 0xD2, 0x68, 0xAB, 0x14,
                                                0xF9, 0x40, 0x8D, 0x73, 0x26, 0xCB, 0x1F, 0xB5};

namespace {

// The room the stored-key conversions offer the cipher: two blocks.
constexpr size_t kStorageCipherCapacity = 32;

std::string Convert(std::string_view text, int direction) {
    std::vector<uint8_t> bytes = HexTextToBytes(text);
    const WipeOnExit wipe(bytes);
    if (!bytes.empty() && bytes.size() % 16 == 0) {
        size_t capacity = kStorageCipherCapacity;
        // A refused call leaves the bytes as they are, which is what a key
        // too long to fit the capacity gets.
        (void)SeedKeyCipher(direction, &capacity, bytes.size(), bytes.data(), bytes.data());
    }
    return BytesToHexString(bytes.data(), bytes.size());
}

}  // namespace

int KeyCipher(const uint8_t* key, int direction, size_t* capacity, size_t len, const uint8_t* in, uint8_t* out) {
    if (!key || !capacity || !in || !out || len == 0 || len % 16 != 0) return -1;
    if (direction != kEncipher && direction != kDecipher) return -2;
    if (*capacity < len) {
        *capacity = len;
        return 8;
    }
    return direction == kEncipher ? quillon::Sm4EncryptEcb(key, in, len, out, capacity)
                                  : quillon::Sm4DecryptEcb(key, in, len, out, capacity);
}

// The storage key is handed to the cipher with every call rather than parked
// in the cipher's key slot, so no other cipher user can replace it in between.
int SeedKeyCipher(int direction, size_t* capacity, size_t len, const uint8_t* in, uint8_t* out) {
    return KeyCipher(SeedStorageKey.data(), direction, capacity, len, in, out);
}

std::string EncipherKeyForStorage(std::string_view keyText) { return Convert(keyText, kEncipher); }

std::string DecipherStoredKey(std::string_view storedText) { return Convert(storedText, kDecipher); }

}  // namespace provisor
