// A PSKC file from a vendor or a server as the seed source of provision and
// enroll: read and opened once, before any token is touched, and each
// token's seed found by its serial number. The secrets stay in memory that
// clears itself; nothing of the file is ever written out in clear.
#pragma once

#include <optional>
#include <string>

#include "cli/CommandLine.h"
#include "cli/Inputs.h"
#include "cli/Totp.h"
#include "formats/Pskc.h"

namespace keyloom {

// Reads --seed-pskc with --seed-pskc-key-file or --seed-pskc-passphrase-file
// (or neither, for a clear file). Throws UsageError: an unreadable or
// malformed file, a missing, wrong or unusable key or passphrase, a damaged
// secret.
provisor::PskcContents ReadSeedPskc(const Options& options, InputReader& inputs);

// The profile settings a write takes when the options do not name them.
struct SeedSettings {
    OtpAlgorithm algorithm = OtpAlgorithm::Sha1;
    int digits = 6;
    int step = 30;
};

struct PskcSeed {
    provisor::SecretBytes seed;
    SeedSettings settings;
};

// The seed the file holds for serial, with the settings the file gives for
// it (the hash, the digits, the time step, where it names them; the
// defaults elsewhere). Nothing, with the cause, when the file has no TOTP
// key for serial, holds it twice, or names settings the token cannot do
// exactly or that an option given contradicts.
std::optional<PskcSeed> FindPskcSeed(const provisor::PskcContents& contents, const std::string& serial,
                                     const Options& options, const SeedSettings& defaults, std::string& cause);

}  // namespace keyloom
