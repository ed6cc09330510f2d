#include "session/StatusTexts.h"

namespace provisor {

QString StatusHex(uint32_t status) { return QStringLiteral("%1").arg(status, 8, 16, QLatin1Char('0')).toUpper(); }

QString FailureText(const QString& prefix, uint32_t status) { return prefix + StatusHex(status) + QLatin1Char(']'); }

QString StatusWords(StatusSource source, uint32_t status, int profile) {
    for (const StatusWording& row : kStatusWordings) {
        if (row.source != source || status < row.first || status > row.last) continue;
        QString text = QString::fromLatin1(row.text);
        if (text.contains(QLatin1String("%1"))) text = text.arg(profile);
        // The tries left are the status's whole low byte: 0xC010 is sixteen.
        if (text.contains(QLatin1String("%2"))) text = text.arg(status & 0xFFu);
        return text;
    }
    return {};
}

QString StatusMessage(StatusSource source, uint32_t status, int profile, const QString& failurePrefix) {
    const QString words = StatusWords(source, status, profile);
    return words.isNull() ? FailureText(failurePrefix, status) : words;
}

}  // namespace provisor
