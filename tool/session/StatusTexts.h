// What the tool says about a library status: the one table of the statuses
// it has words for, by where the status came from, and the "[%08X]" form of
// every other one.
#pragma once

#include <QString>

#include <cstdint>

#include "Quillon.h"

namespace provisor {

// Where a status came from, which decides the words for it.
enum class StatusSource {
    Authentication,   // CardVerify
    ConfirmOnToken,   // a change the token's user confirms: CardChangeKey, CardInitKey
    ProfileContents,  // a profile read or cleared: CardDeleteSeed, CardReadOTP
};

struct StatusWording {
    StatusSource source;
    uint32_t first;  // the statuses first..last
    uint32_t last;
    const char* text;  // %1 the profile, %2 the low byte of the status (tries left)
};

// First match wins; a source whose last row spans every status has words for
// all of them.
inline constexpr StatusWording kStatusWordings[] = {
    {StatusSource::Authentication, CARD_W_TRIES_LEFT, CARD_W_TRIES_LEFT_MAX,
     "%1-Authentication failed, remaining %2 times"},
    {StatusSource::Authentication, CARD_E_KEY_LOCKED, CARD_E_KEY_LOCKED, "Customer key is locked"},
    {StatusSource::Authentication, CARD_E_AUTH_FAILED_UNLIMITED, CARD_E_AUTH_FAILED_UNLIMITED,
     "%1-Authentication failed, remaining unlimited times"},
    {StatusSource::Authentication, CARD_E_NOT_CONNECTED, CARD_E_NOT_CONNECTED, "%1-Device not connected"},
    {StatusSource::Authentication, 0, 0xFFFFFFFFu, "%1-Authentication process failed!"},
    {StatusSource::ConfirmOnToken, CARD_E_CONFIRM_TIMEOUT, CARD_E_CONFIRM_TIMEOUT, "Time out!"},
    {StatusSource::ConfirmOnToken, CARD_E_CONFIRM_CANCELLED, CARD_E_CONFIRM_CANCELLED, "User cancel!"},
    {StatusSource::ProfileContents, CARD_E_NO_SEED, CARD_E_NO_SEED, "Warning,empty seed under profile #%1."},
};

// "%08X": eight upper-case hexadecimal digits.
QString StatusHex(uint32_t status);

// prefix, the status as "%08X", then "]": the form of every failure text.
QString FailureText(const QString& prefix, uint32_t status);

// The table's words for status from source, filled in with profile; a null
// QString when the table has none.
QString StatusWords(StatusSource source, uint32_t status, int profile = 0);

// The words for status from source, or FailureText(failurePrefix, status).
QString StatusMessage(StatusSource source, uint32_t status, int profile, const QString& failurePrefix);

}  // namespace provisor
