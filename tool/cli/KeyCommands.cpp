// key change, key reset and key save: the access key inside the token
// ("change key", "factory reset") and in the configuration file ("Access
// Key").
#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include "accesskey/AccessKeyEntry.h"
#include "accesskey/AccessKeyFlows.h"
#include "cli/CommandSession.h"
#include "cli/Commands.h"
#include "cli/Readers.h"

namespace keyloom {

using namespace provisor;

namespace {

Outcome SaveKey(CommandSession& s, const Prepared& p) {
    Outcome out;
    // An installed keyloom keeps the file in ~/.config/norvik2, as Provisor
    // does; that directory may not exist yet. It is the owner's alone, like
    // the file.
    const std::filesystem::path dir = s.Startup().ConfigPath().parent_path();
    std::error_code ec;
    if (!dir.empty() && !std::filesystem::exists(dir, ec) && std::filesystem::create_directories(dir, ec))
        chmod(dir.c_str(), S_IRWXU);
    const bool saved = s.Startup().SaveCustomerKey(p.newKey);
    if (!saved) s.Record().ShowMessage(KeyNotSavedMessage(s.Startup().ConfigPath()), kCaption, MessageIcon::Warning);
    out.report["configFile"] = Q(s.Startup().ConfigPath().string());
    out.report["messages"] = s.Record().Json();
    out.report["saved"] = saved;
    if (!saved) {
        out.status = kExitFailure;
        out.cause = s.Record().Cause();
    }
    return out;
}

}  // namespace

Outcome RunKey(const Options& o, const Prepared& p) {
    CommandSession s(o);
    if (o.command == Command::KeySave) return SaveKey(s, p);
    const std::string reader = ChooseReader(o);
    s.BindLibrary();
    if (o.command == Command::KeyChange) s.LoadKey(p);
    s.Connect(reader, 0);
    Outcome out;
    out.report = TokenJson(reader, s.Serial());
    bool changed = false;
    std::string newKey;
    if (o.command == Command::KeyChange) {
        if (s.Authenticate(0)) {
            const ActionOutcome change = ChangeTokenKey(s.Api(), reader, s.Key(), p.newKey);
            s.Record().Add(change.notices);
            changed = change.status == CARD_OK;
        }
        newKey = p.newKey;
    } else {
        const ActionOutcome reset = ResetTokenKey(s.Api(), reader, 0);
        s.Record().Add(reset.notices);
        changed = reset.status == CARD_OK;
        newKey = kFactoryDefaultKey.toStdString();
    }
    out.report["changed"] = changed;
    bool saved = false;
    if (changed && o.save) {
        saved = s.Startup().SaveCustomerKey(newKey);
        if (!saved) {
            out.status = kExitFailure;
            out.cause = "the token's key was changed, but " + s.Startup().ConfigPath().string() +
                        " could not be written: save the key with keyloom key save";
        }
    }
    Wipe(newKey);
    out.report["saved"] = saved;
    out.report["messages"] = s.Record().Json();
    if (!changed) {
        out.status = kExitFailure;
        out.cause = s.Record().Cause();
        if (out.cause.empty()) out.cause = "the key was not changed";
    }
    return out;
}

}  // namespace keyloom
