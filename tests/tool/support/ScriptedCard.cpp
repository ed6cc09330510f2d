#include "ScriptedCard.h"

#include <algorithm>
#include <cstring>

namespace tooltest {

namespace {

ScriptedCard& S() { return ScriptedCard::Instance(); }

std::string T(const char* text) { return text ? std::string(text) : std::string("<null>"); }
std::string N(long long n) { return std::to_string(n); }

uint32_t CardInitKey(const char* r) { return S().Record("CardInitKey", {T(r)}); }

uint32_t CardReadSnAndTime(const char* r, int32_t p, char* serial, uint32_t* serialLen, char* clock,
                           uint32_t* clockLen) {
    const uint32_t status = S().Record("CardReadSnAndTime", {T(r), N(p), N(*serialLen), N(*clockLen)});
    if (status == 0 && S().overrunBuffers) {
        std::memset(serial, 'S', *serialLen);
        std::memset(clock, 'C', *clockLen);
        *serialLen = *clockLen = 200;
    } else if (status == 0) {
        const std::string& sn = S().serial;
        const std::string& ck = S().clockText;
        *serialLen = static_cast<uint32_t>(std::min<size_t>(sn.size(), *serialLen));
        std::memcpy(serial, sn.data(), *serialLen);
        *clockLen = static_cast<uint32_t>(std::min<size_t>(ck.size(), *clockLen));
        std::memcpy(clock, ck.data(), *clockLen);
    }
    return status;
}

uint32_t CardBurnSeed(const char* r, const char* k, int32_t p, const uint8_t* seed, int32_t len) {
    const uint32_t status = S().Record("CardBurnSeed", {T(r), T(k), N(p), Hex(seed, static_cast<size_t>(len)), N(len)});
    if (status == 0) S().seedPresent[p] = true;
    return status;
}

uint32_t CardSetTime(const char* r, const char* k, const char* t, int32_t o) {
    return S().Record("CardSetTime", {T(r), T(k), T(t), N(o)});
}

uint32_t CardVerify(const char* r, const char* k) { return S().Record("CardVerify", {T(r), T(k)}); }

uint32_t CardSeal(const char* r, const char* k) { return S().Record("CardSeal", {T(r), T(k)}); }

uint32_t CardConfig(const char* r, const char* k, int32_t p, const char* alg, int32_t step, int32_t digits,
                    int32_t clear, const char* time, const char* title, int32_t enter, int32_t flags) {
    return S().Record("CardConfig",
                      {T(r), T(k), N(p), T(alg), N(step), N(digits), N(clear), T(time), T(title), N(enter), N(flags)});
}

uint32_t CardChangeKey(const char* r, const char* k, const char* n) {
    return S().Record("CardChangeKey", {T(r), T(k), T(n)});
}

uint32_t CardChgPrompt(const char* r, const char* k, int32_t p, const char* title, uint32_t len) {
    return S().Record("CardChgPrompt", {T(r), T(k), N(p), title ? std::string(title, len) : "<null>", N(len)});
}

uint32_t CardSetStandbyTime(const char* r, const char* k, int32_t s) {
    return S().Record("CardSetStandbyTime", {T(r), T(k), N(s)});
}

uint32_t CardDisablePIN(const char* r, const char* k) { return S().Record("CardDisablePIN", {T(r), T(k)}); }

uint32_t CardSetPIN(const char* r, const char* k, const char* pin) {
    return S().Record("CardSetPIN", {T(r), T(k), T(pin)});
}

uint32_t CardReadOTP(const char* r, const char* k, int32_t p, char* otp) {
    uint32_t status = S().Record("CardReadOTP", {T(r), T(k), N(p)});
    if (status == 0 && !S().seedPresent[p]) status = 0x3001;
    if (status == 0 && S().overrunBuffers)
        std::memset(otp, '7', 16);
    else if (status == 0)
        std::memcpy(otp, S().otp.data(), std::min<size_t>(S().otp.size(), 15));
    return status;
}

uint32_t CardDeleteSeed(const char* r, int32_t p) {
    uint32_t status = S().Record("CardDeleteSeed", {T(r), N(p)});
    if (status == 0 && !S().seedPresent[p]) status = 0x3001;
    if (status == 0) S().seedPresent[p] = false;
    return status;
}

uint32_t CardReadSeedInfo(const char* r, int32_t p, int32_t* clear, int32_t* enter, int32_t* kept) {
    const uint32_t status = S().Record(
        "CardReadSeedInfo", {T(r), N(p), clear ? "out" : "<null>", enter ? "out" : "<null>", kept ? "out" : "<null>"});
    if (status == 0) {
        if (clear) *clear = S().clearSeed;
        if (enter) *enter = S().autoEnter;
        if (kept) *kept = S().keptFlags;
    }
    return status;
}

uint32_t CardSetkeypad(const char* r, const char* k, int32_t m) {
    return S().Record("CardSetkeypad", {T(r), T(k), N(m)});
}

uint32_t CardGetSeedFlag(const char* r, int32_t p, int32_t* flag) {
    const uint32_t status = S().Record("CardGetSeedFlag", {T(r), N(p)});
    if (status == 0 && flag) *flag = S().seedPresent[p] ? 1 : 0;
    return status;
}

uint32_t CardScreenLock(const char* r) { return S().Record("CardScreenLock", {T(r)}); }
uint32_t CardScreenUnLock(const char* r) { return S().Record("CardScreenUnLock", {T(r)}); }

int32_t GetSeed(const char* serial, int32_t len, uint8_t* seed, int32_t* capacity) {
    const uint32_t status = S().Record("GetSeed", {T(serial), N(len), N(*capacity)});
    if (status != 0) return static_cast<int32_t>(status);
    const std::string& hex = S().providedSeedHex;
    const int32_t n = static_cast<int32_t>(hex.size() / 2);
    for (int32_t i = 0; i < n && i < *capacity; ++i)
        seed[i] = static_cast<uint8_t>(std::stoi(hex.substr(static_cast<size_t>(2 * i), 2), nullptr, 16));
    *capacity = n;
    return 0;
}

}  // namespace

std::string Hex(const uint8_t* bytes, size_t n) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; bytes && i < n; ++i) {
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 15];
    }
    return s;
}

ScriptedCard& ScriptedCard::Instance() {
    static ScriptedCard card;
    return card;
}

void ScriptedCard::Reset() {
    std::lock_guard lock(m_mutex);
    m_calls.clear();
    m_queued.clear();
    m_always.clear();
    m_hook = nullptr;
    serial = "NV2A00000001";
    clockText = "2026-12-07 10:11:12";
    seedPresent.clear();
    clearSeed = 0;
    autoEnter = 1;
    keptFlags = 0x20;
    otp = "123456";
    overrunBuffers = false;
    providedSeedHex = "3132333435363738393031323334353637383930";
}

void ScriptedCard::Install(provisor::CardApi& api, bool withGetSeed) {
    using provisor::CardFn;
    api.Clear();
#define TOOLTEST_SET(name) api.Set<CardFn::name>(&name);
    PROVISOR_CARD_EXPORTS(TOOLTEST_SET)
#undef TOOLTEST_SET
    if (withGetSeed) api.Set<CardFn::GetSeed>(&GetSeed);
}

void ScriptedCard::Queue(const std::string& fn, uint32_t status) {
    std::lock_guard lock(m_mutex);
    m_queued[fn].push_back(status);
}

void ScriptedCard::Always(const std::string& fn, uint32_t status) {
    std::lock_guard lock(m_mutex);
    m_always[fn] = status;
}

void ScriptedCard::OnCall(std::function<void(const CardCall&)> hook) {
    std::lock_guard lock(m_mutex);
    m_hook = std::move(hook);
}

uint32_t ScriptedCard::Record(const std::string& fn, std::vector<std::string> args) {
    std::function<void(const CardCall&)> hook;
    CardCall call{fn, std::move(args)};
    uint32_t status = 0;
    {
        std::lock_guard lock(m_mutex);
        m_calls.push_back(call);
        auto& queue = m_queued[fn];
        if (!queue.empty()) {
            status = queue.front();
            queue.pop_front();
        } else if (auto it = m_always.find(fn); it != m_always.end()) {
            status = it->second;
        }
        hook = m_hook;
    }
    if (hook) hook(call);
    return status;
}

std::vector<CardCall> ScriptedCard::Calls() const {
    std::lock_guard lock(m_mutex);
    return m_calls;
}

std::vector<std::string> ScriptedCard::Names() const {
    std::lock_guard lock(m_mutex);
    std::vector<std::string> names;
    for (const auto& c : m_calls) names.push_back(c.fn);
    return names;
}

void ScriptedCard::ClearCalls() {
    std::lock_guard lock(m_mutex);
    m_calls.clear();
}

}  // namespace tooltest
