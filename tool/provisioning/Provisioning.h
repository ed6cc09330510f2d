// Writing a profile: the steps every privileged action is built from
// (AuthenticateToken, ApplyProfileConfig, WriteProfileSeed), the actions
// that combine them, and the busy flag that keeps two button actions from
// talking to the token at once.
#pragma once

#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>

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

// WriteProfileSeed gave up before CardBurnSeed (no seed, the operator said
// Cancel); kept apart from every library status, 1 included.
constexpr uint32_t kSeedWriteAbandoned = 0xFFFFFFFEu;

// Upper-case hexadecimal only for ASCII letters: "ß" must not become "SS".
QString RemoveBlanksAndUpperCase(const QString& text);

// CardVerify with the connected reader and the access key; a failure is
// reported in the operator's words. Returns the status unchanged.
uint32_t AuthenticateToken(ToolContext& ctx);

// The profile's configuration from the form (title null: the token keeps
// its title). CARD_E_BAD_ARG without a library call when a time is to be
// set and the UTC field is empty.
uint32_t ApplyProfileConfig(ToolContext& ctx, const char* title);

// The seed from the current seed source into the profile, after asking
// before an existing seed is overwritten. 0, kSeedWriteAbandoned, or a
// library status.
uint32_t WriteProfileSeed(ToolContext& ctx);

// "⚡ provision profile"
void ProvisionProfile(ToolContext& ctx);
// "apply config conly"
void ApplyConfigOnly(ToolContext& ctx);
// How long "write seed only" stays disabled after a press.
inline constexpr std::chrono::milliseconds kWriteSeedButtonPause{500};

// "write seed only": arms or disarms the automatic write.
void ToggleWriteSeed(ToolContext& ctx);
// The automatic write, on the card thread.
void RunAutoWrite(ToolContext& ctx);
// "Load from file": a seed file (.txt) or a seed provider library (.so or
// .dll) as the seed source, told apart by the extension.
void LoadFromFile(ToolContext& ctx);
// The rest of "Load from file" once the kind of file is known: shows the
// path in the seed field, makes source (SeedFile or Provider) the seed
// source and loads it, with the dialog's message and an emptied seed field
// on failure. The command-line tool names the kind instead of relying on
// an extension. False when the file did not load.
bool LoadSeedSource(ToolContext& ctx, const std::filesystem::path& path, SeedSource source);

}  // namespace provisor
