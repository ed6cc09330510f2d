#include "formats/Journal.h"

#include <cstdio>
#include <ctime>

#include "formats/TextChecks.h"

namespace provisor {

namespace {

void AppendEscape(std::string& out, uint32_t code) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(code));
    out += buffer;
}

std::string Utc(std::chrono::system_clock::time_point time) {
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(millis / 1000 - (millis % 1000 < 0 ? 1 : 0));
    const int fraction = static_cast<int>(((millis % 1000) + 1000) % 1000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, fraction);
    return buffer;
}

std::string Text(std::string_view name, std::string_view value) {
    return "\"" + std::string(name) + "\":\"" + JsonEscape(value) + "\"";
}

std::string Number(std::string_view name, long value) {
    return "\"" + std::string(name) + "\":" + std::to_string(value);
}

}  // namespace

std::string JsonEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            AppendEscape(out, c);
            ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else {
            // The longest well-formed sequence here, else one bad byte.
            size_t n = 0;
            for (size_t len = 2; len <= 4 && i + len <= text.size() && n == 0; ++len)
                if (text::IsUtf8(text.substr(i, len))) n = len;
            if (n == 0) {
                out += "\\ufffd";
                ++i;
            } else if (n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
                AppendEscape(out, static_cast<unsigned char>(text[i + 1]));  // C1 control
                i += 2;
            } else {
                out.append(text.substr(i, n));
                i += n;
            }
        }
    }
    return out;
}

std::string FormatJournalLine(const JournalEntry& e) {
    return "{" + Text("time", Utc(e.time)) + "," + Text("reader", e.reader) + "," + Text("serial", e.serial) + "," +
           Number("profile", e.profile) + "," + Text("user", e.user) + "," + Text("algorithm", OtpHashName(e.hash)) +
           "," + Number("digits", e.digits) + "," + Number("step", e.step) + "," + Text("result", e.result) + "," +
           Text("cause", e.cause) + "," + Text("seedFingerprint", e.seedFingerprint) + "}\n";
}

}  // namespace provisor
