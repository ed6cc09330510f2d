// Writing a profile: the steps every privileged action is built from
// (AuthenticateToken, ApplyProfileConfig, WriteProfileSeed), the actions
// that combine them, and the busy flag that keeps two button actions from
// talking to the token at once.
#pragma once

#include <QString>

#include <atomic>
#include <cstdint>
#include <filesystem>

#include "session/ToolContext.h"

namespace provisor {

// Taken by atomic exchange by the button actions that talk to the token (and
// the bulk run); an action that finds it taken does nothing at all.
extern std::atomic<bool> g_busy;

// Holds g_busy for its lifetime when it was free.
class BusyFlag {
public:
    BusyFlag() : m_taken(!g_busy.exchange(true)) {}
    ~BusyFlag() {
        if (m_taken) g_busy.exchange(false);
    }
    BusyFlag(const BusyFlag&) = delete;
    BusyFlag& operator=(const BusyFlag&) = delete;
    bool Taken() const { return m_taken; }

private:
    bool m_taken;
};

// Status the flows use when the library entry they need is missing (the
// library did not load): reported like any failure, never called.
constexpr uint32_t kNoLibraryStatus = 0xFFFFFFFFu;
// WriteProfileSeed gave up before CardBurnSeed (no seed, the operator said
// Cancel); kept apart from every library status, 1 included.
constexpr uint32_t kSeedWriteAbandoned = 0xFFFFFFFEu;

inline uint32_t StatusOf(std::optional<uint32_t> result) { return result.value_or(kNoLibraryStatus); }
// "%08X"
QString StatusText(uint32_t status);
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
