// PIN, keypad and screen-lock commands.
#include "CommandSupport.h"
#include "ConfigTemplate.h"
#include "Sm4.h"

using namespace quillon;

namespace {

constexpr uint8_t kInsStorePin = 0xE0;
// 80 D8 0C 02 state: the screen lock.
constexpr uint8_t kInsScreen = 0xD8;
constexpr uint8_t kScreenLocked = 0x00;
constexpr uint8_t kScreenUnlocked = 0x01;
constexpr size_t kPinLength = 6;

// A one-item configuration write: 81 03 tag 01 value.
size_t BuildOneByteSetting(const CommandKey& key, uint8_t tag, uint8_t value, uint8_t* apdu) {
    ConfigTemplateBuilder t;
    t.AddByte(tag, value);
    return ConfigWriteApdu(key, 0x00, t, apdu);
}

uint32_t ScreenCommand(const char* reader, uint8_t state, const char* recvLabel) {
    CommandFrame frame(CommandFrame::Trace::AfterOpen);
    if (!frame.Open(reader)) return CARD_E_NOT_CONNECTED;
    const uint8_t command[5] = {kClaPlain, kInsScreen, 0x0C, 0x02, state};
    Response r;
    const LONG rc = frame.Exchange(command, sizeof command, r);
    if (rc != SCARD_S_SUCCESS) return static_cast<uint32_t>(rc);
    TraceResponse(recvLabel, r);
    return r.Ok() ? CARD_OK : CARD_E_STATUS_WORD;
}

uint32_t SetPin(CommandFrame& frame, const char* accessKey, const char* pin) {
    ScopedCommandKey k(accessKey);
    uint8_t apdu[kMaxSecuredApdu];
    ScopedWipe wipeApdu(apdu, sizeof apdu);

    // The PIN is stored even when switching protection on was refused; the
    // refusal still decides the result.
    uint32_t result = CARD_OK;
    size_t apduLen = BuildOneByteSetting(k.key, TAG_PIN_ENABLED, 0x01, apdu);
    Response enable;
    if (frame.Exchange(apdu, apduLen, enable) != SCARD_S_SUCCESS || !enable.Ok()) {
        result = CARD_E_STATUS_WORD;
        QTRACE(TRACE_ERROR, "Enable PIN failed");
    }

    uint8_t block[kSm4BlockSize];
    PadBlock80(reinterpret_cast<const uint8_t*>(pin), kPinLength, block);
    uint8_t encrypted[kSm4BlockSize];
    ScopedWipe wipeEncrypted(encrypted, sizeof encrypted);
    size_t outLen = sizeof encrypted;
    Sm4EncryptEcb(k.key.data(), block, sizeof block, encrypted, &outLen);
    ::explicit_bzero(block, sizeof block);

    apduLen = SecuredCommand(k.key, kInsStorePin, 0x00, 0x00, encrypted, sizeof encrypted, apdu);
    Response r;
    if (TracedExchange(frame, nullptr, apdu, apduLen, "DrvSendApdu->Recv: ", r, Withhold::CommandData) !=
        SCARD_S_SUCCESS)
        return CARD_E_EXCHANGE;
    return r.Ok() ? result : CARD_E_STATUS_WORD;
}

}  // namespace

extern "C" QUILLON_API uint32_t CardSetPIN(const char* reader, const char* accessKey, const char* pin) {
    CommandFrame frame(CommandFrame::Trace::AtEntry);
    QTRACE(TRACE_INFO, "CardSetPIN enter");
    if (!frame.Open(reader)) return CARD_E_NOT_CONNECTED;
    if (accessKey == nullptr || pin == nullptr) return CARD_E_MISSING_ARG;
    if (::strnlen(pin, kPinLength + 1) != kPinLength || accessKey[0] == '\0') return CARD_E_KEY_LENGTH;
    // Like its siblings: the key buffer holds 16 bytes.
    if (KeyTextTooLong(accessKey)) return CARD_E_KEY_LENGTH;
    const uint32_t result = SetPin(frame, accessKey, pin);
    QTRACE(TRACE_INFO, "CardSetPIN leave");
    return result;
}

extern "C" QUILLON_API uint32_t CardDisablePIN(const char* reader, const char* accessKey) {
    CommandFrame frame(CommandFrame::Trace::AtEntry);
    if (!frame.Open(reader)) return CARD_E_NOT_CONNECTED;
    if (accessKey == nullptr) return CARD_E_MISSING_ARG;
    if (accessKey[0] == '\0' || KeyTextTooLong(accessKey)) return CARD_E_KEY_LENGTH;

    ScopedCommandKey k(accessKey);
    uint8_t apdu[kMaxSecuredApdu];
    const size_t apduLen = BuildOneByteSetting(k.key, TAG_PIN_ENABLED, 0x00, apdu);
    Response r;
    if (TracedExchange(frame, "CardEnablePIN->send: ", apdu, apduLen, "CardEnablePIN->Recv: ", r) != SCARD_S_SUCCESS)
        return CARD_E_STATUS_WORD;
    return r.Ok() ? CARD_OK : CARD_E_STATUS_WORD;
}

extern "C" QUILLON_API uint32_t CardSetkeypad(const char* reader, const char* accessKey, int32_t mode) {
    CommandFrame frame(CommandFrame::Trace::AfterOpen);
    if (!frame.Open(reader)) return CARD_E_NOT_CONNECTED;
    if (accessKey == nullptr) return CARD_E_MISSING_ARG;
    // Like its siblings: the key buffer holds 16 bytes.
    if (KeyTextTooLong(accessKey)) return CARD_E_KEY_LENGTH;

    ScopedCommandKey k(accessKey);
    uint8_t apdu[kMaxSecuredApdu];
    const size_t apduLen = BuildOneByteSetting(k.key, TAG_KEYPAD, mode == 1 ? 0x01 : 0x00, apdu);
    Response r;
    if (TracedExchange(frame, "DrvSendApdu->Send: ", apdu, apduLen, "DrvSendApdu->Recv: ", r) != SCARD_S_SUCCESS)
        return CARD_E_EXCHANGE;
    return r.Ok() ? CARD_OK : CARD_E_STATUS_WORD;
}

extern "C" QUILLON_API uint32_t CardScreenLock(const char* reader) {
    return ScreenCommand(reader, kScreenLocked, "CardScreenLock->Recv: ");
}

extern "C" QUILLON_API uint32_t CardScreenUnLock(const char* reader) {
    return ScreenCommand(reader, kScreenUnlocked, "CardScreenUnLock->Recv: ");
}
