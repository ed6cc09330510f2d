#include <gtest/gtest.h>

#include <sys/stat.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "formats/Encodings.h"
#include "formats/IniFile.h"
#include "session/KeyStorage.h"
#include "ToolTestFiles.h"

using namespace provisor;
namespace fs = std::filesystem;

TEST(IniRead, SectionsKeysAndValues) {
    const std::string content =
        "; CUSTOMER_KEY=comment\r\n[OTHER]\r\nCUSTOMER_KEY=wrong\r\n[ config ]\r\n\tCustomer_Key =  \"AB CD\" \r\n"
        "CUSTOMER_KEY=second\n";
    EXPECT_EQ(FindIniValue(content, "CONFIG", "CUSTOMER_KEY"), std::optional<std::string>("AB CD"));
    EXPECT_EQ(FindIniValue(content, "OTHER", "customer_key"), std::optional<std::string>("wrong"));
    EXPECT_EQ(FindIniValue(content, "CONFIG", "MISSING"), std::nullopt);
    EXPECT_EQ(FindIniValue(content, "NONE", "CUSTOMER_KEY"), std::nullopt);
    EXPECT_EQ(FindIniValue("CUSTOMER_KEY=outside\r\n", "CONFIG", "CUSTOMER_KEY"), std::nullopt);
    EXPECT_EQ(FindIniValue("[CONFIG]\nCUSTOMER_KEY=\n", "CONFIG", "CUSTOMER_KEY"), std::optional<std::string>(""));
    EXPECT_EQ(FindIniValue("[CONFIG]\nCUSTOMER_KEY=last", "CONFIG", "CUSTOMER_KEY"),
              std::optional<std::string>("last"));
}

TEST(IniUpdate, KeepsEveryOtherByte) {
    // In place, with the line's own ending.
    EXPECT_EQ(UpdateIniContent("[A]\nx=1\n[CONFIG]\nK=old\nY=2\r\n", "CONFIG", "K", "new"),
              "[A]\nx=1\n[CONFIG]\nK=new\nY=2\r\n");
    // Missing key: after the section's last entry, before the blank lines.
    EXPECT_EQ(UpdateIniContent("[CONFIG]\r\nY=2\r\n\r\n[B]\r\n", "CONFIG", "K", "v"),
              "[CONFIG]\r\nY=2\r\nK=v\r\n\r\n[B]\r\n");
    EXPECT_EQ(UpdateIniContent("[CONFIG]", "CONFIG", "K", "v"), "[CONFIG]\r\nK=v\r\n");
    // A file cut after the CR of its last CR LF: the new entry still gets a
    // line of its own, so it reads back.
    EXPECT_EQ(UpdateIniContent("[CONFIG]\r\nY=2\r", "CONFIG", "K", "v"), "[CONFIG]\r\nY=2\r\r\nK=v\r\n");
    EXPECT_EQ(FindIniValue(UpdateIniContent("[CONFIG]\r", "CONFIG", "K", "v"), "CONFIG", "K"), "v");
    // Missing section or file.
    EXPECT_EQ(UpdateIniContent("[B]\r\nz=1", "CONFIG", "K", "v"), "[B]\r\nz=1\r\n[CONFIG]\r\nK=v\r\n");
    EXPECT_EQ(UpdateIniContent("", "CONFIG", "K", "v"), "[CONFIG]\r\nK=v\r\n");
    // Only the first section of that name, only the first entry.
    EXPECT_EQ(UpdateIniContent("[CONFIG]\nK=1\nK=2\n[CONFIG]\nK=3\n", "config", "k", "9"),
              "[CONFIG]\nk=9\nK=2\n[CONFIG]\nK=3\n");
}

TEST(IniWrite, ReplacesTheFileWholeAndOwnerOnly) {
    const fs::path dir = tooltest::MakeTempDir("ini");
    const fs::path file = dir / "Norvik2Cfg.ini";

    ASSERT_TRUE(WriteIniValue(file, "CONFIG", "CUSTOMER_KEY", "AA"));
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    const ino_t firstInode = st.st_ino;

    { std::ofstream(file, std::ios::app | std::ios::binary) << "; tail\r\n"; }
    ASSERT_TRUE(WriteIniValue(file, "CONFIG", "CUSTOMER_KEY", "BB"));
    EXPECT_EQ(tooltest::ReadFile(file), "[CONFIG]\r\nCUSTOMER_KEY=BB\r\n; tail\r\n");
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_NE(st.st_ino, firstInode);  // a new file took the old one's name
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);

    EXPECT_FALSE(WriteIniValue(dir / "missing" / "x.ini", "CONFIG", "K", "v"));
    fs::remove_all(dir);
}

TEST(KeyCipher, StandardVectorAndRefusals) {
    // GB/T 32907 example: key and plaintext 0123456789ABCDEFFEDCBA9876543210.
    const std::vector<uint8_t> key = HexTextToBytes(std::string_view("0123456789ABCDEFFEDCBA9876543210"));
    std::vector<uint8_t> block = key;
    size_t capacity = 32;
    ASSERT_EQ(KeyCipher(key.data(), kEncipher, &capacity, 16, block.data(), block.data()), 0);
    EXPECT_EQ(capacity, 16u);
    EXPECT_EQ(BytesToHexString(block.data(), 16), "681EDF34D206965E86B3E94F536E4246");
    capacity = 16;
    ASSERT_EQ(KeyCipher(key.data(), kDecipher, &capacity, 16, block.data(), block.data()), 0);
    EXPECT_EQ(block, key);

    std::array<uint8_t, 32> buf{};
    capacity = 32;
    EXPECT_EQ(SeedKeyCipher(kEncipher, &capacity, 0, buf.data(), buf.data()), -1);
    EXPECT_EQ(SeedKeyCipher(kEncipher, &capacity, 15, buf.data(), buf.data()), -1);
    EXPECT_EQ(SeedKeyCipher(kEncipher, &capacity, 16, nullptr, buf.data()), -1);
    EXPECT_EQ(SeedKeyCipher(kEncipher, &capacity, 16, buf.data(), nullptr), -1);
    EXPECT_EQ(SeedKeyCipher(2, &capacity, 16, buf.data(), buf.data()), -2);
    capacity = 16;
    EXPECT_EQ(SeedKeyCipher(kEncipher, &capacity, 32, buf.data(), buf.data()), 8);
    EXPECT_EQ(capacity, 32u);
    EXPECT_EQ(buf, (std::array<uint8_t, 32>{}));  // refused calls write nothing
}

TEST(KeyStorage, OnlyWholeBlocksAreEnciphered) {
    const std::string key = "00112233445566778899aabbccddeeff";
    const std::string stored = EncipherKeyForStorage(key);
    EXPECT_EQ(stored.size(), 32u);
    EXPECT_NE(stored, "00112233445566778899AABBCCDDEEFF");
    EXPECT_EQ(DecipherStoredKey(stored), "00112233445566778899AABBCCDDEEFF");
    EXPECT_EQ(DecipherStoredKey(key), DecipherStoredKey("00112233445566778899AABBCCDDEEFF"));

    EXPECT_EQ(EncipherKeyForStorage("deadbeef"), "DEADBEEF");
    EXPECT_EQ(EncipherKeyForStorage("abc"), "AB");
    EXPECT_EQ(EncipherKeyForStorage(""), "");
    EXPECT_EQ(DecipherStoredKey("X01X"), "F00F");
    // Two blocks fit the 32-byte room; three do not and stay as they are.
    const std::string twoBlocks(64, '1');
    EXPECT_EQ(DecipherStoredKey(EncipherKeyForStorage(twoBlocks)), twoBlocks);
    EXPECT_NE(EncipherKeyForStorage(twoBlocks), twoBlocks);
    EXPECT_EQ(EncipherKeyForStorage(std::string(96, 'c')), std::string(96, 'C'));
}

TEST(KeyStorage, StoredFormIsSm4EcbUnderTheStorageKey) {
    // Reference values from OpenSSL (sm4-ecb, no padding, key
    // 3C915E07D268AB14F9408D7326CB1FB5), not from this code. Every
    // configuration file written so far holds such a form: if the storage
    // key or the direction of either conversion changed, all of them would
    // load a different access key.
    EXPECT_EQ(BytesToHexString(SeedStorageKey.data(), SeedStorageKey.size()), "3C915E07D268AB14F9408D7326CB1FB5");
    EXPECT_EQ(EncipherKeyForStorage("00112233445566778899aabbccddeeff"), "3484D8C1602CC7ABC3DC22C456AD3CB1");
    EXPECT_EQ(DecipherStoredKey("3484D8C1602CC7ABC3DC22C456AD3CB1"), "00112233445566778899AABBCCDDEEFF");
    EXPECT_EQ(EncipherKeyForStorage("6B3F09D2A4C8571E90B2D6F4138A5C7E"), "6C9E61EA7FED8FF8ED23F7878C2B42FD");
    // The value a new file is created with stands for this access key.
    EXPECT_EQ(DecipherStoredKey("5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A"), "0BB746E21DCAD951F03E130A1864619B");
    // Two blocks are enciphered independently (ECB).
    EXPECT_EQ(EncipherKeyForStorage("00112233445566778899AABBCCDDEEFF00112233445566778899AABBCCDDEEFF"),
              "3484D8C1602CC7ABC3DC22C456AD3CB13484D8C1602CC7ABC3DC22C456AD3CB1");
}
