// RFC 6030 Portable Symmetric Key Container files: the export that OTP
// servers and directory services import, and a seed source that vendors
// and servers hand out.
//
// The writer makes one KeyContainer with one KeyPackage per token:
//
//   <pskc:KeyContainer Version="1.0" ...>
//     <pskc:EncryptionKey> ds:KeyName, or xenc11:DerivedKey (PBKDF2)
//     <pskc:MACMethod Algorithm="...#hmac-sha1"> MACKey encrypted
//     <pskc:KeyPackage>
//       <pskc:DeviceInfo> Manufacturer, SerialNo, Model
//       <pskc:Key Id="serial" Algorithm="urn:ietf:params:xml:ns:keyprov:pskc:totp">
//         <pskc:AlgorithmParameters> [Suite SHA256] ResponseFormat Length Encoding="DECIMAL"
//         <pskc:Data> Secret (EncryptedValue + ValueMAC, or PlainValue), TimeInterval
//         [<pskc:UserId>]
//     ...
//   </pskc:KeyContainer>
//
// Secrets are AES-128-CBC encrypted (random IV prepended to the cipher
// text) under a pre-shared key or a PBKDF2 key from a passphrase; the
// ValueMAC is HMAC-SHA1 over IV and cipher text under a random MAC key that
// the file carries encrypted under the same key. A clear file (PlainValue)
// is made only when asked for.
//
// Interrupted files: the header is on disk before the first token, each
// KeyPackage is appended and synced whole, and the closing
// </pskc:KeyContainer> is written by Finish. A run that stops early leaves
// a file that ends after its last complete </pskc:KeyPackage> (or, after a
// crash in the middle of a write, inside the next one). ParsePskc reads
// such a file: it returns the complete packages and says the file is not
// complete. Cutting the file after its last "</pskc:KeyPackage>" line and
// appending "</pskc:KeyContainer>" turns it into a whole file for servers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "formats/OwnerFile.h"
#include "formats/Secrets.h"
#include "formats/TokenExport.h"

namespace provisor {

constexpr std::string_view kPskcTotpAlgorithm = "urn:ietf:params:xml:ns:keyprov:pskc:totp";
constexpr std::string_view kPskcHotpAlgorithm = "urn:ietf:params:xml:ns:keyprov:pskc:hotp";

// The pseudo-random function of PBKDF2. HMAC-SHA1 is what the servers that
// ignore the PRF element derive with (privacyIDEA), so it is the default.
enum class PbkdfPrf { HmacSha1, HmacSha256 };

constexpr uint32_t kPskcDefaultIterations = 100000;

// How a written file protects its secrets; made once per file.
class PskcProtection {
public:
    // key: 16 bytes (AES-128). keyName: what ds:KeyName tells the importer.
    static PskcProtection PreSharedKey(const SecretBytes& key, std::string keyName = "Pre-shared-key");
    // Derives the key now (16 random salt bytes); the passphrase is not kept.
    static PskcProtection Passphrase(const SecretBytes& passphrase, PbkdfPrf prf = PbkdfPrf::HmacSha1,
                                     uint32_t iterations = kPskcDefaultIterations, std::string keyName = {});
    // Secrets in clear: only for an operator who asked for a clear file.
    static PskcProtection Clear();

    bool encrypted() const { return !key_.empty(); }

private:
    friend class PskcFormatter;
    PskcProtection() = default;

    SecretBytes key_;     // AES-128 key; empty in clear
    SecretBytes macKey_;  // HMAC-SHA1 key, 20 random bytes
    std::string keyName_;
    std::vector<uint8_t> salt_;  // PBKDF2 only
    uint32_t iterations_ = 0;
    PbkdfPrf prf_ = PbkdfPrf::HmacSha1;
};

// The device fields every package carries.
struct PskcDevice {
    std::string manufacturer = "Norvik";
    std::string model = "Norvik-2";
};

// The file's text in its three parts, without a file: what PskcWriter
// writes, and what tests and the fuzz target read back.
class PskcFormatter {
public:
    PskcFormatter(PskcProtection protection, PskcDevice device = {});
    // Throws FormatError: an empty serial, a serial, manufacturer, model or
    // user with control characters or not UTF-8, a secret of 0 or more than
    // 160 bytes, digits outside 1-10, a step outside 1-3600.
    void Check(const ExportToken& token) const;
    std::string Header() const;
    // One KeyPackage, its secret encrypted with a fresh IV. Throws as Check.
    std::string Package(const ExportToken& token) const;
    static std::string_view Footer();

private:
    PskcProtection protection_;
    PskcDevice device_;
};

class PskcWriter final : public TokenExport {
public:
    // Creates the file with its header (OwnerFile::Create). Throws
    // FormatError for device fields a package cannot carry, FileError.
    PskcWriter(const std::filesystem::path& path, PskcProtection protection,
               OwnerFile::Existing existing = OwnerFile::Existing::Refuse, PskcDevice device = {});

    void Check(const ExportToken& token) const override { formatter_.Check(token); }
    void Add(const ExportToken& token) override;
    void WithdrawLast() override { file_.WithdrawLast(); }
    void Finish() override;
    const std::filesystem::path& Path() const override { return file_.Path(); }

private:
    PskcFormatter formatter_;
    OwnerFile file_;
};

// --- Reading -----------------------------------------------------------------

// What unlocks an encrypted file: a pre-shared key (16, 24 or 32 bytes) or
// a passphrase for its PBKDF2 key; neither for a clear file.
struct PskcUnlock {
    SecretBytes key;
    SecretBytes passphrase;
};

// Bounds against a hostile file: its size, and the PBKDF2 iteration count
// it may ask for (each iteration costs time before anything is checked).
struct PskcLimits {
    size_t maxBytes = 32 * 1024 * 1024;
    uint32_t maxIterations = 10000000;
};

// One Key of the file with its KeyPackage's device fields.
struct PskcKey {
    std::string serial;            // DeviceInfo/SerialNo
    std::string manufacturer;      // DeviceInfo/Manufacturer
    std::string model;             // DeviceInfo/Model
    std::string keyId;             // Key/@Id
    std::string algorithm;         // Key/@Algorithm, e.g. kPskcTotpAlgorithm
    std::string user;              // Key/UserId, else DeviceInfo/UserId
    SecretBytes secret;            // empty when the key has none
    int digits = 0;                // ResponseFormat/@Length; 0 when absent
    int step = 0;                  // TimeInterval in seconds; 0 when absent
    OtpHash hash = OtpHash::Sha1;  // from AlgorithmParameters/Suite
    bool macChecked = false;       // a ValueMAC was present and matched
};

struct PskcContents {
    std::vector<PskcKey> keys;  // in file order
    // False when the file ends before </KeyContainer> (an interrupted
    // export): keys then holds the packages that were complete.
    bool complete = true;
    bool encrypted = false;
};

class PskcError : public FormatError {
public:
    enum class Kind {
        Malformed,    // not well-formed XML, not PSKC, a DTD, too large or deep
        Unsupported,  // an algorithm, key derivation or hash this reader lacks
        KeyNeeded,    // encrypted, and no (or the other kind of) key was given
        WrongKey,     // the key or passphrase does not open the file
        Corrupt,      // opens, but a secret's MAC or padding is wrong
    };
    PskcError(Kind kind, const std::string& message) : FormatError(message), kind_(kind) {}
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

// Parses a PSKC document and decrypts its secrets, checking each ValueMAC.
// The XML parser loads nothing from outside: a document type declaration
// is refused outright, so there are no entities, external or internal.
// Throws PskcError.
PskcContents ParsePskc(std::span<const uint8_t> document, const PskcUnlock& unlock, const PskcLimits& limits = {});
// The same for a file (ReadSmallFile up to limits.maxBytes); throws FileError
// or PskcError.
PskcContents ReadPskcFile(const std::filesystem::path& path, const PskcUnlock& unlock, const PskcLimits& limits = {});

}  // namespace provisor
