#include "BareCard.h"

namespace bench {

bool CardPresent(const std::string& reader) {
    SCARDCONTEXT ctx = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx) != SCARD_S_SUCCESS) return false;
    SCARD_READERSTATE st{};
    st.szReader = reader.c_str();
    st.dwCurrentState = SCARD_STATE_UNAWARE;
    const bool present =
        SCardGetStatusChange(ctx, 0, &st, 1) == SCARD_S_SUCCESS && (st.dwEventState & SCARD_STATE_PRESENT) != 0;
    SCardReleaseContext(ctx);
    return present;
}

bool BareCard::Connect(const std::string& reader) {
    error_ = SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context_);
    if (error_ != SCARD_S_SUCCESS) {
        context_ = 0;
        return false;
    }
    error_ = SCardConnect(context_, reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card_,
                          &protocol_);
    if (error_ != SCARD_S_SUCCESS) {
        card_ = 0;
        Disconnect();
        return false;
    }
    return true;
}

void BareCard::Disconnect() {
    if (card_) SCardDisconnect(card_, SCARD_LEAVE_CARD);
    if (context_) SCardReleaseContext(context_);
    card_ = 0;
    context_ = 0;
}

Bytes BareCard::Transmit(const Bytes& apdu) {
    const SCARD_IO_REQUEST* pci = protocol_ == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
    Bytes r(1024);
    DWORD len = static_cast<DWORD>(r.size());
    error_ = SCardTransmit(card_, pci, apdu.data(), static_cast<DWORD>(apdu.size()), nullptr, r.data(), &len);
    if (error_ != SCARD_S_SUCCESS) return {};
    static const uint8_t kGetResponse[5] = {0x00, 0xC0, 0x00, 0x00, 0x00};
    for (int i = 0; i < 32 && len >= 2 && r[len - 2] == 0x90 && r[len - 1] == 0x60; ++i) {
        len = static_cast<DWORD>(r.size());
        error_ = SCardTransmit(card_, pci, kGetResponse, sizeof kGetResponse, nullptr, r.data(), &len);
        if (error_ != SCARD_S_SUCCESS) return {};
    }
    r.resize(len);
    return r;
}

}  // namespace bench
