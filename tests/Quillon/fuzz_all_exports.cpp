// Arbitrary token answers to every export. The input is a control byte and
// a list of answers, each a 2-byte big-endian prefix and that many bytes.
// The prefix's low 11 bits are the length (so answers longer than the
// 1024-byte response buffer occur); bit 14 puts the profile record marker
// at offset 3 and bit 15 appends 90 00. The
// answers are handed out in turn to whatever each export sends; the control
// byte picks a failing transmit and the profile number. Each export must
// keep within its output buffers, write only meaningful values to its
// integer outputs and release the session.
#include "CardSession.h"
#include "PcscDouble.h"
#include "Quillon.h"

#include <PCSC/pcsclite.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

const char* kReader = "Norvik Reader 0";
const char* kKey = "00112233445566778899AABBCCDDEEFF";
constexpr uint8_t kCanary = 0xA5;

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

std::vector<pcscdouble::Bytes> SplitAnswers(const uint8_t* data, size_t size) {
    std::vector<pcscdouble::Bytes> answers;
    size_t i = 0;
    while (i + 2 <= size) {
        const unsigned prefix = (unsigned{data[i]} << 8) | data[i + 1];
        size_t n = prefix & 0x7FF;
        i += 2;
        if (n > size - i) n = size - i;
        pcscdouble::Bytes answer(data + i, data + i + n);
        i += n;
        // Steer random input past the first checks: a profile record's
        // marker, and a success status word.
        if ((prefix & 0x4000) && answer.size() > 3) answer[3] = 0x1D;
        if (prefix & 0x8000) answer.insert(answer.end(), {0x90, 0x00});
        answers.push_back(std::move(answer));
    }
    return answers;
}

// A caller buffer followed by canary bytes that nothing may touch.
template <size_t N>
struct Guarded {
    uint8_t bytes[N + 16];
    Guarded() { std::memset(bytes, kCanary, sizeof bytes); }
    char* text() { return reinterpret_cast<char*>(bytes); }
    bool intact() const {
        for (size_t i = N; i < sizeof bytes; ++i)
            if (bytes[i] != kCanary) return false;
        return true;
    }
};

bool SessionReleased() {
    const quillon::CardSession& s = quillon::CurrentCardSession();
    return s.context == 0 && s.card == 0 && pcscdouble::LiveContexts() == 0 && pcscdouble::LiveCards() == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t control = data[0];
    const auto answers = std::make_shared<std::vector<pcscdouble::Bytes>>(SplitAnswers(data + 1, size - 1));
    const int failAt = (control & 3) - 1;  // -1: every transmit goes through
    // Profile numbers around the interesting edges: in range, 99/100, negative, 256.
    static const int32_t kProfiles[] = {0, 5, 99, 100, -1, 256, 0x7FFFFFFF, -256};
    const int32_t profile = kProfiles[(control >> 2) & 7];
    const uint8_t variant = control >> 5;

    int exportIndex = 0;
    auto arm = [&] {
        pcscdouble::Reset();
        if (failAt >= 0) pcscdouble::FailTransmitAt(failAt, static_cast<LONG>(SCARD_E_COMM_DATA_LOST));
        auto next = std::make_shared<size_t>(static_cast<size_t>(exportIndex++));
        pcscdouble::SetResponder([answers, next](const pcscdouble::Bytes&) {
            if (answers->empty()) return pcscdouble::Bytes{0x90, 0x00};
            return (*answers)[(*next)++ % answers->size()];
        });
    };

    {
        arm();
        Guarded<32> serial;
        Guarded<64> clock;
        uint32_t serialLen = (variant & 1) ? 8 : 32, clockLen = (variant & 2) ? 19 : 64;
        const uint32_t serialCap = serialLen, clockCap = clockLen;
        CardReadSnAndTime(kReader, profile, serial.text(), &serialLen, clock.text(), &clockLen);
        Check(serial.intact() && clock.intact() && serialLen <= serialCap && clockLen <= clockCap);
        Check(SessionReleased());
    }
    arm();
    CardVerify(kReader, kKey);
    Check(SessionReleased());
    arm();
    CardChangeKey(kReader, kKey, "FFEEDDCCBBAA99887766554433221100");
    Check(SessionReleased());
    arm();
    CardInitKey(kReader);
    Check(SessionReleased());

    {
        arm();
        uint8_t seed[161];
        for (size_t i = 0; i < sizeof seed; ++i) seed[i] = static_cast<uint8_t>(i * 13 + control);
        static const int32_t kSeedLengths[] = {1, 15, 16, 20, 32, 64, 159, 160};
        CardBurnSeed(kReader, kKey, profile, seed, kSeedLengths[variant]);
        Check(SessionReleased());
    }
    arm();
    CardDeleteSeed(kReader, profile);
    Check(SessionReleased());
    {
        arm();
        int32_t present = -7;
        const uint32_t rc = CardGetSeedFlag(kReader, profile, (variant & 1) ? nullptr : &present);
        Check(present == -7 || (rc == CARD_OK && present >= 0 && present <= 255));
        Check(SessionReleased());
    }
    {
        arm();
        int32_t clear = -7, enter = -7, kept = -7;
        const uint32_t rc = CardReadSeedInfo(kReader, profile, &clear, &enter, &kept);
        if (rc == CARD_OK) {
            Check((clear == 0 || clear == 1) && (enter == 0 || enter == 1));
            Check((kept & ~static_cast<int32_t>(PROFILE_FLAGS_KEEP)) == 0);
        } else {
            Check(clear == -7 && enter == -7 && kept == -7);
        }
        Check(SessionReleased());
    }
    {
        arm();
        Guarded<16> otp;
        std::memset(otp.bytes, 0, 16);
        CardReadOTP(kReader, kKey, profile, otp.text());
        // The zeroed buffer stays a terminated string.
        Check(otp.intact() && otp.bytes[15] == 0);
        Check(SessionReleased());
    }
    arm();
    CardSeal(kReader, kKey);
    Check(SessionReleased());

    {
        static const char* kAlgorithms[] = {"SHA1", "SHA256", "", "SHA"};
        static const char* kTimes[] = {nullptr, "2024/2/29/12/0/0", "", "2099/12/31/23/59/59"};
        static const char* kTitles[] = {nullptr, "", "Mail", "ABCDEFGHIJKL"};
        arm();
        CardConfig(kReader, kKey, profile, kAlgorithms[variant & 3], (variant & 4) ? 60 : -1,
                   (variant & 1) ? 8 : -1, (variant & 2) ? 1 : -1, kTimes[variant & 3], kTitles[(variant >> 1) & 3],
                   variant & 1, control);
        Check(SessionReleased());
    }
    arm();
    CardSetTime(kReader, kKey, "2024/1/1/0/0/0", (variant & 1) ? -1 : 3);
    Check(SessionReleased());
    arm();
    CardChgPrompt(kReader, kKey, profile, "ABCDEFGHIJKL", variant * 12u / 7u);
    Check(SessionReleased());
    {
        static const int32_t kSeconds[] = {15, 30, 60, 120};
        arm();
        CardSetStandbyTime(kReader, kKey, kSeconds[variant & 3]);
        Check(SessionReleased());
    }
    arm();
    CardSetPIN(kReader, kKey, "123456");
    Check(SessionReleased());
    arm();
    CardDisablePIN(kReader, kKey);
    Check(SessionReleased());
    arm();
    CardSetkeypad(kReader, kKey, variant & 1);
    Check(SessionReleased());
    arm();
    CardScreenLock(kReader);
    Check(SessionReleased());
    arm();
    CardScreenUnLock(kReader);
    Check(SessionReleased());
    return 0;
}
