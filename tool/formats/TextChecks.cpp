#include "formats/TextChecks.h"

#include <cstdint>

#include "formats/Secrets.h"

namespace provisor::text {

namespace {

// Length of the UTF-8 sequence at text[i] and its code point; 0 when it is
// not a well-formed sequence.
size_t Sequence(std::string_view text, size_t i, uint32_t& code) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(i);
    size_t length;
    uint32_t min;
    if (lead < 0x80) {
        code = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, code = lead & 0x1F, min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, code = lead & 0x0F, min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, code = lead & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        code = code << 6 | (byte(i + k) & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return length;
}

}  // namespace

bool IsUtf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        uint32_t code;
        const size_t n = Sequence(text, i, code);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

bool HasControl(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        uint32_t code;
        const size_t n = Sequence(text, i, code);
        if (n == 0) {
            ++i;
            continue;
        }
        if (code < 0x20 || (code >= 0x7F && code <= 0x9F)) return true;
        i += n;
    }
    return false;
}

std::string XmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default: out += c;
        }
    }
    return out;
}

void CheckPrintable(std::string_view text, const std::string& what) {
    if (!IsUtf8(text)) throw FormatError(what + " is not UTF-8 text");
    if (HasControl(text)) throw FormatError(what + " holds control characters");
    // Not characters at all, and not allowed in XML.
    if (text.find("\xEF\xBF\xBE") != std::string_view::npos || text.find("\xEF\xBF\xBF") != std::string_view::npos)
        throw FormatError(what + " holds U+FFFE or U+FFFF");
    // Every reader of these files strips them.
    const auto blank = [](char c) { return c == ' '; };
    if (!text.empty() && (blank(text.front()) || blank(text.back())))
        throw FormatError(what + " \"" + std::string(text) + "\" begins or ends with a blank");
}

}  // namespace provisor::text
