// A bare PC/SC connection for the benchmarks: the yardstick the library is
// measured against. It talks to the token the way the library does (T=0 or
// T=1 PCI, GET RESPONSE after 90 60), but holds its connection as long as
// the caller wants.
#pragma once

#include <PCSC/winscard.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

using Bytes = std::vector<uint8_t>;

// Whether pcscd answers and reports a card in the reader.
bool CardPresent(const std::string& reader);

// Answer ends in 90 00.
inline bool Ok(const Bytes& r) { return r.size() >= 2 && r[r.size() - 2] == 0x90 && r[r.size() - 1] == 0x00; }

class BareCard {
public:
    BareCard() = default;
    ~BareCard() { Disconnect(); }
    BareCard(const BareCard&) = delete;
    BareCard& operator=(const BareCard&) = delete;

    // Establish a context and connect shared, T=0 or T=1.
    bool Connect(const std::string& reader);
    void Disconnect();

    // The whole answer, status word included; empty on a PC/SC failure,
    // whose code LastError() then holds.
    Bytes Transmit(const Bytes& apdu);
    LONG LastError() const { return error_; }

private:
    SCARDCONTEXT context_ = 0;
    SCARDHANDLE card_ = 0;
    DWORD protocol_ = 0;
    LONG error_ = SCARD_S_SUCCESS;
};

}  // namespace bench
