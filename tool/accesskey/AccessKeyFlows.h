// The operator's dealings with the access key from the main dialog: the key
// the tool uses ("Access Key" menu entry), the key inside the token ("change
// key", "factory reset") and the plain-text entry aid beside them. None of
// them takes the busy flag.
#pragma once

#include <string>

#include "provisioning/Provisioning.h"
#include "session/ToolContext.h"

namespace provisor {

class ProvisorStartup;

inline const QString kKeyFormatError =
    QStringLiteral("Key format error,it must hexadecimal number(0-F) of no more than 32 hex");
inline const QString kChangeKeySuccess = QStringLiteral(
    "Change customer key success! New key will become active on the next launch. Make sure you set the same key in "
    "the System configuration as well!");

// "Tool Configuration" -> "Access Key": asks for a key, stores it in the
// configuration file and uses it from now on. The token is not contacted.
void OnAccessKeyMenu(const ToolContext& ctx, ProvisorStartup& startup);

// Every change of the "Ascii:" field: "Hex:" becomes its hexadecimal text.
void OnAsciiKeyChanged(const ToolContext& ctx);

// The calls of "change key" after its check and authentication, and of
// "factory reset", for any caller. A reset that went through has also
// authenticated with the factory key (a refusal is told) and switched the
// numeric keypad off; its status is CardInitKey's.
ActionOutcome ChangeTokenKey(const CardApi& api, const std::string& reader, const std::string& currentKey,
                             const std::string& newKey);
ActionOutcome ResetTokenKey(const CardApi& api, const std::string& reader, int profile);

// "change key": the token's key becomes the "Hex:" field's text.
void ChangeKey(const ToolContext& ctx);

// "factory reset": the token's key back to the factory default, then the
// tool authenticates with it and switches the numeric keypad off.
void FactoryReset(const ToolContext& ctx);

}  // namespace provisor
