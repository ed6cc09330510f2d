// Base32Decode against a plain reference: any input either fails cleanly
// (0, length 0, buffer untouched) or yields floor(5n/8) bytes equal to the
// reference, with nothing written past them.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "formats/Encodings.h"

namespace {

bool Reference(const std::string& text, std::vector<uint8_t>& out) {
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
    std::string data;
    bool pad = false;
    for (char c : text) {
        if (c == ' ') continue;
        if (c == '=') {
            pad = true;
            continue;
        }
        if (alphabet.find(c) == std::string::npos || c == '\0' || pad) return false;
        data.push_back(c);
    }
    if (data.empty()) return false;
    uint64_t acc = 0;
    int bits = 0;
    for (char c : data) {
        acc = (acc << 5) | alphabet.find(c);
        bits += 5;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<uint8_t>(acc >> bits));
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte picks the mode: raw bytes, or bytes mapped mostly onto
    // the alphabet so that the decoding path runs instead of failing early.
    std::string text;
    const bool mapped = data[0] & 1;
    static const char pool[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567ABCDEFGHIJKLMNOPQRSTUVWXYZ234567 =a1\t";
    for (size_t i = 1; i < size; ++i) {
        char c = static_cast<char>(data[i]);
        if (mapped) c = pool[data[i] % (sizeof pool - 1)];
        if (c == '\0') c = '0';
        text.push_back(c);
    }
    if (text.empty()) return 0;

    std::vector<uint8_t> buffer(text.size() + 8, 0xA5);
    size_t length = text.size();
    const size_t result = provisor::Base32Decode(text.c_str(), &length, buffer.data());

    std::vector<uint8_t> expected;
    const bool ok = Reference(text, expected);
    if (result != length) std::abort();
    if (!ok && result != 0) std::abort();
    if (ok && result != expected.size()) std::abort();
    if (result > 0 && std::memcmp(buffer.data(), expected.data(), result) != 0) std::abort();
    for (size_t i = result; i < buffer.size(); ++i)
        if (buffer[i] != 0xA5) std::abort();
    return 0;
}
