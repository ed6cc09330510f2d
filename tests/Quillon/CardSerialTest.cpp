// Serial number and clock reading.
#include "CommandTestSupport.h"

#include <PCSC/pcsclite.h>

#include <cstring>

using namespace quillon::testing;
using pcscdouble::Bytes;

namespace {

// 4 leading bytes, serial field, 2 unused bytes, clock, status word.
Bytes SerialResponse(const Bytes& serialField, uint32_t clock, Bytes sw = {0x90, 0x00}) {
    Bytes r = {0x01, 0x02, 0x03, 0x04};
    for (uint8_t b : serialField) r.push_back(b);
    r.push_back(0xEE);
    r.push_back(0xEE);
    for (int shift = 24; shift >= 0; shift -= 8) r.push_back(static_cast<uint8_t>(clock >> shift));
    for (uint8_t b : sw) r.push_back(b);
    return r;
}

Bytes Ascii(const char* s) { return Bytes(s, s + std::strlen(s)); }

struct Result {
    uint32_t status;
    std::string serial;
    std::string clock;
    uint32_t serialLen;
    uint32_t clockLen;
};

Result Read(int32_t profile = 0, uint32_t serialCap = 32, uint32_t clockCap = 64, const char* reader = kReader) {
    char serial[64];
    char clock[64];
    std::memset(serial, '#', sizeof serial);
    std::memset(clock, '#', sizeof clock);
    uint32_t sl = serialCap, cl = clockCap;
    uint32_t status = CardReadSnAndTime(reader, profile, serial, &sl, clock, &cl);
    return {status, std::string(serial, sl <= 64 ? sl : 0), std::string(clock, cl <= 64 ? cl : 0), sl, cl};
}

class CardReadSnAndTimeTest : public quillon::testing::CommandTest {};

TEST_F(CardReadSnAndTimeTest, SendsTheSevenByteCommandWithProfileAsP2) {
    for (auto [profile, p2] : {std::pair{0, 0x00}, {99, 0x63}, {-1, 0xFF}}) {
        pcscdouble::Reset();
        pcscdouble::QueueResponse(SerialResponse(Ascii("NV2-0001"), 0));
        ASSERT_EQ(Read(profile).status, CARD_OK);
        ASSERT_EQ(Commands().size(), 1u);
        EXPECT_EQ(Commands()[0], (Bytes{0x80, 0x41, 0x00, static_cast<uint8_t>(p2), 0x02, 0x02, 0x11}));
        EXPECT_EQ(pcscdouble::SentApdus()[0].capacity, 1024u);
        EXPECT_EQ(pcscdouble::LastDisposition(), static_cast<DWORD>(SCARD_LEAVE_CARD));
    }
}

TEST_F(CardReadSnAndTimeTest, RejectsProfileAboveRangeWithoutSending) {
    Result r = Read(100);
    EXPECT_EQ(r.status, CARD_E_PROFILE_RANGE);
    EXPECT_EQ(pcscdouble::TransmitCount(), 0u);
    EXPECT_EQ(pcscdouble::ConnectCount(), 1);  // checked after connecting, then closed
    EXPECT_EQ(r.serialLen, 32u);               // outputs untouched
}

TEST_F(CardReadSnAndTimeTest, ConnectionFailuresReportNotConnected) {
    EXPECT_EQ(Read(0, 32, 64, "Unknown Reader").status, CARD_E_NOT_CONNECTED);
    EXPECT_EQ(Read(0, 32, 64, nullptr).status, CARD_E_NOT_CONNECTED);
    pcscdouble::FailEstablish(static_cast<LONG>(SCARD_E_NO_SERVICE));
    EXPECT_EQ(Read().status, CARD_E_NOT_CONNECTED);
    EXPECT_EQ(pcscdouble::TransmitCount(), 0u);
}

TEST_F(CardReadSnAndTimeTest, SerialStopsAtInnerZeroByte) {
    pcscdouble::QueueResponse(SerialResponse(Bytes{'A', 'B', 0x00, 'C', 'D'}, 0));
    Result r = Read();
    EXPECT_EQ(r.status, CARD_OK);
    EXPECT_EQ(r.serial, "AB");
    EXPECT_EQ(r.serialLen, 2u);
}

TEST_F(CardReadSnAndTimeTest, ClockIsUnsignedUtc) {
    const std::pair<uint32_t, const char*> cases[] = {
        {0u, "1970-01-01 00:00:00"},          {4102444799u, "2099-12-31 23:59:59"},
        {2147483647u, "2038-01-19 03:14:07"}, {2147483648u, "2038-01-19 03:14:08"},
        {4294967295u, "2106-02-07 06:28:15"}, {1709251199u, "2024-02-29 23:59:59"},
    };
    for (auto [seconds, text] : cases) {
        pcscdouble::QueueResponse(SerialResponse(Ascii("X"), seconds));
        Result r = Read();
        ASSERT_EQ(r.status, CARD_OK);
        EXPECT_EQ(r.clock, text);
        EXPECT_EQ(r.clockLen, 19u);
    }
}

TEST_F(CardReadSnAndTimeTest, BufferCapacities) {
    const Bytes serial = Ascii("SN123456");
    pcscdouble::QueueResponse(SerialResponse(serial, 0));
    EXPECT_EQ(Read(0, 8, 19).status, CARD_OK);  // no room for a terminator is needed

    pcscdouble::QueueResponse(SerialResponse(serial, 0));
    Result shortSerial = Read(0, 7, 19);
    EXPECT_EQ(shortSerial.status, CARD_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(shortSerial.serialLen, 7u);  // left as the caller set it

    pcscdouble::QueueResponse(SerialResponse(serial, 0));
    Result shortClock = Read(0, 32, 18);
    EXPECT_EQ(shortClock.status, CARD_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(shortClock.serial, "SN123456");  // already delivered
    EXPECT_EQ(shortClock.clockLen, 18u);
}

TEST_F(CardReadSnAndTimeTest, StatusWordAndShortResponses) {
    pcscdouble::QueueResponse(SerialResponse(Ascii("SN"), 0, {0x6A, 0x82}));
    EXPECT_EQ(Read().status, CARD_E_STATUS_WORD);

    // A success answer too short to hold the fields is not read past its end.
    for (const char* hex : {"", "90", "90 00", "01 02 03 04 05 06 07 08 09 90 00"}) {
        pcscdouble::QueueResponse(Hex(hex));
        Result r = Read();
        EXPECT_EQ(r.status, CARD_E_STATUS_WORD) << hex;
        EXPECT_EQ(r.serialLen, 32u) << hex;
    }
    // Exactly 12 bytes: an empty serial field.
    pcscdouble::QueueResponse(Hex("01 02 03 04 EE EE 00 00 00 00 90 00"));
    Result r = Read();
    EXPECT_EQ(r.status, CARD_OK);
    EXPECT_EQ(r.serialLen, 0u);
    EXPECT_EQ(r.clock, "1970-01-01 00:00:00");
}

TEST_F(CardReadSnAndTimeTest, TransmitErrorIsReturnedUnchanged) {
    pcscdouble::FailTransmitAt(0, static_cast<LONG>(SCARD_W_REMOVED_CARD));
    EXPECT_EQ(Read().status, static_cast<uint32_t>(SCARD_W_REMOVED_CARD));
}

TEST_F(CardReadSnAndTimeTest, EvaluatesTheAnswerAfterGetResponse) {
    pcscdouble::QueueResponse(Hex("90 60"));
    pcscdouble::QueueResponse(Hex("90 60"));
    pcscdouble::QueueResponse(SerialResponse(Ascii("LATE"), 60));
    Result r = Read();
    ASSERT_EQ(r.status, CARD_OK);
    EXPECT_EQ(r.serial, "LATE");
    EXPECT_EQ(r.clock, "1970-01-01 00:01:00");
    auto cmds = Commands();
    ASSERT_EQ(cmds.size(), 3u);
    EXPECT_EQ(cmds[1], Hex("00 C0 00 00 00"));
    EXPECT_EQ(cmds[2], Hex("00 C0 00 00 00"));
}

TEST_F(CardReadSnAndTimeTest, NullOutputsAreRefused) {
    char buf[32];
    uint32_t len = 32;
    EXPECT_EQ(CardReadSnAndTime(kReader, 0, nullptr, &len, buf, &len), CARD_E_MISSING_ARG);
    EXPECT_EQ(CardReadSnAndTime(kReader, 0, buf, nullptr, buf, &len), CARD_E_MISSING_ARG);
    EXPECT_EQ(CardReadSnAndTime(kReader, 0, buf, &len, nullptr, &len), CARD_E_MISSING_ARG);
    EXPECT_EQ(CardReadSnAndTime(kReader, 0, buf, &len, buf, nullptr), CARD_E_MISSING_ARG);
    EXPECT_EQ(pcscdouble::TransmitCount(), 0u);
}

}  // namespace
