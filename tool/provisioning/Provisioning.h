// Writing a profile from the dialog: the form as a ProfileWrite, the seed
// sources as its seed supplier, the buttons that perform it ("⚡ provision
// profile", "apply config conly", the automatic write behind "write seed
// only") and what each result shows; the authentication every other
// privileged action starts with; the busy flag that keeps two button
// actions from talking to the token at once.
#pragma once

#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "provisioning/ProfileWrite.h"
#include "session/StatusTexts.h"
#include "session/ToolContext.h"

namespace provisor {

// Holds the session's g_busy for its lifetime when it was free.
class BusyFlag {
public:
    explicit BusyFlag(ToolSession& session) : m_busy(session.g_busy), m_taken(!m_busy.exchange(true)) {}
    ~BusyFlag() {
        if (m_taken) m_busy.exchange(false);
    }
    BusyFlag(const BusyFlag&) = delete;
    BusyFlag& operator=(const BusyFlag&) = delete;
    bool Taken() const { return m_taken; }

private:
    std::atomic<bool>& m_busy;
    bool m_taken;
};

// Upper-case hexadecimal only for ASCII letters: "ß" must not become "SS".
QString RemoveBlanksAndUpperCase(const QString& text);

// What an action made of its call, as data: the messages it shows, in
// order, and the result row it adds, if any. The dialog shows them; keyloom
// reports them.
struct ActionOutcome {
    uint32_t status = CARD_OK;  // of the action's own call
    std::vector<Notice> notices;
    std::optional<bool> row;  // a row, successful or not
    bool rowFirst = false;    // the row goes in before the messages show
};
// The outcome's messages and its row.
void Present(const ToolContext& ctx, const ActionOutcome& outcome);

// The message of a refused authentication, in the operator's words.
Notice AuthenticationNotice(uint32_t status, int profile);

// CardVerify with the connected reader and the access key; a failure is
// reported in the operator's words. Returns the status unchanged.
uint32_t AuthenticateToken(const ToolContext& ctx);

// The form's profile settings as a write of action for the connected reader,
// the selected profile and the token in the reader: the lists, the UTC field
// (a time to set unless "No change"), the flags; no title, no seed.
ProfileWrite ProfileWriteFromForm(const ToolContext& ctx, ProfileAction action);

// The seed of the current seed source for the token in the reader: the
// seed table's record, the seed provider's GetSeed, or the seed field as
// base32 (read when asked).
SeedSupply TakeSourceSeed(const ToolContext& ctx);
// The seed provider's GetSeed for serial, through api.
SeedSupply AskSeedProvider(const CardApi& api, std::string serial);

// The overwrite question, through a message sink.
QString OverwriteQuestion(int profile);
class OverwriteQuestionPrompt final : public IOverwritePrompt {
public:
    explicit OverwriteQuestionPrompt(IMessageSink& sink) : m_sink(sink) {}
    bool ConfirmOverwrite(int profile) override;

private:
    IMessageSink& m_sink;
};

// The write with the session's access key, its calls waiting through the
// calling thread's runner.
ProfileWriteResult WriteProfile(const ToolContext& ctx, const ProfileWrite& write);

// What the dialog shows about a write's result, in order.
std::vector<Notice> ProfileWriteNotices(ProfileAction action, const ProfileWriteResult& result, int profile);
// Whether the result earns a row: every write but a refused authentication
// of "apply config conly".
bool AddsResultRow(ProfileAction action, const ProfileWriteResult& result);

// "⚡ provision profile"
void ProvisionProfile(const ToolContext& ctx);
// "apply config conly"
void ApplyConfigOnly(const ToolContext& ctx);

// How long "write seed only" stays disabled after a press.
inline constexpr std::chrono::milliseconds kWriteSeedButtonPause{500};

// "write seed only": arms or disarms the automatic write.
void ToggleWriteSeed(const ToolContext& ctx);
// The automatic write, on the card thread.
void RunAutoWrite(const ToolContext& ctx);
// "Load from file": a seed file (.txt) or a seed provider library (.so or
// .dll) as the seed source, told apart by the extension.
void LoadFromFile(const ToolContext& ctx);
// The rest of "Load from file" once the kind of file is known: shows the
// path in the seed field, makes source (SeedFile or Provider) the seed
// source and loads it, with the dialog's message and an emptied seed field
// on failure. False when the file did not load.
bool LoadSeedSource(const ToolContext& ctx, const std::filesystem::path& path, SeedSource source);

}  // namespace provisor
