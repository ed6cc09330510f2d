#include "formats/OtpauthText.h"

#include "formats/Secrets.h"

namespace provisor {

namespace {

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// The value of key in text: from just after the first occurrence of key up
// to the next "&" or the end of the text.
std::string_view ParameterValue(std::string_view text, std::string_view key) {
    const size_t at = text.find(key);
    if (at == std::string_view::npos) return {};
    const std::string_view rest = text.substr(at + key.size());
    return rest.substr(0, rest.find('&'));
}

bool Contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

}  // namespace

std::optional<OtpauthFields> InterpretQrText(std::string_view decoded) {
    if (decoded.size() < 6 || !Contains(decoded, "secret=")) return std::nullopt;

    OtpauthFields fields;
    for (char c : ParameterValue(decoded, "secret=")) fields.seed.push_back(AsciiUpper(c));

    std::string lower(decoded);
    const WipeOnExit wipe(lower);  // the secret too, in lower case
    for (char& c : lower) c = AsciiLower(c);

    if (Contains(lower, "sha256")) fields.algorithm = kAlgorithmSha256;
    fields.title = std::string(ParameterValue(lower, "issuer=").substr(0, kQrTitleMaxLength));
    if (Contains(lower, "period=60")) fields.timeStep = kTimeStep60s;
    if (Contains(lower, "digits=4")) fields.otpLength = kOtpLength4;
    if (Contains(lower, "digits=8")) fields.otpLength = kOtpLength8;
    if (Contains(lower, "digits=10")) fields.otpLength = kOtpLength10;
    return fields;
}

}  // namespace provisor
