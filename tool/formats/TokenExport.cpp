#include "formats/TokenExport.h"

#include <cctype>
#include <string>

namespace provisor {

const char* OtpHashName(OtpHash hash) {
    switch (hash) {
        case OtpHash::Sha1: return "SHA1";
        case OtpHash::Sha256: return "SHA256";
        case OtpHash::Sha512: return "SHA512";
    }
    return "SHA1";
}

std::optional<OtpHash> ParseOtpHash(std::string_view text) {
    std::string name;
    for (const char c : text)
        if (c != '-') name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (name.rfind("HMAC", 0) == 0) name.erase(0, 4);
    if (name == "SHA1") return OtpHash::Sha1;
    if (name == "SHA256") return OtpHash::Sha256;
    if (name == "SHA512") return OtpHash::Sha512;
    return std::nullopt;
}

}  // namespace provisor
