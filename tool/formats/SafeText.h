// Text that comes from outside the tool (a token's serial number, a title, a
// reader or file name) on its way to a terminal or a log file: a control
// character in it could move the cursor, recolour or retitle the
// operator's terminal, or start a forged line of its own.
#pragma once

#include <string>
#include <string_view>

namespace provisor {

// C0 controls, DEL and the C1 controls (as UTF-8) written as \xNN, every
// other byte as it is.
inline std::string EscapeControlCharacters(std::string_view text) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    const auto escape = [&](unsigned char c) {
        out += "\\x";
        out += kDigits[c >> 4];
        out += kDigits[c & 0x0F];
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F) {
            escape(c);
        } else if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            escape(c);
            escape(static_cast<unsigned char>(text[++i]));
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace provisor
