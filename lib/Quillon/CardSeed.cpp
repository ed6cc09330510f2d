// Seed slot commands: write, delete and inspect a profile's seed, read its
// option flags and its current one-time password, and the seal command.
#include "CommandSupport.h"
#include "Sm4.h"

using namespace quillon;

namespace {

constexpr uint8_t kInsBurnSeed = 0xC5;
constexpr uint8_t kInsDeleteSeed = 0xE6;
constexpr uint8_t kInsReadOtp = 0xC9;
constexpr uint8_t kInsSeal = 0xC7;

constexpr size_t kMaxSeedLength = 160;
// The OTP goes into a caller buffer whose size is not passed; the tool
// offers 16 zeroed bytes and reads them as text, so one byte stays zero.
constexpr size_t kMaxOtpCopy = 15;

// 80 41 00 P2 01 70: the serial-number read instruction asking for the
// profile record.
constexpr uint8_t kProfileRecordTag = 0x70;
constexpr size_t kRecordMarkerOffset = 3;
constexpr uint8_t kRecordMarker = 0x1D;
constexpr size_t kRecordFlagsOffset = 4;

LONG ReadProfileRecord(CommandFrame& frame, int32_t profile, Response& r) {
    const uint8_t command[6] = {kClaPlain, kInsRead, 0x00, LowByte(profile), 0x01, kProfileRecordTag};
    return frame.Exchange(command, sizeof command, r);
}

}  // namespace

extern "C" QUILLON_API uint32_t CardBurnSeed(const char* reader, const char* accessKey, int32_t profile,
                                             const uint8_t* seed, int32_t seedLen) {
    CommandFrame frame(CommandFrame::Trace::AtEntry);
    if (!frame.Open(reader)) return CARD_E_NOT_CONNECTED;
    // One unsigned comparison catches both 0 and everything above 160,
    // negative lengths included.
    if (static_cast<uint32_t>(seedLen) - 1u > kMaxSeedLength - 1u) return CARD_E_SEED_LENGTH;
    if (KeyTextTooLong(accessKey)) return CARD_E_KEY_LENGTH;
    if (accessKey == nullptr || seed == nullptr) return CARD_E_MISSING_ARG;

    ScopedCommandKey k(accessKey);
    uint8_t work[512] = {};
    const size_t padded = PadBlock80(seed, static_cast<size_t>(seedLen), work);
    size_t outLen = padded;
    Sm4EncryptEcb(k.key.data(), work, padded, work, &outLen);

    uint8_t apdu[kMaxSecuredApdu];
    ScopedWipe wipeApdu(apdu, sizeof apdu);
    const size_t apduLen = SecuredCommand(k.key, kInsBurnSeed, 0x01, LowByte(profile), work, padded, apdu);
    ::explicit_bzero(work, sizeof work);
    Response r;
    if (frame.Exchange(apdu, apduLen, r) != SCARD_S_SUCCESS) return CARD_E_STATUS_WORD;
    return r.Ok() ? CARD_OK : CARD_E_STATUS_WORD;
}

extern "C" QUILLON_API uint32_t CardDeleteSeed(const char* reader, int32_t profile) {
    CommandFrame frame(CommandFrame::Trace::None);
    if (!frame.Open(reader)) return CARD_E_NOT_CONNECTED;
    const uint8_t command[5] = {kClaPlain, kInsDeleteSeed, 0x00, LowByte(profile), 0x00};
    Response r;
    if (frame.Exchange(command, sizeof command, r) != SCARD_S_SUCCESS) return CARD_E_EXCHANGE;
    if (r.StatusWord() == 0x6A83) return CARD_E_NO_SEED;
    return r.Ok() ? CARD_OK : CARD_E_STATUS_WORD;
}

extern "C" QUILLON_API uint32_t CardGetSeedFlag(const char* reader, int32_t profile, int32_t* seedPresent) {
    CommandFrame frame(CommandFrame::Trace::AfterOpen);
    if (!frame.Open(reader)) return CARD_E_NOT_CONNECTED;
    Response r;
    const LONG rc = ReadProfileRecord(frame, profile, r);
    if (rc != SCARD_S_SUCCESS) return static_cast<uint32_t>(rc);
    TraceResponse("CardGetSeedFlag->Recv: ", r);
    // A record must hold the marker and, after it, the seed indicator;
    // anything shorter is not a profile record either.
    if (!r.Ok() || r.DataLength() <= kRecordMarkerOffset + 1 || r.data[kRecordMarkerOffset] != kRecordMarker)
        return CARD_E_STATUS_WORD;
    if (seedPresent) *seedPresent = r.data[r.DataLength() - 1];
    return CARD_OK;
}

extern "C" QUILLON_API uint32_t CardReadSeedInfo(const char* reader, int32_t profile, int32_t* clearSeed,
                                                 int32_t* autoEnter, int32_t* keptFlags) {
    CommandFrame frame(CommandFrame::Trace::AfterOpen);
    if (!frame.Open(reader)) return CARD_E_NOT_CONNECTED;
    if (profile > 99) return CARD_E_PROFILE_RANGE;
    Response r;
    const LONG rc = ReadProfileRecord(frame, profile, r);
    if (rc != SCARD_S_SUCCESS) return static_cast<uint32_t>(rc);
    TraceResponse("CardReadSeedInfo->Recv: ", r);
    // The flags byte must have come from the token, not from the zeroed
    // buffer behind a short answer.
    if (!r.Ok() || r.DataLength() <= kRecordFlagsOffset) return CARD_E_STATUS_WORD;
    const uint8_t flags = r.data[kRecordFlagsOffset];
    if (clearSeed) *clearSeed = flags & 0x01;
    if (autoEnter) *autoEnter = flags >> 7;
    if (keptFlags) *keptFlags = flags & PROFILE_FLAGS_KEEP;
    return CARD_OK;
}

extern "C" QUILLON_API uint32_t CardReadOTP(const char* reader, const char* accessKey, int32_t profile, char* otp) {
    CommandFrame frame(CommandFrame::Trace::AtEntry);
    if (!frame.Open(reader)) return CARD_E_NOT_CONNECTED;
    if (accessKey == nullptr) return CARD_E_MISSING_ARG;
    // Like its siblings: the key buffer holds 16 bytes.
    if (KeyTextTooLong(accessKey)) return CARD_E_KEY_LENGTH;
    if (otp == nullptr) return CARD_E_MISSING_ARG;

    ScopedCommandKey k(accessKey);
    uint8_t apdu[kMaxSecuredApdu];
    const size_t apduLen = SecuredCommand(k.key, kInsReadOtp, 0x00, LowByte(profile), nullptr, 0, apdu);
    Response r;
    ScopedWipe wipeAnswer(r.data, sizeof r.data);
    if (frame.Exchange(apdu, apduLen, r) != SCARD_S_SUCCESS) return CARD_E_EXCHANGE;
    TraceResponse("DrvSendApdu->Recv: ", r, Withhold::AnswerData);

    const size_t available = r.DataLength();
    std::memcpy(otp, r.data, available < kMaxOtpCopy ? available : kMaxOtpCopy);
    if (r.StatusWord() == 0x6A83) return CARD_E_NO_SEED;
    return r.Ok() ? CARD_OK : CARD_E_STATUS_WORD;
}

extern "C" QUILLON_API uint32_t CardSeal(const char* reader, const char* accessKey) {
    CommandFrame frame(CommandFrame::Trace::AtEntry);
    if (!frame.Open(reader)) return CARD_E_NOT_CONNECTED;
    if (KeyTextTooLong(accessKey)) return CARD_E_KEY_LENGTH;
    if (accessKey == nullptr) return CARD_E_MISSING_ARG;

    ScopedCommandKey k(accessKey);
    uint8_t apdu[kMaxSecuredApdu];
    const size_t apduLen = SecuredCommand(k.key, kInsSeal, 0x00, 0x00, nullptr, 0, apdu);
    Response r;
    if (frame.Exchange(apdu, apduLen, r) != SCARD_S_SUCCESS) return CARD_E_STATUS_WORD;
    return r.Ok() ? CARD_OK : CARD_E_STATUS_WORD;
}
