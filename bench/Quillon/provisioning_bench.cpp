// What one session per call costs: the provisioning sequence of one profile
// (CardVerify, CardReadSeedInfo, CardConfig, CardGetSeedFlag, CardBurnSeed)
// through libQuillon, against the same APDUs replayed over a single bare
// PC/SC connection, and over a fresh connection per APDU to show where the
// difference goes. Prints times per sequence and their ratios.
//
//   quillon_provisioning_bench [reader [access-key [rounds]]]
//
// Defaults: "Virtual PCD 00 00" (NORVIK_BENCH_READER), the virtual token's
// factory key, 30 rounds. Without a card in the reader it prints why and
// exits 0.
#include "BareCard.h"
#include "ByteHelpers.h"
#include "Quillon.h"
#include "Sm4.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using bench::Bytes;
using bench::Ok;
using Clock = std::chrono::steady_clock;

constexpr int32_t kProfile = 97;
const char* kTimeText = "2024/01/01/00/00/00";
constexpr uint32_t kTimeSeconds = 1704067200;
const char* kTitle = "Bench";
const uint8_t kSeed[20] = {'1', '2', '3', '4', '5', '6', '7', '8', '9', '0',
                           '1', '2', '3', '4', '5', '6', '7', '8', '9', '0'};

// The library's way, as the tool provisions a profile.
bool ProvisionThroughLibrary(const char* reader, const char* key) {
    if (CardVerify(reader, key) != CARD_OK) return false;
    int32_t clear = 0, enter = 0, kept = 0;
    if (CardReadSeedInfo(reader, kProfile, &clear, &enter, &kept) != CARD_OK) return false;
    if (CardConfig(reader, key, kProfile, "SHA256", 60, 8, 0, kTimeText, kTitle, 0, kept) != CARD_OK) return false;
    int32_t present = 0;
    if (CardGetSeedFlag(reader, kProfile, &present) != CARD_OK) return false;
    return CardBurnSeed(reader, key, kProfile, kSeed, sizeof kSeed) == CARD_OK;
}

Bytes Secured(const quillon::CommandKey& k, uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& data) {
    Bytes apdu(quillon::kMaxSecuredApdu);
    apdu.resize(quillon::SecuredCommand(k, ins, p1, p2, data.data(), data.size(), apdu.data()));
    return apdu;
}

// The same five exchanges (six APDUs with the challenge), built with the
// library's own helpers. `send` is the transport: one connection, or a
// fresh one per APDU.
template <typename Send>
bool ReplaySequence(const quillon::CommandKey& k, Send&& send) {
    const uint8_t p2 = static_cast<uint8_t>(kProfile);

    Bytes challenge = send(Bytes{0x80, 0x4B, 0x08, 0x00, 0x00});
    if (challenge.size() < 2) return false;
    uint8_t block[16] = {};
    std::memcpy(block, challenge.data(), challenge.size() < 8 ? challenge.size() : 8);
    Bytes cryptogram = {0x80, 0xCE, 0x00, 0x00, 0x10};
    cryptogram.resize(21);
    size_t outLen = 16;
    quillon::Sm4EncryptEcb(k.data(), block, sizeof block, cryptogram.data() + 5, &outLen);
    if (!Ok(send(cryptogram))) return false;

    const Bytes readRecord = {0x80, 0x41, 0x00, p2, 0x01, 0x70};
    Bytes record = send(readRecord);
    if (!Ok(record) || record.size() < 7) return false;
    const uint8_t kept = record[4] & PROFILE_FLAGS_KEEP;

    Bytes d = {0x81,
               0x00,
               0x0A,
               0x01,
               0x02,
               0x0D,
               0x01,
               0x3C,
               0x0B,
               0x01,
               0x08,
               0x0F,
               0x04,
               static_cast<uint8_t>(kTimeSeconds >> 24),
               static_cast<uint8_t>(kTimeSeconds >> 16),
               static_cast<uint8_t>(kTimeSeconds >> 8),
               static_cast<uint8_t>(kTimeSeconds),
               0x23,
               0x01,
               kept,
               0x71,
               static_cast<uint8_t>(std::strlen(kTitle))};
    d.insert(d.end(), kTitle, kTitle + std::strlen(kTitle));
    d[1] = static_cast<uint8_t>(d.size() - 2);
    if (!Ok(send(Secured(k, 0xD4, 0x00, p2, d)))) return false;

    if (!Ok(send(readRecord))) return false;

    uint8_t work[512] = {};
    const size_t padded = quillon::PadBlock80(kSeed, sizeof kSeed, work);
    outLen = padded;
    quillon::Sm4EncryptEcb(k.data(), work, padded, work, &outLen);
    return Ok(send(Secured(k, 0xC5, 0x01, p2, Bytes(work, work + padded))));
}

template <typename F>
double MillisPerRound(int rounds, F&& round) {
    const auto start = Clock::now();
    for (int i = 0; i < rounds; ++i)
        if (!round()) return -1.0;
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count() / rounds;
}

}  // namespace

int main(int argc, char** argv) {
    const char* envReader = std::getenv("NORVIK_BENCH_READER");
    const std::string reader = argc > 1 ? argv[1] : envReader ? envReader : "Virtual PCD 00 00";
    const char* key = argc > 2 ? argv[2] : "6B3F09D2A4C8571E90B2D6F4138A5C7E";
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 30;
    if (rounds <= 0) {
        std::fprintf(stderr, "rounds must be positive\n");
        return 2;
    }
    if (!bench::CardPresent(reader)) {
        std::printf("provisioning bench: skipped, no card in reader \"%s\"\n", reader.c_str());
        return 0;
    }
    const quillon::CommandKey k = quillon::DeriveCommandKey(key);

    // One warm-up round each, which also proves the key is right.
    if (!ProvisionThroughLibrary(reader.c_str(), key)) {
        std::fprintf(stderr, "provisioning bench: the token refused the sequence (wrong access key?)\n");
        return 1;
    }
    const double library = MillisPerRound(rounds, [&] { return ProvisionThroughLibrary(reader.c_str(), key); });

    bench::BareCard card;
    if (!card.Connect(reader)) {
        std::fprintf(stderr, "provisioning bench: bare connection failed\n");
        return 1;
    }
    auto onOneConnection = [&](const Bytes& apdu) { return card.Transmit(apdu); };
    if (!ReplaySequence(k, onOneConnection)) {
        std::fprintf(stderr, "provisioning bench: replayed sequence refused\n");
        return 1;
    }
    const double bare = MillisPerRound(rounds, [&] { return ReplaySequence(k, onOneConnection); });
    card.Disconnect();

    auto perApdu = [&](const Bytes& apdu) {
        bench::BareCard fresh;
        return fresh.Connect(reader) ? fresh.Transmit(apdu) : Bytes{};
    };
    const double reconnecting = MillisPerRound(rounds, [&] { return ReplaySequence(k, perApdu); });

    CardDeleteSeed(reader.c_str(), kProfile);
    if (library < 0 || bare < 0 || reconnecting < 0) {
        std::fprintf(stderr, "provisioning bench: a round failed\n");
        return 1;
    }
    std::printf("provisioning sequence, profile %d, %d rounds, reader \"%s\"\n", kProfile, rounds, reader.c_str());
    std::printf("  libQuillon, one session per call    %8.3f ms\n", library);
    std::printf("  bare PC/SC, one connection          %8.3f ms\n", bare);
    std::printf("  bare PC/SC, a connection per APDU   %8.3f ms\n", reconnecting);
    std::printf("  ratio library / one connection      %8.2f\n", library / bare);
    std::printf("  ratio per-APDU / one connection     %8.2f\n", reconnecting / bare);
    return 0;
}
