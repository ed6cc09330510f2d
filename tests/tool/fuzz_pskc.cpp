// The PSKC reader on untrusted documents, and the writer's output read
// back. The first byte picks the mode:
//   0, 1, 2: the rest is a document, read without a key, with the fixed key
//            000102...0F, or with the passphrase "fuzz" (iterations capped);
//            it either throws PskcError or yields keys;
//   3:       the rest describes tokens (lines of flags byte, serial TAB user
//            TAB secret bytes); those the writer accepts are written (bit 2:
//            encrypted under the fixed key, bit 3: finished) and must read
//            back exactly, in order, complete only when finished.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "formats/Pskc.h"

namespace {

using namespace provisor;

void Check(bool condition) {
    if (!condition) std::abort();
}

const uint8_t kKey[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

struct Token {
    std::string serial, user, secret;
    OtpHash hash;
    int digits, step;
};

std::vector<Token> Tokens(std::string_view text) {
    std::vector<Token> tokens;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.empty()) continue;
        const uint8_t flags = static_cast<uint8_t>(line[0]);
        line.remove_prefix(1);
        const size_t tab1 = line.find('\t');
        const size_t tab2 = tab1 == std::string_view::npos ? tab1 : line.find('\t', tab1 + 1);
        if (tab2 == std::string_view::npos) continue;
        tokens.push_back({std::string(line.substr(0, tab1)), std::string(line.substr(tab1 + 1, tab2 - tab1 - 1)),
                          std::string(line.substr(tab2 + 1)), static_cast<OtpHash>(flags % 3), 1 + (flags >> 2) % 10,
                          (flags & 0x80) ? 60 : 30});
    }
    return tokens;
}

void RoundTrip(uint8_t mode, std::string_view text) {
    const bool encrypted = mode & 4, finished = mode & 8;
    PskcFormatter formatter(encrypted ? PskcProtection::PreSharedKey(SecretBytes(kKey, sizeof kKey))
                                      : PskcProtection::Clear());
    std::string document = formatter.Header();
    std::vector<Token> written;
    for (const Token& token : Tokens(text)) {
        const ExportToken exported{
            token.serial, token.user,   {reinterpret_cast<const uint8_t*>(token.secret.data()), token.secret.size()},
            token.hash,   token.digits, token.step};
        try {
            document += formatter.Package(exported);
            written.push_back(token);
        } catch (const FormatError&) {}
    }
    if (finished) document += PskcFormatter::Footer();

    const PskcContents contents = ParsePskc({reinterpret_cast<const uint8_t*>(document.data()), document.size()},
                                            {encrypted ? SecretBytes(kKey, sizeof kKey) : SecretBytes(), {}});
    Check(contents.complete == finished);
    Check(contents.encrypted == (encrypted && !written.empty()));
    Check(contents.keys.size() == written.size());
    for (size_t i = 0; i < written.size(); ++i) {
        const PskcKey& key = contents.keys[i];
        const Token& token = written[i];
        Check(key.serial == token.serial && key.keyId == token.serial && key.user == token.user);
        Check(key.secret.view() == token.secret);
        Check(key.hash == token.hash && key.digits == token.digits && key.step == token.step);
        Check(key.algorithm == kPskcTotpAlgorithm && key.manufacturer == "Norvik" && key.model == "Norvik-2");
        Check(key.macChecked == encrypted);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t mode = data[0];
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    if (mode % 4 == 3) {
        RoundTrip(mode, rest);
        return 0;
    }
    PskcUnlock unlock;
    if (mode % 4 == 1) unlock.key = SecretBytes(kKey, sizeof kKey);
    if (mode % 4 == 2) unlock.passphrase = SecretBytes(std::string_view("fuzz"));
    try {
        const PskcContents contents = ParsePskc({data + 1, size - 1}, unlock, {1 << 20, 1000});
        for (const PskcKey& key : contents.keys) Check(key.secret.size() <= size);
    } catch (const PskcError&) {}
    return 0;
}
