// The table of Quillon entry points the tool resolves at run time. Entries
// are read through Call(), which returns nothing instead of calling an entry
// that is empty, so no button can jump through a missing export.
//
// The library keeps one session slot and one cipher key state per process,
// so two of its calls must never overlap: the card thread's token reads and
// automatic write run while a button's action runs on the UI thread, and a
// bulk run has a thread of its own. Call() therefore holds one process-wide
// lock for the length of every call. It is the only lock the tool holds
// while pcscd or the token is working.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <type_traits>

#include "Quillon.h"

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

class CardApi {
public:
    CardApi() { Clear(); }
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
        std::lock_guard lock(CallLock());
        return std::optional<Result>{fn(args...)};
    }

    // Held for the length of every call through Call().
    static std::mutex& CallLock();

private:
    std::array<std::atomic<void*>, kCardApiEntries> m_entries;
};

// The process-wide table. Written on the UI thread while the library is
// bound (and its GetSeed entry when a seed provider is chosen); read by
// every thread.
extern CardApi g_cardApi;

}  // namespace provisor
