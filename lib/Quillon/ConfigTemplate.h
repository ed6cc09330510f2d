// The token's configuration write (INS D4): one template 81 L followed by
// tag-length-value items, sent MAC-protected. The profile, clock, display,
// PIN and keypad commands all speak it.
#pragma once

#include "ByteHelpers.h"

#include <cstring>

namespace quillon {

constexpr uint8_t kInsConfigWrite = 0xD4;
constexpr uint8_t kConfigTemplate = 0x81;

enum ConfigTag : uint8_t {
    TAG_ALGORITHM = 0x0A,
    TAG_DIGITS = 0x0B,
    TAG_TIME_STEP = 0x0D,
    TAG_TIME = 0x0F,
    TAG_DISPLAY_OFF = 0x1F,
    TAG_TIME_OPTION = 0x22,
    TAG_FLAGS = 0x23,
    TAG_PIN_ENABLED = 0x2C,
    TAG_TITLE = 0x71,
    TAG_KEYPAD = 0x72,
};

// Collects tag-length-value items behind the 81 L header.
class ConfigTemplateBuilder {
public:
    ConfigTemplateBuilder() { data_[0] = kConfigTemplate; }

    void Add(uint8_t tag, const uint8_t* value, size_t length) {
        data_[size_++] = tag;
        data_[size_++] = static_cast<uint8_t>(length);
        if (length) std::memcpy(data_ + size_, value, length);
        size_ += length;
    }
    void AddByte(uint8_t tag, uint8_t value) { Add(tag, &value, 1); }
    void AddSeconds(uint8_t tag, uint32_t seconds) {
        const uint8_t be[4] = {static_cast<uint8_t>(seconds >> 24), static_cast<uint8_t>(seconds >> 16),
                               static_cast<uint8_t>(seconds >> 8), static_cast<uint8_t>(seconds)};
        Add(tag, be, sizeof be);
    }

    const uint8_t* Data() {
        data_[1] = static_cast<uint8_t>(size_ - 2);
        return data_;
    }
    size_t Size() const { return size_; }

private:
    // The longest template (every profile item, a 12-byte title) is 34.
    uint8_t data_[64] = {};
    size_t size_ = 2;
};

// 84 D4 00 P2 (L+6) template MAC; apdu holds kMaxSecuredApdu bytes.
inline size_t ConfigWriteApdu(const CommandKey& key, uint8_t p2, ConfigTemplateBuilder& t, uint8_t* apdu) {
    return SecuredCommand(key, kInsConfigWrite, 0x00, p2, t.Data(), t.Size(), apdu);
}

}  // namespace quillon
