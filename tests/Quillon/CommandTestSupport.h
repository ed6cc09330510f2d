// Shared fixture for the export tests: a fresh PC/SC double per test and the
// checks every export owes the frame (session closed, handles released).
#pragma once

#include "CardSession.h"
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

}  // namespace quillon::testing
