// The D4 tag-length-value template: parsing, range checks, and applying it
// all or nothing.
#include "ModelTestSupport.h"

namespace norvik::sim::test {
namespace {

TEST(ConfigTemplate, ParsesTheHostsExample) {
  auto items = ParseConfigTemplate(H("81 12 0A 01 01 0D 01 1E 0B 01 06 23 01 05 71 04 4D 61 69 6C"));
  ASSERT_TRUE(items);
  EXPECT_EQ(items->algorithm, 1);
  EXPECT_EQ(items->timeStep, 30);
  EXPECT_EQ(items->digits, 6);
  EXPECT_EQ(items->flags, 0x05);
  EXPECT_EQ(items->title, "Mail");
  EXPECT_FALSE(items->time);
  auto t = ParseConfigTemplate(H("81 09 0F 04 65 E0 71 C0 22 01 03"));
  ASSERT_TRUE(t);
  EXPECT_EQ(t->time, 0x65E071C0u);
  EXPECT_EQ(t->timeOption, 3);
  auto empty = ParseConfigTemplate(H("81 02 71 00"));
  ASSERT_TRUE(empty && empty->title);
  EXPECT_EQ(*empty->title, "");
}

TEST(ConfigTemplate, RejectsBrokenFramingAndValues) {
  for (const char* bad : {
           "",                                                    // nothing
           "80 03 23 01 00",                                      // wrong outer tag
           "81 04 23 01 00",                                      // outer length too long
           "81 02 23 01 00",                                      // outer length too short
           "81 02 23 02",                                         // item runs past the end
           "81 01 23",                                            // tag without length
           "81 03 99 01 00",                                      // unknown tag
           "81 04 23 02 00 00",                                   // flags of two bytes
           "81 03 0A 01 03",                                      // algorithm 3
           "81 03 0D 01 2D",                                      // 45-second step
           "81 03 0B 01 00",                                      // zero digits
           "81 03 0B 01 0B",                                      // eleven digits
           "81 05 0F 03 00 00 00",                                // short time
           "81 03 1F 01 04",                                      // display-off code 4
           "81 03 22 01 01",                                      // time option 1
           "81 03 2C 01 02",                                      // PIN switch 2
           "81 03 72 01 02",                                      // keypad 2
           "81 0F 71 0D 41 41 41 41 41 41 41 41 41 41 41 41 41",  // 13-character title
       }) {
    EXPECT_FALSE(ParseConfigTemplate(H(bad))) << bad;
  }
}

TEST_F(ModelTest, ConfigWriteIsAllOrNothing) {
  ASSERT_EQ(Sw(Config(4, H("0B 01 08 23 01 62"))), 0x9000);
  EXPECT_EQ(Sw(Config(4, H("0B 01 06 0F 04 00 00 00 01 72 01 01 0D 01 2D"))), 0x6A80);
  EXPECT_EQ(model->profile(4).digits, 8);
  EXPECT_FALSE(model->keypadMode());
  EXPECT_NE(model->TokenClock(), 1u);
}

TEST_F(ModelTest, TokenWideItemsAndProfileItemsLandWhereTheyBelong) {
  ASSERT_EQ(Sw(Config(0, H("1F 01 00"))), 0x9000);
  EXPECT_EQ(model->displayOffCode(), 0);
  ASSERT_EQ(Sw(Config(0, H("2C 01 01"))), 0x9000);
  EXPECT_TRUE(model->pinEnabled());
  ASSERT_EQ(Sw(Config(0, H("72 01 01"))), 0x9000);
  EXPECT_TRUE(model->keypadMode());
  ASSERT_EQ(Sw(Config(0, H("0F 04 65 92 00 80 22 01 07"))), 0x9000);
  EXPECT_EQ(model->TokenClock(), 0x65920080u);
  EXPECT_EQ(model->timeOption(), 7);
  ASSERT_EQ(Sw(Config(17, H("0A 01 02 23 01 00 71 03 41 42 43"))), 0x9000);
  EXPECT_EQ(model->profile(17).algorithm, 2);
  EXPECT_EQ(model->profile(17).title, "ABC");
  EXPECT_EQ(model->profile(16).algorithm, 1);
  EXPECT_EQ(Sw(Config(100, H("23 01 00"))), 0x6A86);
}

TEST_F(ModelTest, ClearSeedFlagDropsTheSeedOnAlgorithmOrStepChange) {
  ASSERT_EQ(Sw(Burn(2, H("0102030405060708"))), 0x9000);
  ASSERT_EQ(Sw(Config(2, H("0A 01 01 0D 01 1E 23 01 05"))), 0x9000);
  EXPECT_TRUE(model->profile(2).hasSeed()) << "same values are no change";
  ASSERT_EQ(Sw(Config(2, H("0D 01 3C 23 01 00"))), 0x9000);
  EXPECT_TRUE(model->profile(2).hasSeed()) << "flag off: seed kept";
  ASSERT_EQ(Sw(Config(2, H("0A 01 02 23 01 05"))), 0x9000);
  EXPECT_FALSE(model->profile(2).hasSeed());
}

}  // namespace
}  // namespace norvik::sim::test
