// Checks and escapes for the text fields the formats carry (serial numbers,
// user names, reader names): the rules every file of this library applies,
// internal to it.
#pragma once

#include <string>
#include <string_view>

namespace provisor::text {

// Well-formed UTF-8: no stray continuation bytes, overlong forms, surrogates
// or code points above U+10FFFF.
bool IsUtf8(std::string_view text);

// A C0 control character, DEL, or a C1 control character (U+0080-U+009F,
// which some terminals obey too).
bool HasControl(std::string_view text);

// For XML text and attribute values: & < > " ' as entities.
std::string XmlEscape(std::string_view text);

// Throws FormatError "<what> ..." unless text is UTF-8 without control
// characters, U+FFFE or U+FFFF (which XML does not allow), and without a
// blank at either end (which readers strip).
void CheckPrintable(std::string_view text, const std::string& what);

}  // namespace provisor::text
