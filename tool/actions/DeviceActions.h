// The single-purpose buttons of the main dialog: one change to, or one
// reading from, the token in the connected reader each. All start alike: no
// reader, nothing; the busy flag where the action takes it; authentication;
// then the action's own call and its message or result row.
#pragma once

#include <string>

#include "provisioning/Provisioning.h"
#include "session/ToolContext.h"

namespace provisor {

// Caption of the screen lock results.
inline const QString kHintsCaption = QStringLiteral("Hints");

// "set title only": the profile's title alone. Does not take the busy flag.
void SetTitleOnly(const ToolContext& ctx);
// "change": the display-off time chosen in the selector. Does not take the
// busy flag.
void ChangeDisplayOffTime(const ToolContext& ctx);
// "Set": the numeric keypad on or off as the "Use numeric keypad" box says.
void SetKeypadMode(const ToolContext& ctx);
// "remove seed", after the operator's OK.
void RemoveSeed(const ToolContext& ctx);
// "copy OTP": the profile's current password onto the clipboard.
void CopyOtp(const ToolContext& ctx);
// "🔒lock" and "🔑unlock".
void LockScreen(const ToolContext& ctx);
void UnlockScreen(const ToolContext& ctx);

// The parts of "remove seed" and "copy OTP" after the authentication, for
// any caller: the question "remove seed" asks first, CardDeleteSeed with a
// green row (an empty profile a warning and no row, any other status a red
// row and its message), CardReadOTP with the password and a green row (an
// empty profile a warning, any other status a red row alone).
QString RemoveSeedQuestion(int profile);
ActionOutcome DeleteProfileSeed(const CardApi& api, const std::string& reader, int profile);
struct OtpOutcome : ActionOutcome {
    std::string otp;  // the digits; the caller clears them once used
};
OtpOutcome ReadProfileOtp(const CardApi& api, const std::string& reader, const std::string& key, int profile);

// Seconds for a display-off selector entry: 15, 30, 60, otherwise 120.
int32_t DisplayOffSeconds(int selection);

}  // namespace provisor
