/*
 * Quillon: command library for Norvik-2 one-time-password tokens.
 *
 * Every function opens its own PC/SC session to the named reader, exchanges
 * one or two APDUs with the token, closes the session and returns a 32-bit
 * status code. Nothing is held between calls. Calls must not overlap within
 * one process (the session slot and the cipher key state are process-wide).
 *
 * Text arguments are NUL-terminated UTF-8 strings. Output buffers belong to
 * the caller and are written without a terminating NUL; their length
 * argument is the capacity on entry and the number of bytes written on
 * return.
 *
 * Null pointers: a null reader name gives CARD_E_NOT_CONNECTED (no session
 * can be opened to it). A null required text (access key, new key, PIN,
 * algorithm, clock text) or a null required output pointer gives
 * CARD_E_MISSING_ARG. Optional outputs documented as "may be null" are
 * simply skipped.
 *
 * A failed exchange is one that went wrong below the token's answer: the
 * PC/SC transmit failed (card removed, reader gone, ...), the token asked for
 * GET RESPONSE more than 32 times in a row (SCARD_F_COMM_ERROR), or the
 * reader driver reported more bytes than it was offered
 * (SCARD_E_INSUFFICIENT_BUFFER). Commands report it in one of three ways,
 * noted at each declaration below as "Failed exchange:":
 *   - the PC/SC code itself, unchanged (all PC/SC codes are 0x8010xxxx, so
 *     they never collide with the codes below): CardReadSnAndTime,
 *     CardGetSeedFlag, CardReadSeedInfo, CardScreenLock, CardScreenUnLock;
 *   - CARD_E_EXCHANGE: CardVerify, CardChangeKey, CardInitKey, CardChgPrompt,
 *     CardReadOTP, CardDeleteSeed, CardSetkeypad, and CardSetPIN's second
 *     command;
 *   - CARD_E_STATUS_WORD, the same code as a refusal by the token:
 *     CardSetTime, CardBurnSeed, CardSeal, CardConfig, CardSetStandbyTime,
 *     CardDisablePIN, and CardSetPIN's first command.
 * A token answer other than 90 00 gives CARD_E_STATUS_WORD unless the
 * command's "Status words:" note maps it to a finer code. In every case the
 * token may have carried out the command even though a failure is reported.
 */
#ifndef QUILLON_H
#define QUILLON_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define QUILLON_API __attribute__((visibility("default")))
#else
#define QUILLON_API
#endif

/* ---- Status codes ------------------------------------------------------ */
#define CARD_OK 0x00000000u
#define CARD_E_STATUS_WORD 0x00000001u           /* status word not 90 00 (or, for some commands, a failed exchange) */
#define CARD_E_NOT_CONNECTED 0x00000002u         /* PC/SC session could not be opened */
#define CARD_E_MISSING_ARG 0x00001001u           /* required text or output pointer absent or empty */
#define CARD_E_AUTH_FAILED_UNLIMITED 0x00001002u /* 6F 08: key rejected, tries not limited */
#define CARD_E_SEED_LENGTH 0x00001004u           /* seed length not 1..160 */
#define CARD_E_BAD_ARG 0x00001006u               /* argument outside its allowed values */
#define CARD_E_KEY_LOCKED 0x00001007u            /* 69 83: access key locked */
#define CARD_E_EXCHANGE 0x00001008u /* exchange failed at the PC/SC level (CardVerify: also an unmapped status word) */
#define CARD_E_PROFILE_RANGE 0x00001009u     /* profile number above 99 */
#define CARD_E_KEY_LENGTH 0x0000100Au        /* key text over 32 characters; PIN length */
#define CARD_E_TIME_FORMAT 0x00002001u       /* time text rejected */
#define CARD_E_BUFFER_TOO_SMALL 0x00002002u  /* caller's output buffer too short */
#define CARD_E_NO_SEED 0x00003001u           /* 6A 83: profile holds no seed */
#define CARD_E_CONFIRM_TIMEOUT 0x00003002u   /* 6F F9: no confirmation on the token in time */
#define CARD_E_CONFIRM_CANCELLED 0x00003003u /* 6F F8: the user refused on the token */
#define CARD_W_TRIES_LEFT 0x0000C000u        /* + n: 63 n, key rejected with n tries left */
#define CARD_W_TRIES_LEFT_MAX 0x0000C0FFu

/* ---- Profile flags ------------------------------------------------------ */
#define PROFILE_FLAG_CLEAR_SEED 0x05u
#define PROFILE_FLAG_AUTO_ENTER 0x80u
#define PROFILE_FLAGS_KEEP 0x62u

/* ---- Serial number and clock -------------------------------------------- */
/* Failed exchange: the PC/SC code. An answer shorter than 12 bytes:
 * CARD_E_STATUS_WORD. */
QUILLON_API uint32_t CardReadSnAndTime(const char* reader, int32_t profile, char* serial, uint32_t* serialLen,
                                       char* clockText, uint32_t* clockLen);

/* ---- Access key --------------------------------------------------------- */
/* Failed exchange (challenge or cryptogram), or a failed cipher step:
 * CARD_E_EXCHANGE. Status words: 69 83 CARD_E_KEY_LOCKED, 63 n
 * CARD_W_TRIES_LEFT + n, 6F 08 CARD_E_AUTH_FAILED_UNLIMITED, any other
 * CARD_E_EXCHANGE. */
QUILLON_API uint32_t CardVerify(const char* reader, const char* accessKey);
/* Failed exchange: CARD_E_EXCHANGE. Status words: 6F F8
 * CARD_E_CONFIRM_CANCELLED, 6F F9 CARD_E_CONFIRM_TIMEOUT. */
QUILLON_API uint32_t CardChangeKey(const char* reader, const char* accessKey, const char* newAccessKey);
/* Failed exchange: CARD_E_EXCHANGE. Status words: as CardChangeKey. */
QUILLON_API uint32_t CardInitKey(const char* reader);

/* ---- Seed slots --------------------------------------------------------- */
/* Failed exchange: CARD_E_STATUS_WORD. */
QUILLON_API uint32_t CardBurnSeed(const char* reader, const char* accessKey, int32_t profile, const uint8_t* seed,
                                  int32_t seedLen);
/* Failed exchange: CARD_E_EXCHANGE. Status words: 6A 83 CARD_E_NO_SEED. */
QUILLON_API uint32_t CardDeleteSeed(const char* reader, int32_t profile);
/* seedPresent may be null. Failed exchange: the PC/SC code. An answer that
 * is no profile record: CARD_E_STATUS_WORD. */
QUILLON_API uint32_t CardGetSeedFlag(const char* reader, int32_t profile, int32_t* seedPresent);
/* Each output may be null. Failed exchange: the PC/SC code. An answer too
 * short to hold the flags: CARD_E_STATUS_WORD. */
QUILLON_API uint32_t CardReadSeedInfo(const char* reader, int32_t profile, int32_t* clearSeed, int32_t* autoEnter,
                                      int32_t* keptFlags);
/* otp receives at most 15 bytes, so a zeroed 16-byte buffer stays a
 * terminated string. Failed exchange: CARD_E_EXCHANGE. Status words: 6A 83
 * CARD_E_NO_SEED. */
QUILLON_API uint32_t CardReadOTP(const char* reader, const char* accessKey, int32_t profile, char* otp);
/* Failed exchange: CARD_E_STATUS_WORD. */
QUILLON_API uint32_t CardSeal(const char* reader, const char* accessKey);

/* ---- Profile and display configuration ---------------------------------- */
/* Failed exchange: CARD_E_STATUS_WORD. */
QUILLON_API uint32_t CardConfig(const char* reader, const char* accessKey, int32_t profile, const char* algorithm,
                                int32_t timeStep, int32_t otpLength, int32_t clearSeed, const char* timeText,
                                const char* title, int32_t autoEnter, int32_t baseFlags);
/* Failed exchange: CARD_E_STATUS_WORD. */
QUILLON_API uint32_t CardSetTime(const char* reader, const char* accessKey, const char* clockText, int32_t option);
/* Failed exchange: CARD_E_EXCHANGE. */
QUILLON_API uint32_t CardChgPrompt(const char* reader, const char* accessKey, int32_t profile, const char* title,
                                   uint32_t titleLen);
/* Failed exchange: CARD_E_STATUS_WORD. */
QUILLON_API uint32_t CardSetStandbyTime(const char* reader, const char* accessKey, int32_t seconds);

/* ---- PIN, keypad and screen lock ---------------------------------------- */
/* Two commands: switching PIN protection on, then storing the PIN. A failed
 * first exchange, or a refusal, makes the result CARD_E_STATUS_WORD, and the
 * PIN is stored all the same; a failed second exchange: CARD_E_EXCHANGE. */
QUILLON_API uint32_t CardSetPIN(const char* reader, const char* accessKey, const char* pin);
/* Failed exchange: CARD_E_STATUS_WORD. */
QUILLON_API uint32_t CardDisablePIN(const char* reader, const char* accessKey);
/* Failed exchange: CARD_E_EXCHANGE. */
QUILLON_API uint32_t CardSetkeypad(const char* reader, const char* accessKey, int32_t mode);
/* Failed exchange: the PC/SC code (both). */
QUILLON_API uint32_t CardScreenLock(const char* reader);
QUILLON_API uint32_t CardScreenUnLock(const char* reader);

/* ---- Function pointer types for run-time binding ------------------------ */
typedef uint32_t (*PFN_CardReadSnAndTime)(const char*, int32_t, char*, uint32_t*, char*, uint32_t*);
typedef uint32_t (*PFN_CardVerify)(const char*, const char*);
typedef uint32_t (*PFN_CardChangeKey)(const char*, const char*, const char*);
typedef uint32_t (*PFN_CardInitKey)(const char*);
typedef uint32_t (*PFN_CardBurnSeed)(const char*, const char*, int32_t, const uint8_t*, int32_t);
typedef uint32_t (*PFN_CardDeleteSeed)(const char*, int32_t);
typedef uint32_t (*PFN_CardGetSeedFlag)(const char*, int32_t, int32_t*);
typedef uint32_t (*PFN_CardReadSeedInfo)(const char*, int32_t, int32_t*, int32_t*, int32_t*);
typedef uint32_t (*PFN_CardReadOTP)(const char*, const char*, int32_t, char*);
typedef uint32_t (*PFN_CardSeal)(const char*, const char*);
typedef uint32_t (*PFN_CardConfig)(const char*, const char*, int32_t, const char*, int32_t, int32_t, int32_t,
                                   const char*, const char*, int32_t, int32_t);
typedef uint32_t (*PFN_CardSetTime)(const char*, const char*, const char*, int32_t);
typedef uint32_t (*PFN_CardChgPrompt)(const char*, const char*, int32_t, const char*, uint32_t);
typedef uint32_t (*PFN_CardSetStandbyTime)(const char*, const char*, int32_t);
typedef uint32_t (*PFN_CardSetPIN)(const char*, const char*, const char*);
typedef uint32_t (*PFN_CardDisablePIN)(const char*, const char*);
typedef uint32_t (*PFN_CardSetkeypad)(const char*, const char*, int32_t);
typedef uint32_t (*PFN_CardScreenLock)(const char*);
typedef uint32_t (*PFN_CardScreenUnLock)(const char*);

#ifdef __cplusplus
}
#endif

#endif /* QUILLON_H */
