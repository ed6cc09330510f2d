// The table of Quillon entry points the tool resolves at run time. Entries
// are read through Call(), which returns nothing instead of calling an entry
// that is empty, so no button can jump through a missing export, and typed
// wrappers hand back the library's output texts already cut to length.
//
// The library keeps one session slot and one cipher key state per process,
// so two of its calls must never overlap: the card thread's token reads and
// automatic write run while a button's action runs on the UI thread, and a
// bulk run has a thread of its own. Call() therefore holds the table's call
// lock for the length of every call; a process binds the library once, into
// its session's one table. It is the only lock the tool holds while pcscd
// or the token is working. A call made on the thread of the session's runner
// (the UI thread) waits through that runner.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>

#include "Quillon.h"
#include "session/CallRunner.h"

namespace provisor {

// Seed provider export: serial (NUL-terminated), its length, seed buffer,
// capacity in / seed length out. 0 on success.
typedef int32_t (*PFN_GetSeed)(const char*, int32_t, uint8_t*, int32_t*);

// The 19 exports in the order they are resolved.
#define PROVISOR_CARD_EXPORTS(X) \
    X(CardInitKey)               \
    X(CardReadSnAndTime)         \
    X(CardBurnSeed)              \
    X(CardSetTime)               \
    X(CardVerify)                \
    X(CardSeal)                  \
    X(CardConfig)                \
    X(CardChangeKey)             \
    X(CardChgPrompt)             \
    X(CardSetStandbyTime)        \
    X(CardDisablePIN)            \
    X(CardSetPIN)                \
    X(CardReadOTP)               \
    X(CardDeleteSeed)            \
    X(CardReadSeedInfo)          \
    X(CardSetkeypad)             \
    X(CardGetSeedFlag)           \
    X(CardScreenLock)            \
    X(CardScreenUnLock)

// clang-format off
enum class CardFn : size_t {
#define PROVISOR_CARD_ENUM(name) name,
    PROVISOR_CARD_EXPORTS(PROVISOR_CARD_ENUM)
#undef PROVISOR_CARD_ENUM
    GetSeed,
};
// clang-format on

constexpr size_t kCardExportCount = static_cast<size_t>(CardFn::GetSeed);
constexpr size_t kCardApiEntries = kCardExportCount + 1;

inline constexpr std::array<const char*, kCardExportCount> kCardExportNames = {
#define PROVISOR_CARD_NAME(name) #name,
    PROVISOR_CARD_EXPORTS(PROVISOR_CARD_NAME)
#undef PROVISOR_CARD_NAME
};

template <CardFn F>
struct CardFnTraits;
#define PROVISOR_CARD_TRAITS(name)      \
    template <>                         \
    struct CardFnTraits<CardFn::name> { \
        using Type = PFN_##name;        \
    };
PROVISOR_CARD_EXPORTS(PROVISOR_CARD_TRAITS)
PROVISOR_CARD_TRAITS(GetSeed)
#undef PROVISOR_CARD_TRAITS

// Status of a call whose entry is empty (the library did not load): reported
// like any failure, never called.
constexpr uint32_t kNoLibraryStatus = 0xFFFFFFFFu;

inline uint32_t StatusOf(std::optional<uint32_t> result) { return result.value_or(kNoLibraryStatus); }

// The serial number and clock text of a token, each ending where the library
// said and never past the buffer it was given.
struct SerialAndClock {
    uint32_t status = kNoLibraryStatus;
    std::string serial;
    std::string clock;
    bool Ok() const { return status == CARD_OK; }
};

// A profile's current password, ending at its terminator or the end of the
// buffer, whichever comes first.
struct OtpReading {
    uint32_t status = kNoLibraryStatus;
    std::string otp;
    bool Ok() const { return status == CARD_OK; }
};

class CardApi {
public:
    // Calls made on runner's thread wait through its runner.
    explicit CardApi(const CallRunnerSlot* runner = nullptr) : m_runner(runner) { Clear(); }
    CardApi(const CardApi&) = delete;
    CardApi& operator=(const CardApi&) = delete;

    void Clear();
    // Clears every entry (GetSeed included), then fills the 19 exports in
    // table order from lookup; a name lookup cannot find stays empty.
    void Resolve(const std::function<void*(const char*)>& lookup);

    bool Has(CardFn fn) const { return m_entries[static_cast<size_t>(fn)].load(std::memory_order_acquire) != nullptr; }

    template <CardFn F>
    typename CardFnTraits<F>::Type Get() const {
        return reinterpret_cast<typename CardFnTraits<F>::Type>(
            m_entries[static_cast<size_t>(F)].load(std::memory_order_acquire));
    }

    template <CardFn F>
    void Set(typename CardFnTraits<F>::Type fn) {
        m_entries[static_cast<size_t>(F)].store(reinterpret_cast<void*>(fn), std::memory_order_release);
    }

    // The entry's result, or nullopt when the entry is empty.
    template <CardFn F, typename... Args>
    auto Call(Args... args) const {
        using Fn = typename CardFnTraits<F>::Type;
        using Result = std::invoke_result_t<Fn, Args...>;
        const Fn fn = Get<F>();
        if (!fn) return std::optional<Result>{};
        std::optional<Result> result;
        RunLocked([&] { result = fn(args...); });
        return result;
    }

    // work under the call lock, waiting through the runner like a call.
    void RunLocked(const std::function<void()>& work) const;
    // work, which makes several calls, through the runner in one wait rather
    // than one wait per call; it must not need the runner's thread.
    void RunTogether(const std::function<void()>& work) const;

    // Held for the length of every call through Call(); whatever else
    // talks PC/SC in the process takes it too.
    std::mutex& CallLock() const { return m_callLock; }

    // The calls whose outputs are texts, with the texts cut to length.
    SerialAndClock ReadSnAndTime(const char* reader, int32_t profile) const;
    OtpReading ReadOtp(const char* reader, const char* accessKey, int32_t profile) const;

private:
    const CallRunnerSlot* m_runner;
    mutable std::mutex m_callLock;
    std::array<std::atomic<void*>, kCardApiEntries> m_entries;
};

}  // namespace provisor
