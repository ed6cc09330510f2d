#include "cli/Verify.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "provisioning/Provisioning.h"
#include "formats/Secrets.h"

namespace keyloom {

using namespace provisor;

namespace {

constexpr uint32_t kStatusNoSeed = 0x00003001u;

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

VerifyReport VerifyOnToken(const ToolContext& ctx, const std::vector<VerifyTarget>& targets) {
    VerifyReport report;
    if (targets.empty()) return report;
    const std::string reader = ctx.session.g_readerName.Get();
    const auto key = ctx.session.g_customerKey.Snapshot();
    const auto failAll = [&](const std::string& why) {
        report.results.assign(targets.size(), VerifyResult{false, why});
        return report;
    };

    char serial[32] = {};
    uint32_t serialLength = sizeof serial;
    char clock[64] = {};
    uint32_t clockLength = sizeof clock;
    const auto clockStart = SteadyClock::now();
    const uint32_t clockStatus = StatusOf(ctx.Call<CardFn::CardReadSnAndTime>(
        reader.c_str(), int32_t{targets.front().profile}, serial, &serialLength, clock, &clockLength));
    const double clockEnd = Seconds(clockStart, SteadyClock::now());
    if (clockStatus != 0)
        return failAll("the token's clock cannot be read [" + StatusHex(clockStatus).toStdString() + "]");
    const std::string clockText(clock, strnlen(clock, std::min<size_t>(clockLength, sizeof clock)));
    report.tokenTime = clockText;
    const auto tokenClock = ParseClockText(clockText);
    if (!tokenClock) return failAll("the token's clock reads \"" + clockText + "\"");

    for (const VerifyTarget& t : targets) {
        char otp[16] = {};
        const double readStart = Seconds(clockStart, SteadyClock::now());
        const uint32_t status =
            StatusOf(ctx.Call<CardFn::CardReadOTP>(reader.c_str(), key->c_str(), int32_t{t.profile}, otp));
        const double readEnd = Seconds(clockStart, SteadyClock::now());
        VerifyResult r;
        if (t.deleted) {
            r.verified = status == kStatusNoSeed;
            r.detail = r.verified    ? "the token holds no seed"
                       : status == 0 ? "the token still shows passwords"
                                     : "the profile cannot be read [" + StatusHex(status).toStdString() + "]";
        } else if (status == kStatusNoSeed) {
            r.detail = "the token holds no seed";
        } else if (status != 0) {
            r.detail = "the password cannot be read [" + StatusHex(status).toStdString() + "]";
        } else {
            const std::string code(otp, strnlen(otp, sizeof otp));
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
