// What the access key dialog decides when a "Save" button is pressed, kept
// apart from the widgets so it can be checked on its own.
#pragma once

#include <QString>

#include "session/UserPrompts.h"

namespace provisor {

// 16 key bytes as hexadecimal digits.
constexpr int kAccessKeyMaxChars = 32;

// The key a token holds after a factory reset.
inline const QString kFactoryDefaultKey = QStringLiteral("6B3F09D2A4C8571E90B2D6F4138A5C7E");

inline const QString kKeyTooLongMessage = QStringLiteral("Key must be no more than 16 bytes!");
// Our wording of the generic "field too long" validation message.
inline const QString kMaxCharsMessage = QStringLiteral("Please enter no more than 32 characters.");

// White space removed at both ends, then every blank inside.
QString CleanKeyText(const QString& text);

struct KeySaveOutcome {
    bool accepted = false;
    QString cleaned;  // the text to show in the hexadecimal field
};

// Validates the hexadecimal field's text as "Save" does, reporting refusals
// through sink. Text over the field limit first gets the generic validation
// message; the cleaned text is then accepted when it has at most 32
// characters, otherwise refused with kKeyTooLongMessage. Whether the text is
// hexadecimal is left to the storing rules.
KeySaveOutcome DecideKeySave(const QString& fieldText, IMessageSink& sink);

}  // namespace provisor
