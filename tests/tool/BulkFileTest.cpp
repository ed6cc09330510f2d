#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "formats/BulkFile.h"
#include "formats/TextFile.h"
#include "ToolTestFiles.h"

using namespace provisor;

namespace {

// "Hello!" DE AD BE EF, the usual authenticator example secret.
constexpr const char* kSeed = "JBSWY3DPEHPK3PXP";
const std::vector<uint8_t> kSeedBytes{'H', 'e', 'l', 'l', 'o', '!', 0xDE, 0xAD, 0xBE, 0xEF};

BulkEntry Entry(int profile, const std::vector<uint8_t>& seed, const char* algorithm, int otp, int step, int setTime,
                int autoEnter, const std::string& title) {
    BulkEntry e;
    e.profile = profile;
    e.timeStep = step;
    e.setTime = setTime;
    e.autoEnter = autoEnter;
    e.otpLength = otp;
    std::strcpy(e.algorithm, algorithm);
    e.seedLength = static_cast<int32_t>(seed.size());
    std::memcpy(e.title, title.data(), title.size());
    std::memcpy(e.seed, seed.data(), seed.size());
    return e;
}

BulkEntry Delete(int profile) {
    BulkEntry e;
    e.profile = profile;
    e.deleteOnly = 1;
    return e;
}

// The entries of one line, or nothing when the line rejects the file.
std::optional<std::vector<BulkEntry>> Line(const std::string& line) {
    std::vector<BulkEntry> entries;
    if (!ParseBulkLine(line, entries)) return std::nullopt;
    return entries;
}

bool Rejects(const std::string& line) { return !Line(line).has_value(); }

std::string Full(const std::string& seed = kSeed, const std::string& algorithm = "SHA1", const std::string& otp = "6",
                 const std::string& step = "30", const std::string& flags = "NO NO", const std::string& title = "T") {
    return "4 " + seed + " " + algorithm + " " + otp + " " + step + " " + flags + " " + title;
}

}  // namespace

TEST(BulkLine, FullLineAndDeleteLine) {
    EXPECT_EQ(Line(std::string("3 ") + kSeed + " SHA256 8 60 NO YES Bank"),
              std::vector{Entry(3, kSeedBytes, "SHA256", 8, 60, 0, 1, "Bank")});
    // Fields may be separated by several spaces.
    EXPECT_EQ(Line(std::string("12   ") + kSeed + "  sha1   6 30 Yes   no   Mail"),
              std::vector{Entry(12, kSeedBytes, "SHA1", 6, 30, 1, 0, "Mail")});
    for (const char* line : {"5", "5 ", "5      ", "05"}) EXPECT_EQ(Line(line), std::vector{Delete(5)}) << line;
    EXPECT_EQ(Line("99"), std::vector{Delete(99)});
}

TEST(BulkLine, SkippedLinesAddNothing) {
    for (const std::string& line : std::vector<std::string>{
             "", "   ", "Profile Seed Algorithm OTP Step SetTime AutoEnter Title", "#5 a note", "-1", "5a",
             std::string("5\t") + kSeed + " SHA1 6 30 NO NO T", std::string("5\0", 2)}) {
        EXPECT_EQ(Line(line), std::vector<BulkEntry>{}) << line;
    }
}

TEST(BulkLine, RejectedLines) {
    EXPECT_TRUE(Rejects("100"));
    EXPECT_TRUE(Rejects(std::string("100 ") + kSeed + " SHA1 6 30 NO NO T"));
    EXPECT_TRUE(Rejects("99999999999999999999999"));
    // Seven fields need the space after the seventh; with it the title is empty.
    EXPECT_TRUE(Rejects("4 JBSWY3DPEHPK3PXP SHA1 6 30 NO NO"));
    EXPECT_EQ(Line("4 JBSWY3DPEHPK3PXP SHA1 6 30 NO NO "), std::vector{Entry(4, kSeedBytes, "SHA1", 6, 30, 0, 0, "")});
    // Every shorter line: the line cut after each of fields 2 to 6.
    for (const std::string cut : {"4 JBSWY3DPEHPK3PXP", "4 JBSWY3DPEHPK3PXP SHA1", "4 JBSWY3DPEHPK3PXP SHA1 6",
                                  "4 JBSWY3DPEHPK3PXP SHA1 6 30", "4 JBSWY3DPEHPK3PXP SHA1 6 30 NO"}) {
        EXPECT_TRUE(Rejects(cut)) << cut;
        EXPECT_TRUE(Rejects(cut + " ")) << cut;
    }
    for (const char* algorithm : {"SHA-256", "SHA512", "MD5", "SHA"})
        EXPECT_TRUE(Rejects(Full(kSeed, algorithm))) << algorithm;
    for (const char* flags : {"YE NO", "NO Y", "1 0", "NO NOPE"})
        EXPECT_TRUE(Rejects(Full(kSeed, "SHA1", "6", "30", flags)));
    // Leading space: empty first field (profile 0), every other field moves one place.
    EXPECT_TRUE(Rejects(std::string(" 5 ") + kSeed + " SHA1 6 30 NO NO T"));
    EXPECT_EQ(Line(std::string(" ") + kSeed + " SHA1 6 30 NO NO T"),
              std::vector{Entry(0, kSeedBytes, "SHA1", 6, 30, 0, 0, "T")});
}

TEST(BulkLine, NumbersReadByTheLeadingIntegerRule) {
    EXPECT_EQ(Line(Full(kSeed, "SHA1", "8digits", "30s"))->at(0).otpLength, 8);
    EXPECT_EQ(Line(Full(kSeed, "SHA1", "+10", "060"))->at(0).timeStep, 60);
    EXPECT_EQ(Line(Full(kSeed, "SHA1", "\t4", "\v30"))->at(0).otpLength, 4);  // white space, but no separator
    for (const char* otp : {"0", "11", "-1", "x", "", "99999999999999999999"})
        EXPECT_TRUE(Rejects(Full(kSeed, "SHA1", otp))) << otp;
    for (const char* step : {"x", "45", "-30", "3 0", "4294967326"})
        EXPECT_TRUE(Rejects(Full(kSeed, "SHA1", "6", step))) << step;
}

TEST(BulkLine, SeedsAreUpperCaseBase32OfOneTo160Bytes) {
    EXPECT_TRUE(Rejects(Full("jbswy3dpehpk3pxp")));
    EXPECT_TRUE(Rejects(Full("JBSWY3DPEHPK3pXP")));
    EXPECT_TRUE(Rejects(Full("====")));
    EXPECT_TRUE(Rejects(Full("A")));  // 5 bits, no whole byte
    EXPECT_EQ(Line(Full("MFRGG==="))->at(0).seedLength, 3);
    EXPECT_EQ(Line(Full(std::string(256, 'A')))->at(0).seedLength, 160);
    EXPECT_TRUE(Rejects(Full(std::string(264, 'A'))));  // 165 bytes
    EXPECT_TRUE(Rejects(Full(std::string(821, 'A'))));
    EXPECT_TRUE(Rejects(Full(std::string(kSeed) + std::string("\0A", 2))));
}

TEST(BulkLine, TitleIsTheRestOfTheLineUpToTwelveBytes) {
    EXPECT_STREQ(Line(Full(kSeed, "SHA1", "6", "30", "NO NO", "My Bank"))->at(0).title, "My Bank");
    EXPECT_STREQ(Line(Full(kSeed, "SHA1", "6", "30", "NO NO", "   Bank  "))->at(0).title, "Bank  ");
    EXPECT_STREQ(Line(Full(kSeed, "SHA1", "6", "30", "NO NO", "123456789012"))->at(0).title, "123456789012");
    EXPECT_STREQ(Line(Full(kSeed, "SHA1", "6", "30", "NO NO", "Caf\xC3\xA9"))->at(0).title, "Caf\xC3\xA9");
    EXPECT_TRUE(Rejects(Full(kSeed, "SHA1", "6", "30", "NO NO", "1234567890123")));
    EXPECT_STREQ(Line(Full(kSeed, "SHA1", "6", "30", "NO NO", "Tab\tTab\tTab\t"))->at(0).title, "Tab\tTab\tTab\t");
    EXPECT_TRUE(Rejects(Full(kSeed, "SHA1", "6", "30", "NO NO", std::string("Ba\0nk", 5))));
}

TEST(BulkLine, FieldLengthLimits) {
    EXPECT_EQ(Line(std::string(254, '0') + "5"), std::vector{Delete(5)});
    EXPECT_TRUE(Rejects(std::string(255, '0') + "5"));
    EXPECT_TRUE(Rejects(std::string(256, 'x') + " a long note"));
}

TEST(BulkText, LinesInFileOrderAllOrNothing) {
    const std::string good = std::string("Profile Seed ...\r\n") + "2 " + kSeed + " SHA1 6 30 NO NO First\r\n" +
                             "2\r\n" + "2 MFRGG SHA256 8 60 YES YES Second\r\n" + "\r\n" + "7";  // no final line feed
    const std::vector<BulkEntry> expected{Entry(2, kSeedBytes, "SHA1", 6, 30, 0, 0, "First"), Delete(2),
                                          Entry(2, {'a', 'b', 'c'}, "SHA256", 8, 60, 1, 1, "Second"), Delete(7)};
    std::vector<BulkEntry> out{Delete(42)};
    ASSERT_TRUE(ParseBulkText(good, out));
    EXPECT_EQ(out, expected);

    // One bad line anywhere keeps the previous list.
    for (const std::string& bad :
         std::vector<std::string>{good + "\n100", "100\n" + good, good + "\n1 mfrgg SHA1 6 30 NO NO x"}) {
        EXPECT_FALSE(ParseBulkText(bad, out));
        EXPECT_EQ(out, expected);
    }
    ASSERT_TRUE(ParseBulkText("Just a note\n\n", out));
    EXPECT_TRUE(out.empty());
}

TEST(LoadBulkFile, ReadsFilesAndRefusesWhatCannotBeRead) {
    const auto dir = tooltest::MakeTempDir("bulk");
    std::vector<BulkEntry> out{Delete(1)};
    EXPECT_FALSE(LoadBulkFile("", out));
    EXPECT_FALSE(LoadBulkFile(dir / "missing.txt", out));
    EXPECT_FALSE(LoadBulkFile(dir, out));
    // Neither a FIFO (which would block) nor a file past the size limit is read.
    ASSERT_EQ(mkfifo((dir / "fifo.txt").c_str(), 0600), 0);
    EXPECT_FALSE(LoadBulkFile(dir / "fifo.txt", out));
    tooltest::WriteFile(dir / "huge.txt", "5\n");
    std::filesystem::resize_file(dir / "huge.txt", kOperatorFileLimit + 1);
    EXPECT_FALSE(LoadBulkFile(dir / "huge.txt", out));
    EXPECT_EQ(out, std::vector{Delete(1)});

    tooltest::WriteFile(dir / "nul.txt", std::string("5\0\n6\n", 5));
    ASSERT_TRUE(LoadBulkFile(dir / "nul.txt", out));
    EXPECT_EQ(out, std::vector{Delete(6)});
    tooltest::WriteFile(dir / "empty.txt", "");
    ASSERT_TRUE(LoadBulkFile(dir / "empty.txt", out));
    EXPECT_TRUE(out.empty());
    std::filesystem::remove_all(dir);

    // The example shipped with the documentation.
    ASSERT_TRUE(LoadBulkFile(std::filesystem::path(EXAMPLES_DIR) / "bulk-example.txt", out));
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[0].seedLength, 20);
    EXPECT_STREQ(out[1].title, "Bank Account");
    EXPECT_EQ(out[1].seedLength, 32);
    EXPECT_STREQ(out[2].algorithm, "SHA1");
    EXPECT_EQ(out[2].autoEnter, 1);
    EXPECT_EQ(out[3], Delete(7));
}
