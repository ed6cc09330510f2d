// A profile write as a value and its outcome as a value. The dialog builds
// one from its form, the bulk run from a bulk line, keyloom from its
// options; PerformProfileWrite makes the library calls of the action in the
// order the token expects and says which step, if any, failed, what the
// token held before, and which seed went in (by its fingerprint, never the
// seed). Each caller turns the result into its own words.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "formats/Secrets.h"
#include "session/CardApi.h"

namespace provisor {

// Which of the tool's writes, and so which calls in which order:
//   Provision    CardVerify, CardReadSeedInfo, CardConfig, CardGetSeedFlag,
//                (question), CardBurnSeed
//   ApplyConfig  CardVerify, CardReadSeedInfo, CardConfig
//   AutoWrite    CardVerify, (seed), CardGetSeedFlag, (question), CardBurnSeed
//   BulkEntry    CardReadSeedInfo, CardConfig, CardBurnSeed, authenticated
//                once beforehand for the whole run
enum class ProfileAction { Provision, ApplyConfig, AutoWrite, BulkEntry };

// Why there is no seed to write.
enum class SeedFailure {
    None,
    Empty,              // a seed of no bytes, which is never written
    NoInput,            // the seed field holds nothing
    IllegalCharacters,  // the seed field is not base32
    NotInSeedFile,      // the seed file has no record for the token
    ProviderFailed,     // GetSeed said no (its result is kept), or there is no provider
    ProviderLength,     // GetSeed claimed no bytes, or more than it was given room for
};

// What a seed source hands over when it is asked.
struct SeedSupply {
    SecretBytes seed;
    SeedFailure failure = SeedFailure::None;
    int32_t providerResult = 0;  // GetSeed's own result, when it said no
};

// A seed that is fetched where the action fetches it, not when the write is
// made: a provider is asked, and a typed seed decoded, at exactly the point
// of the sequence the operator's tool has always done it.
struct SeedSupplier {
    // Right after the authentication: whether there is a seed to take at
    // all (empty: there is).
    std::function<bool()> hasInput;
    // Where the action takes its seed.
    std::function<SeedSupply()> take;
};

// Asked before a seed the profile already holds is overwritten.
class IOverwritePrompt {
public:
    virtual ~IOverwritePrompt() = default;
    // True to overwrite the seed of profile.
    virtual bool ConfirmOverwrite(int profile) = 0;
};

enum class Overwrite {
    Ask,     // the prompt decides, after the configuration is written
    Always,  // no question
    Refuse,  // a profile holding a seed is refused before anything is written
};

// What CardConfig gets as the token's new clock.
enum class ClockChoice {
    Omit,      // no time at all (a null argument): the bulk file's NO
    Text,      // the text as it is; an empty text leaves the clock
    Required,  // the text, which must not be empty: refused with CARD_E_BAD_ARG before any call
};

struct ProfileWrite {
    ProfileAction action = ProfileAction::Provision;
    std::string reader;
    int profile = 0;
    // The token's serial number, for the seed look-ups and the result.
    std::string serialNumber;

    // The seed, when it is known up front; else the supplier's.
    SecretBytes seed;
    SeedSupplier seedSupplier;

    std::string algorithm;             // "SHA1" or "SHA256"; empty: the token keeps its own
    std::optional<int> digits;         // nullopt: the token keeps its own
    std::optional<int> step;           // seconds; nullopt: the token keeps its own
    std::optional<std::string> title;  // nullopt: the token keeps its own
    ClockChoice clock = ClockChoice::Text;
    std::string clockText;          // "%d/%02d/%02d/%02d/%02d/%02d", UTC
    std::optional<bool> clearSeed;  // nullopt: as the token has it now
    std::optional<bool> autoEnter;  // nullopt: as the token has it now

    Overwrite overwrite = Overwrite::Ask;
    IOverwritePrompt* prompt = nullptr;  // for Ask; none answers no
};

// The step that ended a write; None when it went through.
enum class ProfileWriteStep {
    None,
    CheckHeldSeed,  // Overwrite::Refuse's CardGetSeedFlag, before anything else
    Authenticate,   // CardVerify refused
    SeedInput,      // nothing to take a seed from (SeedFailure::NoInput)
    ReadInfo,       // CardReadSeedInfo
    Configure,      // CardConfig, or its time was missing
    SeedSource,     // the seed could not be had (see seedFailure)
    SeedFlag,       // CardGetSeedFlag
    Refused,        // the profile holds a seed and the write may not overwrite it
    Declined,       // the operator did not want it overwritten
    Burn,           // CardBurnSeed
};

struct ProfileWriteResult {
    ProfileWriteStep failedStep = ProfileWriteStep::None;
    uint32_t status = CARD_OK;  // of the call that failed
    SeedFailure seedFailure = SeedFailure::None;
    int32_t providerResult = 0;
    std::string serialNumber;

    // What the token held before the write, as far as the write asked: the
    // seed flag and the outputs of CardReadSeedInfo as the library gave them.
    struct Before {
        std::optional<bool> seedPresent;
        std::optional<int32_t> clearSeed;
        std::optional<int32_t> autoEnter;
        std::optional<int32_t> keptFlags;
    } before;

    // SeedFingerprint of the seed written; empty when none was.
    std::string seedFingerprint;

    bool Succeeded() const { return failedStep == ProfileWriteStep::None; }
};

// The write through api with accessKey (hexadecimal text), the access key
// every authenticated call of it gets.
ProfileWriteResult PerformProfileWrite(const CardApi& api, const std::string& accessKey, const ProfileWrite& write);

}  // namespace provisor
