// Verified provisioning: after the writes, the token's clock is read once
// and then each profile's current password, which must be the RFC 6238 code
// of the seed just written, with the configuration just written, at the
// token's own time (the neighbouring step counts when a step boundary may
// lie between the reads). Two library calls for one profile; one more per
// further profile.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "session/CardApi.h"
#include "cli/Totp.h"

namespace keyloom {

struct VerifyTarget {
    ~VerifyTarget();  // clears the seed

    size_t item = 0;  // the caller's index (entry, report item)
    int profile = 0;
    bool deleted = false;  // the seed was removed: the token must report none
    std::vector<uint8_t> seed;
    OtpAlgorithm algorithm = OtpAlgorithm::Sha1;
    int digits = 6;
    int step = 30;
};

struct VerifyResult {
    bool verified = false;
    std::string detail;  // why, in a few words
};

struct VerifyReport {
    std::optional<std::string> tokenTime;  // as the token reported it
    std::vector<VerifyResult> results;     // one per target, same order
};

// Reads through api from reader with the access key accessKey.
VerifyReport VerifyOnToken(const provisor::CardApi& api, const std::string& reader, const std::string& accessKey,
                           const std::vector<VerifyTarget>& targets);

// The seconds since 1970 of a clock text "YYYY-MM-DD hh:mm:ss" (UTC).
std::optional<uint32_t> ParseClockText(const std::string& text);

}  // namespace keyloom
