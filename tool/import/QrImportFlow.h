// The two QR buttons of the profile form: "QR from image" and "QR from
// screen". They fill the seed, algorithm, title, time step and OTP length
// from an otpauth QR code; nothing is sent to the token, the operator writes
// the profile afterwards. Both run on the UI thread, take no busy flag and
// make no library call.
#pragma once

#include <chrono>

#include "session/ToolContext.h"

namespace provisor {

// Filter of the image chooser.
inline constexpr const char* kQrImageFilter = "PNG Files (*.png)|*.png|JPEG Files (*.jpg)|*.jpg|All Files (*.*)|*.*||";

// How long the window gets to vanish before the screen is captured.
inline constexpr std::chrono::milliseconds kMinimizeSettle{300};

// "QR from image"
void ImportQrFromImage(const ToolContext& ctx);
// "QR from screen"
void ImportQrFromScreen(const ToolContext& ctx);

}  // namespace provisor
