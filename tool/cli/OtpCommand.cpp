// otp: the profile's current password ("copy OTP"), alone on standard
// output.
#include "actions/DeviceActions.h"
#include "cli/CommandSession.h"
#include "cli/Commands.h"

namespace keyloom {

using namespace provisor;

Outcome RunOtp(const Options& o, const Prepared& p, const std::string& reader) {
    CommandSession s(o);
    const int profile = *o.profile;
    s.Open(p, reader, profile);
    Outcome out;
    out.report = TokenJson(reader, s.Serial());
    out.report["profile"] = profile;
    std::optional<OtpOutcome> read;
    if (s.Authenticate(profile)) {
        read = ReadProfileOtp(s.Api(), reader, s.Key(), profile);
        s.Record().Add(read->notices);
    }
    out.report["messages"] = s.Record().Json();
    if (read && read->status == CARD_OK && !read->otp.empty()) {
        out.report["otp"] = Q(read->otp);
        Wipe(read->otp);
        return out;
    }
    out.report["otp"] = QJsonValue();
    out.status = kExitFailure;
    out.cause = s.Record().Cause();
    if (out.cause.empty())
        out.cause = read && read->row == false ? OneLine(ResultRowState(profile, false)) : "no password was read";
    return out;
}

}  // namespace keyloom
