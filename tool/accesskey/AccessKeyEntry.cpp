#include "accesskey/AccessKeyEntry.h"

namespace provisor {

QString CleanKeyText(const QString& text) {
    QString cleaned = text.trimmed();
    cleaned.remove(QLatin1Char(' '));
    return cleaned;
}

KeySaveOutcome DecideKeySave(const QString& fieldText, IMessageSink& sink) {
    if (fieldText.size() > kAccessKeyMaxChars) sink.ShowMessage(kMaxCharsMessage, kCaption, MessageIcon::Warning);
    KeySaveOutcome outcome;
    outcome.cleaned = CleanKeyText(fieldText);
    outcome.accepted = outcome.cleaned.size() <= kAccessKeyMaxChars;
    if (!outcome.accepted) sink.ShowMessage(kKeyTooLongMessage, kCaption, MessageIcon::Error);
    return outcome;
}

}  // namespace provisor
