// Access key commands: challenge-response verification, key change and
// factory reset.
#include "CommandSupport.h"
#include "Sm4.h"

using namespace quillon;

namespace {

constexpr uint8_t kInsGetChallenge = 0x4B;
constexpr uint8_t kInsVerifyCryptogram = 0xCE;
constexpr uint8_t kInsChangeKey = 0xD7;
// Back to the factory key, once the token's user confirms.
constexpr uint8_t kInsResetKey = 0x56;

uint32_t MapVerifyStatus(uint16_t sw) {
    // Order matters: the locked state is reported with its own word before
    // any try count is considered.
    if (sw == 0x6983) return CARD_E_KEY_LOCKED;
    if ((sw & 0xFF00) == 0x6300) return CARD_W_TRIES_LEFT + (sw & 0xFF);
    if (sw == 0x6F08) return CARD_E_AUTH_FAILED_UNLIMITED;
    if (sw == 0x9000) return CARD_OK;
    return CARD_E_EXCHANGE;
}

uint32_t MapConfirmStatus(uint16_t sw) {
    if (sw == 0x6FF8) return CARD_E_CONFIRM_CANCELLED;
    if (sw == 0x6FF9) return CARD_E_CONFIRM_TIMEOUT;
    if (sw == 0x9000) return CARD_OK;
    return CARD_E_STATUS_WORD;
}

uint32_t Verify(CommandFrame& frame, const char* accessKey) {
    ScopedCommandKey k(accessKey);

    static const uint8_t kChallenge[5] = {kClaPlain, kInsGetChallenge, 0x08, 0x00, 0x00};
    Response challenge;
    if (frame.Exchange(kChallenge, sizeof kChallenge, challenge) != SCARD_S_SUCCESS) return CARD_E_EXCHANGE;
    // An answer that is not a whole challenge (a refusal, a truncated
    // answer) gets no cryptogram: one computed over bytes the token never
    // issued as its challenge would only cost the token one of its tries.
    if (!challenge.Ok() || challenge.DataLength() < 8) return CARD_E_EXCHANGE;

    uint8_t block[16] = {};
    std::memcpy(block, challenge.data, 8);
    uint8_t command[21] = {kClaPlain, kInsVerifyCryptogram, 0x00, 0x00, 0x10};
    ScopedWipe wipeCommand(command, sizeof command);
    size_t outLen = 16;
    if (Sm4EncryptEcb(k.key.data(), block, sizeof block, command + 5, &outLen) != 0) return CARD_E_EXCHANGE;

    Response r;
    // The cryptogram is the challenge enciphered under the command key:
    // beside the challenge (which the token sends in clear) a known pair
    // under that key, and nothing a reader of the ring needs.
    if (TracedExchange(frame, nullptr, command, sizeof command, "DrvSendApdu->Recv: ", r, Withhold::CommandData) !=
        SCARD_S_SUCCESS)
        return CARD_E_EXCHANGE;
    return MapVerifyStatus(r.StatusWord());
}

uint32_t ChangeKey(CommandFrame& frame, const char* accessKey, const char* newAccessKey) {
    ScopedCommandKey current(accessKey);
    ScopedCommandKey next(newAccessKey);

    // 00, the new command key, then the 80 00... padding: two blocks.
    uint8_t keyBlock[32] = {};
    std::memcpy(keyBlock + 1, next.key.data(), 16);
    PadBlock80(keyBlock, 17, keyBlock);
    uint8_t encrypted[32];
    ScopedWipe wipeEncrypted(encrypted, sizeof encrypted);
    size_t outLen = sizeof encrypted;
    Sm4EncryptEcb(current.key.data(), keyBlock, sizeof keyBlock, encrypted, &outLen);
    ::explicit_bzero(keyBlock, sizeof keyBlock);

    uint8_t apdu[kMaxSecuredApdu];
    ScopedWipe wipeApdu(apdu, sizeof apdu);
    const size_t apduLen = SecuredCommand(current.key, kInsChangeKey, 0x00, 0x00, encrypted, sizeof encrypted, apdu);
    Response r;
    // No time limit of our own: the token answers 6F F9 when its user does
    // not confirm in time. The new key travels enciphered under the current
    // one, which for a new or reset token is public.
    if (TracedExchange(frame, nullptr, apdu, apduLen, "DrvSendApdu->Recv: ", r, Withhold::CommandData) !=
        SCARD_S_SUCCESS)
        return CARD_E_EXCHANGE;
    return MapConfirmStatus(r.StatusWord());
}

}  // namespace

extern "C" QUILLON_API uint32_t CardVerify(const char* reader, const char* accessKey) {
    CommandFrame frame(CommandFrame::Trace::AtEntry);
    QTRACE(TRACE_INFO, "CardVerify enter");
    if (!frame.Open(reader)) return CARD_E_NOT_CONNECTED;
    if (IsEmpty(accessKey)) return CARD_E_MISSING_ARG;
    if (KeyTextTooLong(accessKey)) return CARD_E_KEY_LENGTH;
    const uint32_t result = Verify(frame, accessKey);
    QTRACE(TRACE_INFO, "CardVerify leave");
    return result;
}

extern "C" QUILLON_API uint32_t CardChangeKey(const char* reader, const char* accessKey, const char* newAccessKey) {
    CommandFrame frame(CommandFrame::Trace::AtEntry);
    QTRACE(TRACE_INFO, "CardChangeKey enter");
    if (!frame.Open(reader)) return CARD_E_NOT_CONNECTED;
    if (accessKey == nullptr || newAccessKey == nullptr) return CARD_E_MISSING_ARG;
    if (accessKey[0] == '\0' || newAccessKey[0] == '\0') return CARD_E_MISSING_ARG;
    if (KeyTextTooLong(accessKey) || KeyTextTooLong(newAccessKey)) return CARD_E_KEY_LENGTH;
    const uint32_t result = ChangeKey(frame, accessKey, newAccessKey);
    QTRACE(TRACE_INFO, "CardChangeKey leave");
    return result;
}

extern "C" QUILLON_API uint32_t CardInitKey(const char* reader) {
    CommandFrame frame(CommandFrame::Trace::AfterOpen);
    if (!frame.Open(reader)) return CARD_E_NOT_CONNECTED;
    static const uint8_t kReset[5] = {kClaPlain, kInsResetKey, 0x00, 0x00, 0x00};
    Response r;
    const LONG rc = frame.Exchange(kReset, sizeof kReset, r);
    if (rc != SCARD_S_SUCCESS) {
        QTRACE(TRACE_ERROR, "CardInitKey failed, nRet=%08X", static_cast<unsigned>(rc));
        return CARD_E_EXCHANGE;
    }
    TraceResponse("CardInitKey->Recv: ", r);
    return MapConfirmStatus(r.StatusWord());
}
