#include "cli/Verify.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "formats/Secrets.h"
#include "session/StatusTexts.h"

namespace keyloom {

using namespace provisor;

namespace {

using SteadyClock = std::chrono::steady_clock;

double Seconds(SteadyClock::time_point from, SteadyClock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

}  // namespace

VerifyTarget::~VerifyTarget() { Wipe(seed); }

std::optional<uint32_t> ParseClockText(const std::string& text) {
    std::tm tm{};
    char tail = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                    &tm.tm_min, &tm.tm_sec, &tail) != 6)
        return std::nullopt;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    const std::time_t t = timegm(&tm);
    if (t < 0 || t > 0xFFFFFFFFll) return std::nullopt;
    return static_cast<uint32_t>(t);
}

VerifyReport VerifyOnToken(const CardApi& api, const std::string& reader, const std::string& accessKey,
                           const std::vector<VerifyTarget>& targets) {
    VerifyReport report;
    if (targets.empty()) return report;
    const auto failAll = [&](const std::string& why) {
        report.results.assign(targets.size(), VerifyResult{false, why});
        return report;
    };

    const auto clockStart = SteadyClock::now();
    const SerialAndClock token = api.ReadSnAndTime(reader.c_str(), int32_t{targets.front().profile});
    const double clockEnd = Seconds(clockStart, SteadyClock::now());
    if (!token.Ok()) return failAll("the token's clock cannot be read [" + StatusHex(token.status).toStdString() + "]");
    report.tokenTime = token.clock;
    const auto tokenClock = ParseClockText(token.clock);
    if (!tokenClock) return failAll("the token's clock reads \"" + token.clock + "\"");

    for (const VerifyTarget& t : targets) {
        const double readStart = Seconds(clockStart, SteadyClock::now());
        OtpReading otp = api.ReadOtp(reader.c_str(), accessKey.c_str(), int32_t{t.profile});
        const WipeOnExit wipe(otp.otp);
        const double readEnd = Seconds(clockStart, SteadyClock::now());
        const uint32_t status = otp.status;
        VerifyResult r;
        if (t.deleted) {
            r.verified = status == CARD_E_NO_SEED;
            r.detail = r.verified          ? "the token holds no seed"
                       : status == CARD_OK ? "the token still shows passwords"
                                           : "the profile cannot be read [" + StatusHex(status).toStdString() + "]";
        } else if (status == CARD_E_NO_SEED) {
            r.detail = "the token holds no seed";
        } else if (status != CARD_OK) {
            r.detail = "the password cannot be read [" + StatusHex(status).toStdString() + "]";
        } else {
            const std::string& code = otp.otp;
            const TokenTimeWindow window = WindowAfterClockRead(*tokenClock, clockEnd, readStart, readEnd);
            r.verified = MatchesTotp(code, t.seed, t.algorithm, t.digits, t.step, window);
            r.detail = r.verified ? "the token's password is the seed's code"
                                  : "the token's password is not the code of the seed written (" +
                                        std::string(OtpAlgorithmName(t.algorithm)) + ", " + std::to_string(t.digits) +
                                        " digits, " + std::to_string(t.step) + " s)";
        }
        report.results.push_back(std::move(r));
    }
    return report;
}

}  // namespace keyloom
