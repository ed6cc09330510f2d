// delete: removes the profile's seed ("remove seed"); the command is the
// operator's answer to its question.
#include "actions/DeviceActions.h"
#include "cli/CommandSession.h"
#include "cli/Commands.h"

namespace keyloom {

using namespace provisor;

Outcome RunDelete(const Options& o, const Prepared& p, const std::string& reader) {
    CommandSession s(o);
    const int profile = *o.profile;
    s.Open(p, reader, profile);
    Outcome out;
    out.report = TokenJson(reader, s.Serial());
    out.report["profile"] = profile;
    std::optional<ActionOutcome> deleted;
    if (s.Authenticate(profile)) {
        s.Record().SetAnswer(true);
        s.Record().AskOkCancel(RemoveSeedQuestion(profile), kCaption, MessageIcon::Warning);
        deleted = DeleteProfileSeed(s.Api(), reader, profile);
        s.Record().Add(deleted->notices);
    }
    out.report["messages"] = s.Record().Json();
    if (deleted && deleted->status == CARD_OK) {
        out.report["result"] = "deleted";
    } else if (deleted && deleted->status == CARD_E_NO_SEED) {
        out.report["result"] = "empty";
    } else {
        out.report["result"] = "failed";
        out.status = kExitFailure;
        out.cause = s.Record().Cause();
        if (out.cause.empty())
            out.cause =
                deleted && deleted->row == false ? OneLine(ResultRowState(profile, false)) : "the seed was not removed";
    }
    return out;
}

}  // namespace keyloom
