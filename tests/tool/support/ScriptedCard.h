// A scripted token behind CardApi: every entry records its call (name and
// arguments as text) and answers from a script, so a flow's exact sequence
// of library calls can be checked without a reader. One instance per
// process; Install() points a CardApi's entries at it.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "session/CardApi.h"

namespace tooltest {

struct CardCall {
    std::string fn;
    std::vector<std::string> args;  // texts as given ("<null>" for null), numbers in decimal, bytes in hex
};

class ScriptedCard {
public:
    static ScriptedCard& Instance();

    // Back to a token NV2A00000001 with empty profiles, every call answering 0.
    void Reset();
    // All 19 entries (and GetSeed when withGetSeed) pointed at the script.
    void Install(provisor::CardApi& api, bool withGetSeed = false);

    // The next call of fn answers status (queued, one per call).
    void Queue(const std::string& fn, uint32_t status);
    // Every call of fn answers status until changed.
    void Always(const std::string& fn, uint32_t status);
    // Runs inside each call, after it was recorded (the call lock is held).
    void OnCall(std::function<void(const CardCall&)> hook);

    std::vector<CardCall> Calls() const;
    std::vector<std::string> Names() const;
    void ClearCalls();

    // Token state the answers come from.
    std::string serial = "NV2A00000001";
    std::string clockText = "2026-12-07 10:11:12";
    std::map<int, bool> seedPresent;
    int32_t clearSeed = 0, autoEnter = 1, keptFlags = 0x20;
    std::string otp = "123456";
    // A library that misbehaves: CardReadSnAndTime fills both buffers and
    // reports lengths beyond them, CardReadOTP fills all 16 bytes of its
    // buffer, neither with a terminator.
    bool overrunBuffers = false;
    // What GetSeed hands out (hex), and its status.
    std::string providedSeedHex = "3132333435363738393031323334353637383930";

    // Used by the trampolines.
    uint32_t Record(const std::string& fn, std::vector<std::string> args);

private:
    mutable std::mutex m_mutex;
    std::vector<CardCall> m_calls;
    std::map<std::string, std::deque<uint32_t>> m_queued;
    std::map<std::string, uint32_t> m_always;
    std::function<void(const CardCall&)> m_hook;
};

std::string Hex(const uint8_t* bytes, size_t n);

}  // namespace tooltest
