// One export per input, with arguments and token answers taken from the
// input, against the in-process PC/SC double.
//
// Input layout (missing bytes read as 0):
//   byte 0     the export (index into kCommands, modulo their number)
//   byte 1     the session: bits 0-1 which transmit fails (none, 1st, 2nd,
//              3rd), bit 2 no context, bit 3 no connection, bit 4 a null
//              reader, bit 5 a reader that is not there, bits 6-7 the
//              PC/SC code of the failures
//   then       the export's arguments, each read by the Args helpers below
//   the rest   token answers: a 2-byte big-endian prefix whose low 11 bits
//              are the length (so answers longer than the 1024-byte response
//              buffer occur); bit 14 puts the profile record marker at
//              offset 3 and bit 15 appends 90 00. They are handed out in
//              turn to whatever the export sends; with none, every answer
//              is 90 00.
//
// Texts and caller buffers live in heap blocks of exactly their size, so
// AddressSanitizer sees any read or write past them; output buffers carry
// canary bytes as well, for the builds without it. Every export must keep
// within its buffers, write only meaningful values to its outputs, return a
// status it may return, send a bounded number of APDUs and release the
// session.
#include "CardSession.h"
#include "PcscDouble.h"
#include "Quillon.h"
#include "TraceObjects.h"
#include "VkShmLogger.h"

#include <PCSC/pcsclite.h>

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

const char* kReader = "Norvik Reader 0";
constexpr uint8_t kCanary = 0xA5;
// Two exchanges at most per export, each with up to 32 GET RESPONSE re-sends.
constexpr size_t kMaxTransmits = 2 * (1 + 32);

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

// Reads arguments from the front of the input; past its end every byte is 0.
class Args {
public:
    Args(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}

    uint8_t Byte() { return p_ < end_ ? *p_++ : 0; }

    // Small values directly (-32..191, which covers profile numbers, their
    // edges and the small option values), anything else as 4 raw bytes.
    int32_t Int() {
        const uint8_t b = Byte();
        if (b < 0xE0) return static_cast<int32_t>(b) - 32;
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = (v << 8) | Byte();
        return static_cast<int32_t>(v);
    }

    // A NUL-terminated text of up to maxLength bytes in a block of exactly
    // its size, or null (length byte FF). Embedded NULs simply end it early.
    std::unique_ptr<char[]> Text(size_t maxLength) {
        const uint8_t n = Byte();
        if (n == 0xFF) return nullptr;
        const size_t len = n < maxLength ? n : maxLength;
        auto text = std::make_unique<char[]>(len + 1);
        for (size_t i = 0; i < len; ++i) text[i] = static_cast<char>(Byte());
        text[len] = '\0';
        return text;
    }

    // Bytes copied into a block of exactly n bytes.
    std::unique_ptr<uint8_t[]> Bytes(size_t n) {
        auto bytes = std::make_unique<uint8_t[]>(n);
        for (size_t i = 0; i < n; ++i) bytes[i] = Byte();
        return bytes;
    }

    const uint8_t* Rest() const { return p_; }
    size_t RestSize() const { return static_cast<size_t>(end_ - p_); }

private:
    const uint8_t* p_;
    const uint8_t* end_;
};

// A caller's output buffer of exactly `capacity` bytes followed by canaries,
// or null.
class OutBuffer {
public:
    OutBuffer(uint32_t capacity, bool null) : capacity_(capacity) {
        if (null) return;
        block_ = std::make_unique<uint8_t[]>(capacity + kGuard);
        std::memset(block_.get(), kCanary, capacity + kGuard);
    }
    char* text() { return reinterpret_cast<char*>(block_.get()); }
    const uint8_t* bytes() const { return block_.get(); }
    bool intact() const {
        for (size_t i = 0; block_ && i < kGuard; ++i)
            if (block_[capacity_ + i] != kCanary) return false;
        return true;
    }

private:
    static constexpr size_t kGuard = 16;
    uint32_t capacity_;
    std::unique_ptr<uint8_t[]> block_;
};

// Capacities 0..254 as given; FF offers room for the longest answer.
uint32_t Capacity(uint8_t b) { return b == 0xFF ? 1100 : b; }

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

bool SessionReleased() {
    const quillon::CardSession& s = quillon::CurrentCardSession();
    return s.context == 0 && s.card == 0 && pcscdouble::LiveContexts() == 0 && pcscdouble::LiveCards() == 0;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// "YYYY-MM-DD hh:mm:ss"
bool IsClockText(const char* t) {
    static const char pattern[] = "dddd-dd-dd dd:dd:dd";
    for (int i = 0; i < 19; ++i) {
        if (pattern[i] == 'd' ? !IsDigit(t[i]) : t[i] != pattern[i]) return false;
    }
    return true;
}

// Statuses an export may return: its own codes, and for the reads that pass
// them through, PC/SC codes (0x8010xxxx).
enum Passes : unsigned { kOwnCodes = 0, kPcscCodes = 1, kTriesLeft = 2 };

bool Allowed(uint32_t rc, unsigned passes) {
    switch (rc) {
        case CARD_OK:
        case CARD_E_STATUS_WORD:
        case CARD_E_NOT_CONNECTED:
        case CARD_E_MISSING_ARG:
        case CARD_E_AUTH_FAILED_UNLIMITED:
        case CARD_E_SEED_LENGTH:
        case CARD_E_BAD_ARG:
        case CARD_E_KEY_LOCKED:
        case CARD_E_EXCHANGE:
        case CARD_E_PROFILE_RANGE:
        case CARD_E_KEY_LENGTH:
        case CARD_E_TIME_FORMAT:
        case CARD_E_BUFFER_TOO_SMALL:
        case CARD_E_NO_SEED:
        case CARD_E_CONFIRM_TIMEOUT:
        case CARD_E_CONFIRM_CANCELLED: return true;
        default: break;
    }
    if ((passes & kTriesLeft) && rc >= CARD_W_TRIES_LEFT && rc <= CARD_W_TRIES_LEFT_MAX) return true;
    return (passes & kPcscCodes) && (rc & 0xFFFF0000u) == 0x80100000u;
}

struct Run {
    Args& in;
    const char* reader;
};

// ---- The exports, one function each --------------------------------------

void ReadSnAndTime(Run& r) {
    const int32_t profile = r.in.Int();
    const uint8_t nulls = r.in.Byte();
    const uint32_t serialCap = Capacity(r.in.Byte()), clockCap = Capacity(r.in.Byte());
    OutBuffer serial(serialCap, nulls & 1), clock(clockCap, nulls & 2);
    uint32_t serialLen = serialCap, clockLen = clockCap;
    const uint32_t rc = CardReadSnAndTime(r.reader, profile, serial.text(), (nulls & 4) ? nullptr : &serialLen,
                                          clock.text(), (nulls & 8) ? nullptr : &clockLen);
    Check(Allowed(rc, kPcscCodes));
    Check(serial.intact() && clock.intact() && serialLen <= serialCap && clockLen <= clockCap);
    if (rc == CARD_OK) {
        // The serial field ends at its first zero byte.
        Check(std::memchr(serial.bytes(), 0, serialLen) == nullptr);
        Check(clockLen == 19 && IsClockText(clock.text()));
    }
}

void Verify(Run& r) {
    const auto key = r.in.Text(40);
    Check(Allowed(CardVerify(r.reader, key.get()), kTriesLeft));
}

void ChangeKey(Run& r) {
    const auto key = r.in.Text(40);
    const auto newKey = r.in.Text(40);
    Check(Allowed(CardChangeKey(r.reader, key.get(), newKey.get()), kOwnCodes));
}

void InitKey(Run& r) { Check(Allowed(CardInitKey(r.reader), kOwnCodes)); }

void BurnSeed(Run& r) {
    const auto key = r.in.Text(40);
    const int32_t profile = r.in.Int();
    const int32_t seedLen = r.in.Int();
    const bool nullSeed = r.in.Byte() & 1;
    // A length outside 1..160 must be refused before the seed is read, so it
    // gets a single byte behind it.
    const size_t held = seedLen >= 1 && seedLen <= 160 ? static_cast<size_t>(seedLen) : 1;
    const auto seed = r.in.Bytes(held);
    Check(Allowed(CardBurnSeed(r.reader, key.get(), profile, nullSeed ? nullptr : seed.get(), seedLen), kOwnCodes));
}

void DeleteSeed(Run& r) { Check(Allowed(CardDeleteSeed(r.reader, r.in.Int()), kOwnCodes)); }

void GetSeedFlag(Run& r) {
    const int32_t profile = r.in.Int();
    const bool nullOut = r.in.Byte() & 1;
    auto present = std::make_unique<int32_t>(-7);
    const uint32_t rc = CardGetSeedFlag(r.reader, profile, nullOut ? nullptr : present.get());
    Check(Allowed(rc, kPcscCodes));
    Check(*present == -7 || (rc == CARD_OK && *present >= 0 && *present <= 255));
}

void ReadSeedInfo(Run& r) {
    const int32_t profile = r.in.Int();
    const uint8_t nulls = r.in.Byte();
    int32_t clear = -7, enter = -7, kept = -7;
    const uint32_t rc = CardReadSeedInfo(r.reader, profile, (nulls & 1) ? nullptr : &clear,
                                         (nulls & 2) ? nullptr : &enter, (nulls & 4) ? nullptr : &kept);
    Check(Allowed(rc, kPcscCodes));
    if (rc == CARD_OK) {
        Check((nulls & 1) ? clear == -7 : (clear == 0 || clear == 1));
        Check((nulls & 2) ? enter == -7 : (enter == 0 || enter == 1));
        Check((nulls & 4) ? kept == -7 : (kept & ~static_cast<int32_t>(PROFILE_FLAGS_KEEP)) == 0);
    } else {
        Check(clear == -7 && enter == -7 && kept == -7);
    }
}

void ReadOTP(Run& r) {
    const auto key = r.in.Text(40);
    const int32_t profile = r.in.Int();
    const bool nullOut = r.in.Byte() & 1;
    OutBuffer otp(16, nullOut);
    if (!nullOut) std::memset(otp.text(), 0, 16);
    Check(Allowed(CardReadOTP(r.reader, key.get(), profile, otp.text()), kOwnCodes));
    // At most 15 bytes: the zeroed buffer stays a terminated string.
    Check(otp.intact() && (nullOut || otp.bytes()[15] == 0));
}

void Seal(Run& r) {
    const auto key = r.in.Text(40);
    Check(Allowed(CardSeal(r.reader, key.get()), kOwnCodes));
}

void Config(Run& r) {
    const auto key = r.in.Text(40);
    const int32_t profile = r.in.Int();
    const auto algorithm = r.in.Text(10);
    const int32_t timeStep = r.in.Int(), otpLength = r.in.Int(), clearSeed = r.in.Int();
    const auto timeText = r.in.Text(64);
    const auto title = r.in.Text(16);
    const int32_t autoEnter = r.in.Int(), baseFlags = r.in.Int();
    Check(Allowed(CardConfig(r.reader, key.get(), profile, algorithm.get(), timeStep, otpLength, clearSeed,
                             timeText.get(), title.get(), autoEnter, baseFlags),
                  kOwnCodes));
}

void SetTime(Run& r) {
    const auto key = r.in.Text(40);
    const auto clockText = r.in.Text(64);
    const int32_t option = r.in.Int();
    Check(Allowed(CardSetTime(r.reader, key.get(), clockText.get(), option), kOwnCodes));
}

void ChgPrompt(Run& r) {
    const auto key = r.in.Text(40);
    const int32_t profile = r.in.Int();
    const uint32_t titleLen = static_cast<uint32_t>(r.in.Int());
    const bool nullTitle = r.in.Byte() & 1;
    // Over 12 must be refused before the title is read: 16 bytes behind it.
    const auto title = r.in.Bytes(titleLen < 16 ? titleLen : 16);
    Check(Allowed(CardChgPrompt(r.reader, key.get(), profile,
                                nullTitle ? nullptr : reinterpret_cast<const char*>(title.get()), titleLen),
                  kOwnCodes));
}

void SetStandbyTime(Run& r) {
    const auto key = r.in.Text(40);
    Check(Allowed(CardSetStandbyTime(r.reader, key.get(), r.in.Int()), kOwnCodes));
}

void SetPIN(Run& r) {
    const auto key = r.in.Text(40);
    const auto pin = r.in.Text(10);
    Check(Allowed(CardSetPIN(r.reader, key.get(), pin.get()), kOwnCodes));
}

void DisablePIN(Run& r) {
    const auto key = r.in.Text(40);
    Check(Allowed(CardDisablePIN(r.reader, key.get()), kOwnCodes));
}

void Setkeypad(Run& r) {
    const auto key = r.in.Text(40);
    Check(Allowed(CardSetkeypad(r.reader, key.get(), r.in.Int()), kOwnCodes));
}

void ScreenLock(Run& r) { Check(Allowed(CardScreenLock(r.reader), kPcscCodes)); }
void ScreenUnLock(Run& r) { Check(Allowed(CardScreenUnLock(r.reader), kPcscCodes)); }

using Command = void (*)(Run&);
constexpr Command kCommands[] = {
    ReadSnAndTime, Verify,     ChangeKey, InitKey,    BurnSeed,     DeleteSeed, GetSeedFlag,
    ReadSeedInfo,  ReadOTP,    Seal,      Config,     SetTime,      ChgPrompt,  SetStandbyTime,
    SetPIN,        DisablePIN, Setkeypad, ScreenLock, ScreenUnLock,
};
static_assert(sizeof kCommands / sizeof kCommands[0] == 19);

// The trace lines go to a ring of the fuzzer's own, not the machine's, and
// the ring goes when the fuzzer exits.
void UsePrivateTraceRing() {
    static const char kPrefix[] = "QuillonFuzz";
    quillon::SetTraceObjectPrefixForTesting(kPrefix);
    std::atexit([] { quillon::ReleaseParkedTraceRing(); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool once = (UsePrivateTraceRing(), true);
    (void)once;

    Args in(data, size);
    const Command command = kCommands[in.Byte() % (sizeof kCommands / sizeof kCommands[0])];
    const uint8_t session = in.Byte();
    static const LONG kFailures[] = {static_cast<LONG>(SCARD_E_COMM_DATA_LOST), static_cast<LONG>(SCARD_W_REMOVED_CARD),
                                     static_cast<LONG>(SCARD_E_NO_SMARTCARD), static_cast<LONG>(SCARD_E_TIMEOUT)};
    const LONG failure = kFailures[session >> 6];

    pcscdouble::Reset();
    if (session & 3) pcscdouble::FailTransmitAt((session & 3) - 1, failure);
    if (session & 4) pcscdouble::FailEstablish(failure, 1);
    if (session & 8) pcscdouble::FailConnect(failure, 1);
    const char* reader = (session & 0x10) ? nullptr : (session & 0x20) ? "Norvik Reader 9" : kReader;

    // Each command reads all of its export's arguments before calling it, so
    // by the first transmit the rest of the input is the answers.
    Run run{in, reader};
    std::vector<pcscdouble::Bytes> answers;
    size_t next = 0;
    bool split = false;
    pcscdouble::SetResponder([&](const pcscdouble::Bytes&) {
        if (!split) {
            answers = SplitAnswers(in.Rest(), in.RestSize());
            split = true;
        }
        if (answers.empty()) return pcscdouble::Bytes{0x90, 0x00};
        return answers[next++ % answers.size()];
    });
    command(run);

    Check(SessionReleased());
    Check(pcscdouble::TransmitCount() <= kMaxTransmits);
    // Whatever the double recorded goes now: memory still held after a run
    // makes libFuzzer run the input again under its leak checker.
    pcscdouble::Reset();
    return 0;
}
