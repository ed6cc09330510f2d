#include "formats/ServerCsv.h"

#include <string>

#include "formats/Encodings.h"
#include "formats/Secrets.h"
#include "formats/TextChecks.h"

namespace provisor {

namespace {

// Refuses what would break a line or run as a spreadsheet formula.
void CheckCsvField(std::string_view value, const std::string& what) {
    text::CheckPrintable(value, what);
    if (!value.empty() && (value[0] == '=' || value[0] == '+' || value[0] == '-' || value[0] == '@'))
        throw FormatError(what + " \"" + std::string(value) + "\" begins with " + value[0] +
                          ", which a spreadsheet would take for a formula");
}

// RFC 4180: a field with a comma or a quote goes in quotes, its quotes
// doubled. (Blanks at either end and line breaks are refused beforehand.)
std::string Quoted(std::string_view value) {
    if (value.find_first_of(",\"") == std::string_view::npos) return std::string(value);
    std::string out = "\"";
    for (const char c : value) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

void CheckSecret(const ExportToken& token) {
    if (token.secret.empty() || token.secret.size() > 160)
        throw FormatError("the seed of " + token.serial + " has " + std::to_string(token.secret.size()) +
                          " bytes; 1-160 can be exported");
}

}  // namespace

void CheckEntraSettings(OtpHash hash, int digits, int step) {
    if (hash != OtpHash::Sha1)
        throw FormatError(std::string("Entra ID takes SHA1 hardware tokens only, not ") + OtpHashName(hash));
    if (step != 30 && step != 60)
        throw FormatError("Entra ID takes time steps of 30 or 60 s only, not " + std::to_string(step));
    if (digits != 6) throw FormatError("Entra ID checks 6-digit codes only, not " + std::to_string(digits) + " digits");
}

std::string EntraCsvLine(const ExportToken& token, std::string_view manufacturer, std::string_view model) {
    CheckEntraSettings(token.hash, token.digits, token.step);
    if (token.user.empty())
        throw FormatError("Entra ID assigns each token to a user: " + token.serial + " has no user (upn)");
    if (token.serial.empty()) throw FormatError("a token without serial number");
    CheckCsvField(token.user, "the upn");
    CheckCsvField(token.serial, "the serial number");
    CheckCsvField(manufacturer, "the manufacturer");
    CheckCsvField(model, "the model");
    CheckSecret(token);
    std::string secret = Base32Encode(token.secret.data(), token.secret.size());
    std::string line = Quoted(token.user) + "," + Quoted(token.serial) + "," + secret + "," +
                       std::to_string(token.step) + "," + Quoted(manufacturer) + "," + Quoted(model) + "\r\n";
    Wipe(secret.data(), secret.size());
    return line;
}

void CsvExport::Check(const ExportToken& token) const {
    std::string line = Line(token);
    Wipe(line.data(), line.size());
}

void CsvExport::Add(const ExportToken& token) {
    std::string line = Line(token);
    const WipeOnExit wipe(line);
    file_.Append(line);
}

EntraCsvWriter::EntraCsvWriter(const std::filesystem::path& path, std::string manufacturer, std::string model,
                               OwnerFile::Existing existing)
    : CsvExport((CheckCsvField(manufacturer, "the manufacturer"), CheckCsvField(model, "the model"),
                 OwnerFile::Create(path, std::string(kEntraCsvHeader) + "\r\n", existing))),
      manufacturer_(std::move(manufacturer)),
      model_(std::move(model)) {}

std::string EntraCsvWriter::Line(const ExportToken& token) const { return EntraCsvLine(token, manufacturer_, model_); }

OtpHash PrivacyIdeaImpliedHash(size_t seedBytes) {
    if (seedBytes == 32) return OtpHash::Sha256;
    if (seedBytes == 64) return OtpHash::Sha512;
    return OtpHash::Sha1;
}

void CheckPrivacyIdeaSettings(OtpHash hash, size_t seedBytes, int digits, int step) {
    const OtpHash implied = PrivacyIdeaImpliedHash(seedBytes);
    if (implied != hash)
        throw FormatError(std::string("privacyIDEA takes the algorithm from the seed's length: a ") +
                          OtpHashName(hash) + " token needs a " +
                          (hash == OtpHash::Sha1     ? "20"
                           : hash == OtpHash::Sha256 ? "32"
                                                     : "64") +
                          "-byte seed, and " + std::to_string(seedBytes) + " bytes would be read as " +
                          OtpHashName(implied));
    if (digits < 1 || digits > 10) throw FormatError("an OTP length of " + std::to_string(digits) + " digits");
    if (step < 1 || step > 3600) throw FormatError("a time step of " + std::to_string(step) + " s");
}

std::string PrivacyIdeaCsvLine(const ExportToken& token) {
    CheckSecret(token);
    CheckPrivacyIdeaSettings(token.hash, token.secret.size(), token.digits, token.step);
    if (token.serial.empty()) throw FormatError("a token without serial number");
    CheckCsvField(token.serial, "the serial number");
    // privacyIDEA splits at every comma and strips blanks.
    if (token.serial.find_first_of(",\" ") != std::string::npos)
        throw FormatError("the serial number \"" + token.serial + "\" holds a comma, quote or blank");
    std::string seed = BytesToHexString(token.secret.data(), token.secret.size());
    std::string line =
        token.serial + "," + seed + ",totp," + std::to_string(token.digits) + "," + std::to_string(token.step) + "\n";
    Wipe(seed.data(), seed.size());
    return line;
}

PrivacyIdeaCsvWriter::PrivacyIdeaCsvWriter(const std::filesystem::path& path, OwnerFile::Existing existing)
    : CsvExport(OwnerFile::Create(path, {}, existing)) {}

}  // namespace provisor
