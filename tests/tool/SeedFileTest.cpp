#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "formats/SeedFile.h"
#include "formats/TextFile.h"
#include "ToolTestFiles.h"

using namespace provisor;

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kAbc{'a', 'b', 'c'};

// Two records, a grouped seed, a line without a blank, CRLF line ends and no
// final line feed.
const std::string kFile =
    "NV2A00000001 JBSWY3DPEHPK3PXP\r\n"
    "a-line-without-blank\r\n"
    "\r\n"
    "NV2A00000002 MF RG G===\r\n"
    "NV2A00000003  MZXW6YQ=";

}  // namespace

TEST(SeedFile, RecordsBecomeUpperCaseHexLookedUpAsBytes) {
    SeedTable table{{"stale", "00"}};
    ASSERT_TRUE(ParseSeedText(kFile, "NV2A00000001", table));
    EXPECT_EQ(table,
              (SeedTable{
                  {"NV2A00000001", "48656C6C6F21DEADBEEF"}, {"NV2A00000002", "616263"}, {"NV2A00000003", "666F6F62"}}));
    EXPECT_EQ(LookUpSeed(table, "NV2A00000002"), kAbc);
    EXPECT_EQ(LookUpSeed(table, "NV2A00000003"), (Bytes{'f', 'o', 'o', 'b'}));
    EXPECT_EQ(LookUpSeed(table, "NV2A0000000"), std::nullopt);
    EXPECT_EQ(LookUpSeed(table, "nv2a00000001"), std::nullopt);
}

TEST(SeedFile, SerialIsLookedForOnceTheWholeFileIsIn) {
    SeedTable table;
    // The token's record last: the check must not run after the first record.
    EXPECT_TRUE(ParseSeedText(kFile, "NV2A00000003", table));
    EXPECT_EQ(table.size(), 3u);
    EXPECT_FALSE(ParseSeedText(kFile, "NV2A00000009", table));
    EXPECT_TRUE(table.empty());
    // No token in the reader: loaded without the check.
    EXPECT_TRUE(ParseSeedText(kFile, "", table));
    EXPECT_EQ(table.size(), 3u);
    EXPECT_TRUE(ParseSeedText("no-records-here\n", "", table));
    EXPECT_TRUE(table.empty());
}

TEST(SeedFile, LaterRecordReplacesEarlierOne) {
    SeedTable table;
    ASSERT_TRUE(ParseSeedText("SN1 JBSWY3DPEHPK3PXP\nSN2 MZXW6YQ=\nSN1 MFRGG\n", "SN1", table));
    EXPECT_EQ(LookUpSeed(table, "SN1"), kAbc);
    EXPECT_EQ(table.size(), 2u);
}

TEST(SeedFile, OneBadRecordFailsTheLoadAndLeavesTheTableEmpty) {
    const std::string good = "SN1 MFRGG\n";
    for (const std::string& bad :
         std::vector<std::string>{"SN2 mfrgg", "SN2 MFRGG\t", "SN2 ", "SN2 ====", "   ", "SN2 A",
                                  "SN2 " + std::string(264, 'A'), std::string("SN2 MF\0RGG", 10)}) {
        SeedTable table;
        EXPECT_FALSE(ParseSeedText(good + bad + "\n" + good, "SN1", table)) << bad;
        EXPECT_TRUE(table.empty()) << bad;
    }
    SeedTable table;
    EXPECT_TRUE(ParseSeedText("SN2 " + std::string(256, 'A'), "SN2", table));
    EXPECT_EQ(LookUpSeed(table, "SN2")->size(), 160u);
}

TEST(LoadSeedFile, ReadsFilesAndEmptiesTheTableFirst) {
    SeedTable table{{"stale", "00"}};
    EXPECT_FALSE(LoadSeedFile("", "", table));
    EXPECT_TRUE(table.empty());
    const auto dir = tooltest::MakeTempDir("seeds");
    table = {{"stale", "00"}};
    EXPECT_FALSE(LoadSeedFile(dir / "missing.txt", "", table));
    EXPECT_TRUE(table.empty());
    EXPECT_FALSE(LoadSeedFile(dir, "", table));
    tooltest::WriteFile(dir / "huge.txt", "");
    std::filesystem::resize_file(dir / "huge.txt", kOperatorFileLimit + 1);
    EXPECT_FALSE(LoadSeedFile(dir / "huge.txt", "", table));
    tooltest::WriteFile(dir / "seeds.txt", kFile);
    EXPECT_TRUE(LoadSeedFile(dir / "seeds.txt", "NV2A00000002", table));
    EXPECT_EQ(LookUpSeed(table, "NV2A00000002"), kAbc);
    std::filesystem::remove_all(dir);

    // The example shipped with the documentation.
    ASSERT_TRUE(LoadSeedFile(std::filesystem::path(EXAMPLES_DIR) / "seeds-example.txt", "NV2A00000003", table));
    EXPECT_EQ(table.size(), 4u);
    EXPECT_EQ(table.at("NV2A00000001"), "6D4F3CC6FAAD640200BCA08055AEA0164D5D38C7");
    EXPECT_EQ(table.at("NV2A00000002"), "CDA03733F77B054E67B4785B31EAE2F3A2AF15BDD19E52827378F12ECE684139");
    EXPECT_EQ(LookUpSeed(table, "NV2A00000003")->size(), 10u);
}
