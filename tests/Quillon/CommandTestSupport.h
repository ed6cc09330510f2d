// Shared fixture for the export tests: a fresh PC/SC double per test and the
// checks every export owes the frame (session closed, handles released).
#pragma once

#include "CardSession.h"
#include "OpenSslReference.h"
#include "PcscDouble.h"
#include "Quillon.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillon::testing {

inline constexpr const char* kReader = "Norvik Reader 0";

class CommandTest : public ::testing::Test {
protected:
    void SetUp() override { pcscdouble::Reset(); }
    void TearDown() override { EXPECT_TRUE(SessionReleased()) << "session left open"; }

    // True when no context or card handle is live and the slot is zero.
    static bool SessionReleased();
    // The commands sent so far, GET RESPONSEs included.
    static std::vector<pcscdouble::Bytes> Commands();
    static pcscdouble::Bytes Hex(const std::string& text) { return pcscdouble::Hex(text); }
};

// The reference cryptography that builds the bytes a command must send
// (RefCommandKey, RefSm4Ecb, RefPad80, RefMac) is OpenSslReference.h,
// independent of the library's own SM4 and MAC code.
// 84 INS P1 P2 (n+4) D MAC, the MAC over 80 INS P1 P2 n D.
Bytes RefSecured(const Bytes& key, uint8_t ins, uint8_t p1, uint8_t p2, const Bytes& data);
Bytes Concat(std::initializer_list<Bytes> parts);

}  // namespace quillon::testing
