// Profile and display configuration: the configuration write (D4) with its
// tag-length-value template, the clock alone, the encrypted title and the
// display-off time.
#include "CommandSupport.h"
#include "ConfigTemplate.h"
#include "Sm4.h"

using namespace quillon;

namespace {

constexpr uint8_t kInsChangePrompt = 0xD5;
constexpr size_t kMaxTitle = 12;

// The text matches when it is a prefix of the name ("SHA" is a prefix of
// both names and so selects the first that is tried).
bool IsPrefixOf(const char* text, size_t length, const char* name) {
    return length <= std::strlen(name) && std::strncmp(text, name, length) == 0;
}

uint32_t SendConfigWrite(CommandFrame& frame, const CommandKey& key, uint8_t p2, ConfigTemplateBuilder& t,
                         const char* sendLabel, const char* recvLabel) {
    uint8_t apdu[kMaxSecuredApdu];
    const size_t apduLen = ConfigWriteApdu(key, p2, t, apdu);
    Response r;
    if (TracedExchange(frame, sendLabel, apdu, apduLen, recvLabel, r) != SCARD_S_SUCCESS) return CARD_E_STATUS_WORD;
    return r.Ok() ? CARD_OK : CARD_E_STATUS_WORD;
}

}  // namespace

extern "C" QUILLON_API uint32_t CardConfig(const char* reader, const char* accessKey, int32_t profile,
                                           const char* algorithm, int32_t timeStep, int32_t otpLength,
                                           int32_t clearSeed, const char* timeText, const char* title,
                                           int32_t autoEnter, int32_t baseFlags) {
    CommandFrame frame(CommandFrame::Trace::AtEntry);
    if (!frame.Open(reader)) return CARD_E_NOT_CONNECTED;

    if (profile > 99) return CARD_E_PROFILE_RANGE;
    if (accessKey == nullptr) return CARD_E_MISSING_ARG;
    if (KeyTextTooLong(accessKey)) return CARD_E_KEY_LENGTH;
    const size_t titleLength = title ? ::strnlen(title, kMaxTitle + 1) : 0;
    if (titleLength > kMaxTitle) return CARD_E_BAD_ARG;
    if (algorithm == nullptr) return CARD_E_MISSING_ARG;
    // Longer than "SHA256" cannot be a prefix of either name.
    const size_t algorithmLength = ::strnlen(algorithm, 7);
    const bool sha1 = IsPrefixOf(algorithm, algorithmLength, "SHA1");
    if (!sha1 && !IsPrefixOf(algorithm, algorithmLength, "SHA256")) return CARD_E_BAD_ARG;
    if (timeStep != 30 && timeStep != 60 && timeStep != -1) return CARD_E_BAD_ARG;
    if (otpLength != -1 && (otpLength < 1 || otpLength > 10)) return CARD_E_BAD_ARG;
    if (clearSeed != 0 && clearSeed != 1 && clearSeed != -1) return CARD_E_BAD_ARG;

    ScopedCommandKey k(accessKey);

    // Omitted items leave the token's setting as it is.
    ConfigTemplateBuilder t;
    if (algorithmLength != 0) t.AddByte(TAG_ALGORITHM, sha1 ? 0x01 : 0x02);
    if (timeStep != -1) t.AddByte(TAG_TIME_STEP, static_cast<uint8_t>(timeStep));
    if (otpLength != -1) t.AddByte(TAG_DIGITS, static_cast<uint8_t>(otpLength));
    if (!IsEmpty(timeText)) {
        uint32_t seconds = 0;
        if (ParseUtcTimeText(timeText, std::strlen(timeText), &seconds) != 0) return CARD_E_TIME_FORMAT;
        t.AddSeconds(TAG_TIME, seconds);
    }
    uint8_t flags = LowByte(baseFlags);
    if (clearSeed == 1) flags |= PROFILE_FLAG_CLEAR_SEED;
    if (autoEnter == 1) flags |= PROFILE_FLAG_AUTO_ENTER;
    t.AddByte(TAG_FLAGS, flags);
    // An empty title is sent too: it clears the one on the token.
    if (title) t.Add(TAG_TITLE, reinterpret_cast<const uint8_t*>(title), titleLength);

    return SendConfigWrite(frame, k.key, LowByte(profile), t, "CardConfig->Send: ", "CardConfig->Recv: ");
}

extern "C" QUILLON_API uint32_t CardSetTime(const char* reader, const char* accessKey, const char* clockText,
                                            int32_t option) {
    CommandFrame frame(CommandFrame::Trace::AtEntry);
    // The key is checked and derived before connecting.
    if (accessKey == nullptr) return CARD_E_MISSING_ARG;
    if (KeyTextTooLong(accessKey)) return CARD_E_KEY_LENGTH;
    ScopedCommandKey k(accessKey);

    if (!frame.Open(reader)) return CARD_E_NOT_CONNECTED;
    if (clockText == nullptr) return CARD_E_MISSING_ARG;
    uint32_t seconds = 0;
    if (ParseUtcTimeText(clockText, std::strlen(clockText), &seconds) != 0) return CARD_E_TIME_FORMAT;
    if (option != -1 && option != 0 && (option < 3 || option > 15)) return CARD_E_BAD_ARG;

    ConfigTemplateBuilder t;
    t.AddSeconds(TAG_TIME, seconds);
    if (option != -1) t.AddByte(TAG_TIME_OPTION, static_cast<uint8_t>(option));

    uint8_t apdu[kMaxSecuredApdu];
    const size_t apduLen = ConfigWriteApdu(k.key, 0x00, t, apdu);
    Response r;
    if (frame.Exchange(apdu, apduLen, r) != SCARD_S_SUCCESS) return CARD_E_STATUS_WORD;
    return r.Ok() ? CARD_OK : CARD_E_STATUS_WORD;
}

extern "C" QUILLON_API uint32_t CardChgPrompt(const char* reader, const char* accessKey, int32_t profile,
                                              const char* title, uint32_t titleLen) {
    CommandFrame frame(CommandFrame::Trace::AtEntry);
    // All argument checks come before connecting.
    if (titleLen > kMaxTitle) return CARD_E_BAD_ARG;
    if (profile > 99) return CARD_E_PROFILE_RANGE;
    if (KeyTextTooLong(accessKey)) return CARD_E_KEY_LENGTH;
    if (accessKey == nullptr || (title == nullptr && titleLen != 0)) return CARD_E_MISSING_ARG;

    if (!frame.Open(reader)) return CARD_E_NOT_CONNECTED;
    ScopedCommandKey k(accessKey);

    uint8_t block[kSm4BlockSize] = {};
    PadBlock80(reinterpret_cast<const uint8_t*>(title), titleLen, block);
    uint8_t encrypted[kSm4BlockSize];
    size_t outLen = sizeof encrypted;
    Sm4EncryptEcb(k.key.data(), block, sizeof block, encrypted, &outLen);

    uint8_t apdu[kMaxSecuredApdu];
    const size_t apduLen =
        SecuredCommand(k.key, kInsChangePrompt, 0x00, LowByte(profile), encrypted, sizeof encrypted, apdu);
    Response r;
    if (frame.Exchange(apdu, apduLen, r) != SCARD_S_SUCCESS) return CARD_E_EXCHANGE;
    return r.Ok() ? CARD_OK : CARD_E_STATUS_WORD;
}

extern "C" QUILLON_API uint32_t CardSetStandbyTime(const char* reader, const char* accessKey, int32_t seconds) {
    CommandFrame frame(CommandFrame::Trace::AtEntry);
    if (!frame.Open(reader)) return CARD_E_NOT_CONNECTED;
    if (accessKey == nullptr) return CARD_E_MISSING_ARG;
    if (KeyTextTooLong(accessKey)) return CARD_E_KEY_LENGTH;

    uint8_t displayOff;
    switch (seconds) {
        case 15: displayOff = 0x00; break;
        case 30: displayOff = 0x01; break;
        case 60: displayOff = 0x02; break;
        case 120: displayOff = 0x03; break;
        default: return CARD_E_BAD_ARG;
    }

    ScopedCommandKey k(accessKey);
    ConfigTemplateBuilder t;
    t.AddByte(TAG_DISPLAY_OFF, displayOff);
    return SendConfigWrite(frame, k.key, 0x00, t, "CardConfig->send: ", "CardConfig->Recv: ");
}
