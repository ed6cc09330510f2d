// What the server exports share: one enrolled token as they carry it, and
// the writer interface enrollment drives. Each writer checks a token
// against what its format can express before anything is written, writes
// the token's record durably (OwnerFile) and is finished at the end of the
// run; a file left unfinished still holds every record written.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace provisor {

// The HMAC behind the one-time passwords.
enum class OtpHash { Sha1, Sha256, Sha512 };

// "SHA1", "SHA256", "SHA512".
const char* OtpHashName(OtpHash hash);
// The name above in any case, with or without a "-" or an "HMAC-" prefix;
// nothing for anything else.
std::optional<OtpHash> ParseOtpHash(std::string_view text);

// A token whose seed was written and verified. The secret is borrowed: it
// must outlive the Add call, and no writer keeps it.
struct ExportToken {
    std::string serial;
    std::string user;  // empty: assigned to nobody
    std::span<const uint8_t> secret;
    OtpHash hash = OtpHash::Sha1;
    int digits = 6;
    int step = 30;  // seconds
};

class TokenExport {
public:
    virtual ~TokenExport() = default;
    // Throws FormatError when the format cannot carry token as it is, so a
    // run can refuse its settings before the first token is touched.
    virtual void Check(const ExportToken& token) const = 0;
    // Checks, then writes the token's record; on return it is on disk.
    // Throws FormatError (nothing written) or FileError.
    virtual void Add(const ExportToken& token) = 0;
    // Removes the record the last Add wrote: the token failed after it was
    // exported here (another export refused it), and a failed token is in
    // no export. Throws FileError.
    virtual void WithdrawLast() = 0;
    // Writes what ends the file and closes it. Throws FileError.
    virtual void Finish() = 0;
    virtual const std::filesystem::path& Path() const = 0;
};

}  // namespace provisor
