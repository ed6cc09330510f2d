// The two CSV exports authentication servers import besides PSKC.
//
// Microsoft Entra ID, hardware OATH tokens ("upload a CSV file"):
//   upn,serial number,secret key,time interval,manufacturer,model
//   alice@example.com,NV2A00000001,JBSWY3DPEHPK3PXPJBSWY3DPEHPK3PXP,30,Norvik,Norvik-2
// The secret in base32 without padding. Entra verifies SHA1 codes of 6
// digits every 30 or 60 seconds and nothing else, and assigns each token
// to its upn, so other settings and a token without a user are refused.
// Lines end in CR LF (RFC 4180).
//
// privacyIDEA, OATH CSV import (one token per line, no header):
//   <serial>,<seed in hexadecimal>,totp,<digits>,<time step>
//   NV2A00000001,3132333435363738393031323334353637383930,totp,6,30
// privacyIDEA splits lines at commas without quoting and takes the HMAC
// from the seed's length (32 bytes SHA256, 64 bytes SHA512, any other
// SHA1), so a seed whose length names another algorithm than the token's
// is refused, as is any field with a comma or a quote.
//
// Both: a field that begins with = + - @ (or a tab or carriage return)
// is refused, because a spreadsheet would run it as a formula, and so is any
// field with control characters.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <utility>

#include "formats/OwnerFile.h"
#include "formats/TokenExport.h"

namespace provisor {

constexpr std::string_view kEntraCsvHeader = "upn,serial number,secret key,time interval,manufacturer,model";

// Throws FormatError unless Entra ID can take tokens of these settings.
void CheckEntraSettings(OtpHash hash, int digits, int step);
// The line for token, with its CR LF; throws FormatError.
std::string EntraCsvLine(const ExportToken& token, std::string_view manufacturer, std::string_view model);

// An export of one line per token in an owner-only file: a token is checked
// by making its line, and added by appending it; the line, which carries the
// secret, is cleared either way.
class CsvExport : public TokenExport {
public:
    void Check(const ExportToken& token) const override;
    void Add(const ExportToken& token) override;
    void WithdrawLast() override { file_.WithdrawLast(); }
    void Finish() override { file_.Finish(); }
    const std::filesystem::path& Path() const override { return file_.Path(); }

protected:
    explicit CsvExport(OwnerFile file) : file_(std::move(file)) {}
    // The token's line with its line end; throws FormatError.
    virtual std::string Line(const ExportToken& token) const = 0;

private:
    OwnerFile file_;
};

class EntraCsvWriter final : public CsvExport {
public:
    // Creates the file with the header line. Throws FormatError for a
    // manufacturer or model the file cannot carry, FileError.
    EntraCsvWriter(const std::filesystem::path& path, std::string manufacturer = "Norvik",
                   std::string model = "Norvik-2", OwnerFile::Existing existing = OwnerFile::Existing::Refuse);

private:
    std::string Line(const ExportToken& token) const override;

    std::string manufacturer_, model_;
};

// The algorithm privacyIDEA takes for a seed of this many bytes.
OtpHash PrivacyIdeaImpliedHash(size_t seedBytes);
// Throws FormatError unless privacyIDEA reads tokens of these settings back
// as they are.
void CheckPrivacyIdeaSettings(OtpHash hash, size_t seedBytes, int digits, int step);
// The line for token, with its LF; throws FormatError.
std::string PrivacyIdeaCsvLine(const ExportToken& token);

class PrivacyIdeaCsvWriter final : public CsvExport {
public:
    // Creates the (empty) file. Throws FileError.
    explicit PrivacyIdeaCsvWriter(const std::filesystem::path& path,
                                  OwnerFile::Existing existing = OwnerFile::Existing::Refuse);

private:
    std::string Line(const ExportToken& token) const override { return PrivacyIdeaCsvLine(token); }
};

}  // namespace provisor
