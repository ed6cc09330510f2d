// info: the token's serial number, its clock against this computer's, and
// every profile with whether it holds a seed.
#include <QJsonArray>

#include <chrono>
#include <cmath>
#include <ctime>

#include "cli/CommandSession.h"
#include "cli/Commands.h"
#include "cli/Verify.h"
#include "session/StatusTexts.h"

namespace keyloom {

using namespace provisor;

namespace {

std::string UtcText(std::time_t t) {
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
    return text;
}

std::string Hex8(uint32_t status) { return StatusHex(status).toStdString(); }

// The library reports no profile count: the first profile the token refuses
// ends the list (a 50-profile token refuses 50).
QJsonArray Profiles(const CardApi& api, const std::string& reader) {
    QJsonArray profiles;
    for (int profile = 0; profile < 100; ++profile) {
        int32_t present = 0;
        const uint32_t flag = StatusOf(api.Call<CardFn::CardGetSeedFlag>(reader.c_str(), int32_t{profile}, &present));
        if (flag == CARD_E_STATUS_WORD && profile > 0) break;
        if (flag != CARD_OK)
            throw Failure("profile " + std::to_string(profile) + " cannot be read [" + Hex8(flag) + "]");
        QJsonObject p{{"profile", profile}, {"seed", present == 1}};
        if (present == 1) {
            int32_t clearSeed = 0, autoEnter = 0, kept = 0;
            const uint32_t info = StatusOf(
                api.Call<CardFn::CardReadSeedInfo>(reader.c_str(), int32_t{profile}, &clearSeed, &autoEnter, &kept));
            if (info != CARD_OK)
                throw Failure("profile " + std::to_string(profile) + " cannot be read [" + Hex8(info) + "]");
            // Not in anything the token command library reads back.
            p["algorithm"] = QJsonValue();
            p["digits"] = QJsonValue();
            p["step"] = QJsonValue();
            p["autoEnter"] = autoEnter == 1;
            p["clearSeed"] = clearSeed == 1;
        }
        profiles.append(p);
    }
    return profiles;
}

}  // namespace

Outcome RunInfo(const Options& o, const std::string& reader) {
    CommandSession s(o);
    s.BindLibrary();
    Outcome out;
    QJsonObject& r = out.report;
    r["reader"] = Q(reader);

    const IClock& clock = s.Session().clock;
    const auto before = clock.Now();
    const SerialAndClock token = s.Api().ReadSnAndTime(reader.c_str(), 0);
    const auto after = clock.Now();
    if (!token.Ok()) throw Failure("no token can be read in reader \"" + reader + "\" [" + Hex8(token.status) + "]");
    const double hostTime = std::chrono::duration<double>((before + (after - before) / 2).time_since_epoch()).count();
    r["serial"] = Q(token.serial);
    r["tokenTime"] = Q(token.clock);
    r["hostTime"] = Q(UtcText(static_cast<std::time_t>(hostTime)));
    if (const auto tokenTime = ParseClockText(token.clock))
        r["driftSeconds"] = static_cast<qint64>(std::llround(static_cast<double>(*tokenTime) - hostTime));
    else
        r["driftSeconds"] = QJsonValue();
    const QJsonArray profiles = Profiles(s.Api(), reader);
    r["profileCount"] = profiles.size();
    r["profiles"] = profiles;
    return out;
}

}  // namespace keyloom
