// The trace calls as a viewer sees them: records in the ring, byte by byte.
#include "Trace.h"
#include "TraceTestSupport.h"
#include "VkLogger.h"

#include <cstring>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace quillon::test {
namespace {

uint32_t U32At(const uint8_t* p, size_t off) {
    return uint32_t(p[off]) | uint32_t(p[off + 1]) << 8 | uint32_t(p[off + 2]) << 16 | uint32_t(p[off + 3]) << 24;
}

uint64_t U64At(const uint8_t* p, size_t off) { return uint64_t(U32At(p, off)) | uint64_t(U32At(p, off + 4)) << 32; }

class TraceCallsTest : public PrivateRingTest {
protected:
    void SetUp() override {
        PrivateRingTest::SetUp();
        // The viewer keeps the ring alive across TraceEnd and reads it.
        viewer_ = std::make_unique<CVkShmLogger>(names_);
        ASSERT_EQ(viewer_->Attach(), 0);
    }
    void TearDown() override {
        while (TraceEnd() == 0) {}
        viewer_.reset();
        PrivateRingTest::TearDown();
    }

    CLockfreeArrayQueue& Q() { return viewer_->Queue(); }
    uint32_t Count() { return Q().Commit() - Q().Tail(); }
    const uint8_t* Rec(uint32_t i) { return Q().Slot(Q().Tail() + i); }
    std::string Text(uint32_t i) { return reinterpret_cast<const char*>(Rec(i) + 152); }

    std::unique_ptr<CVkShmLogger> viewer_;
};

TEST_F(TraceCallsTest, RecordFieldsLieAtTheirOffsets) {
    TraceBegin();
    uint64_t before = TraceTimeNow();
    TraceLine(TRACE_WARNING, "dir/CardVerify.cpp", 321, "value=%d %s", 42, "ok");
    uint64_t after = TraceTimeNow();
    ASSERT_EQ(Count(), 1u);

    const uint8_t* r = Rec(0);
    EXPECT_EQ(U32At(r, 0), 2u);
    EXPECT_STREQ(reinterpret_cast<const char*>(r + 4), "dir/CardVerify.cpp");
    for (size_t i = 4 + 18; i < 132; ++i) ASSERT_EQ(r[i], 0) << "file byte " << i;
    uint64_t t = U64At(r, 132);
    EXPECT_GE(t, before);
    EXPECT_LE(t, after);
    // 100-ns ticks since 1601: later than 2020-01-01 (132223104000000000).
    EXPECT_GT(t, 132223104000000000ULL);
    EXPECT_EQ(U32At(r, 140), uint32_t(getpid()));
    EXPECT_EQ(U32At(r, 144), uint32_t(gettid()));
    EXPECT_EQ(U32At(r, 148), 321u);
    EXPECT_EQ(std::memcmp(r + 152, "value=42 ok", 12), 0);  // includes the terminator
    for (size_t i = 152 + 12; i < 4256; ++i) ASSERT_EQ(r[i], 0) << "text byte " << i;
    EXPECT_EQ(U64At(r, 4256), t);
    for (size_t i = 4264; i < 5120; ++i) ASSERT_EQ(r[i], 0) << "tail byte " << i;
}

TEST_F(TraceCallsTest, LongFileNameKeepsItsLast127Characters) {
    std::string file(200, 'a');
    for (size_t i = 0; i < file.size(); ++i) file[i] = char('a' + i % 26);
    TraceBegin();
    TraceLine(TRACE_INFO, file.c_str(), 1, "x");
    std::string exact127(127, 'q');
    TraceLine(TRACE_INFO, exact127.c_str(), 2, "y");
    ASSERT_EQ(Count(), 2u);

    const char* stored = reinterpret_cast<const char*>(Rec(0) + 4);
    EXPECT_EQ(std::string(stored), file.substr(200 - 127));
    EXPECT_EQ(Rec(0)[4 + 127], 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(Rec(1) + 4)), exact127);
}

TEST_F(TraceCallsTest, HexDumpIsSplitInto2048ByteChunks) {
    std::vector<uint8_t> bytes(5000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 7 + 3);
    TraceBegin();
    TraceHex(TRACE_INFO, "hex.cpp", 9, bytes.data(), bytes.size());
    ASSERT_EQ(Count(), 3u);

    static const char* digits = "0123456789ABCDEF";
    std::string expected;
    for (uint8_t b : bytes) {
        expected += digits[b >> 4];
        expected += digits[b & 15];
    }
    EXPECT_EQ(Text(0).size(), 4096u);
    EXPECT_EQ(Text(1).size(), 4096u);
    EXPECT_EQ(Text(2).size(), 1808u);
    EXPECT_EQ(Text(0) + Text(1) + Text(2), expected);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(U32At(Rec(i), 148), 9u);
        EXPECT_EQ(U32At(Rec(i), 0), 1u);
    }
}

TEST_F(TraceCallsTest, EveryRecordCarriesTheLevelOfItsCall) {
    std::vector<uint8_t> bytes(4100, 0x5A);  // three chunks
    TraceBegin();
    TraceHex(TRACE_ERROR, "lvl.cpp", 1, bytes.data(), bytes.size());
    TraceHex(TRACE_WARNING, "lvl.cpp", 2, bytes.data(), 0);
    TraceLine(TRACE_WARNING, "lvl.cpp", 3, "attach %s", "note");
    TraceLine(TRACE_ERROR, "lvl.cpp", 4, "failed");
    TraceLine(TRACE_INFO, "lvl.cpp", 5, "plain");
    // An overlong warning: the note about the cut is an error, the cut text
    // keeps the warning level.
    TraceLine(TRACE_WARNING, "lvl.cpp", 6, "%s", std::string(5000, 'w').c_str());

    const std::vector<std::pair<uint32_t, uint32_t>> expected = {
        // (line, level)
        {1, 3}, {1, 3}, {1, 3}, {2, 2}, {3, 2}, {4, 3}, {5, 1}, {6, 3}, {6, 2}};
    ASSERT_EQ(Count(), expected.size());
    for (uint32_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(U32At(Rec(i), 148), expected[i].first) << "record " << i;
        EXPECT_EQ(U32At(Rec(i), 0), expected[i].second) << "record " << i << ": " << Text(i).substr(0, 40);
    }
}

TEST_F(TraceCallsTest, HexDumpOfNothingAndOfNull) {
    TraceBegin();
    uint8_t byte = 0xAB;
    TraceHex(TRACE_INFO, "hex.cpp", 1, &byte, 0);
    ASSERT_EQ(Count(), 1u);
    EXPECT_EQ(Text(0), "");
    TraceHex(TRACE_INFO, "hex.cpp", 2, nullptr, 16);
    TraceHex(TRACE_INFO, "hex.cpp", 3, nullptr, 0);
    EXPECT_EQ(Count(), 1u);
    TraceHex(TRACE_INFO, "hex.cpp", 4, &byte, 1);
    EXPECT_EQ(Text(1), "AB");
}

TEST_F(TraceCallsTest, OverlongLineIsPrecededByANoteAndCut) {
    std::string big(5000, 'z');
    big[4095] = 'E';  // last character that survives
    TraceBegin();
    TraceLine(TRACE_INFO, "long.cpp", 77, "%s", big.c_str());
    ASSERT_EQ(Count(), 2u);
    EXPECT_EQ(U32At(Rec(0), 0), 3u);
    EXPECT_EQ(Text(0), "VkStrVPrintf failed due to buffer may be too small");
    EXPECT_EQ(U32At(Rec(0), 148), 77u);
    EXPECT_EQ(U32At(Rec(1), 0), 1u);
    EXPECT_EQ(Text(1), big.substr(0, 4096));

    // Exactly 4096 characters fit without a note.
    TraceLine(TRACE_INFO, "long.cpp", 78, "%s", big.substr(0, 4096).c_str());
    ASSERT_EQ(Count(), 3u);
    EXPECT_EQ(Text(2).size(), 4096u);
}

TEST_F(TraceCallsTest, NullFormatWritesNothing) {
    TraceBegin();
    TraceLine(TRACE_INFO, "f.cpp", 1, nullptr);
    EXPECT_EQ(Count(), 0u);
}

TEST_F(TraceCallsTest, BeginAndEndAreReferenceCounted) {
    EXPECT_EQ(TraceEnd(), -1);  // nothing to end, and nothing changes
    TraceLine(TRACE_INFO, "f.cpp", 1, "before any begin");
    EXPECT_EQ(Count(), 0u);

    TraceBegin();
    TraceBegin();
    EXPECT_EQ(TraceEnd(), 0);
    TraceLine(TRACE_INFO, "f.cpp", 2, "still one begin open");
    EXPECT_EQ(Count(), 1u);
    EXPECT_EQ(TraceEnd(), 0);
    TraceLine(TRACE_INFO, "f.cpp", 3, "after the last end");
    EXPECT_EQ(Count(), 1u);
    EXPECT_EQ(TraceEnd(), -1);

    TraceBegin();  // a later first begin attaches again
    TraceLine(TRACE_INFO, "f.cpp", 4, "again");
    EXPECT_EQ(Count(), 2u);
}

TEST_F(TraceCallsTest, LoggerConfigurationIsComparedAndKeptOnFailure) {
    CVkLogger logger(names_);
    EXPECT_EQ(logger.Mode(), uint32_t(LOGGER_MODE_NONE));
    EXPECT_NE(logger.Write(1, "f.cpp", 1, "mode 0 drops"), 0);

    LoggerConfig ring{};
    ring.mode = LOGGER_MODE_RING;
    ASSERT_EQ(logger.Configure(ring), 0);
    EXPECT_EQ(logger.Configure(ring), 0);  // unchanged: nothing to do
    EXPECT_EQ(logger.Write(1, "f.cpp", 2, "ring"), 0);
    EXPECT_EQ(Count(), 1u);

    LoggerConfig none{};
    ASSERT_EQ(logger.Configure(none), 0);
    EXPECT_FALSE(logger.Ring().IsAttached());
    EXPECT_NE(logger.Write(1, "f.cpp", 3, "dropped"), 0);
    EXPECT_EQ(Count(), 1u);
}

}  // namespace
}  // namespace quillon::test
