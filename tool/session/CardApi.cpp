#include "session/CardApi.h"

#include <algorithm>
#include <cstring>

#include "formats/Secrets.h"

namespace provisor {

namespace {

// The library writes no terminator and says how much it wrote; a length
// beyond the buffer (a library that misreports) stops at the buffer, and
// the zero filling ends a text that is shorter than it says.
std::string Text(const char* buffer, uint32_t length, size_t capacity) {
    return std::string(buffer, strnlen(buffer, std::min<size_t>(length, capacity)));
}

}  // namespace

void CardApi::Clear() {
    for (auto& entry : m_entries) entry.store(nullptr, std::memory_order_release);
}

void CardApi::Resolve(const std::function<void*(const char*)>& lookup) {
    Clear();
    for (size_t i = 0; i < kCardExportCount; ++i)
        m_entries[i].store(lookup(kCardExportNames[i]), std::memory_order_release);
}

void CardApi::RunLocked(const std::function<void()>& work) const {
    RunTogether([&] {
        std::lock_guard lock(m_callLock);
        work();
    });
}

void CardApi::RunTogether(const std::function<void()>& work) const {
    if (m_runner)
        m_runner->Run(work);
    else
        work();
}

SerialAndClock CardApi::ReadSnAndTime(const char* reader, int32_t profile) const {
    char serial[32] = {};
    uint32_t serialLength = sizeof serial;
    char clock[64] = {};
    uint32_t clockLength = sizeof clock;
    SerialAndClock out;
    out.status = StatusOf(Call<CardFn::CardReadSnAndTime>(reader, profile, serial, &serialLength, clock, &clockLength));
    if (out.Ok()) {
        out.serial = Text(serial, serialLength, sizeof serial);
        out.clock = Text(clock, clockLength, sizeof clock);
    }
    return out;
}

OtpReading CardApi::ReadOtp(const char* reader, const char* accessKey, int32_t profile) const {
    char otp[16] = {};
    OtpReading out;
    out.status = StatusOf(Call<CardFn::CardReadOTP>(reader, accessKey, profile, otp));
    if (out.Ok()) out.otp = Text(otp, sizeof otp, sizeof otp);
    Wipe(otp);
    return out;
}

}  // namespace provisor
