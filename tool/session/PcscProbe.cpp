#include "session/PcscProbe.h"

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

#include <cstring>
#include <mutex>

namespace provisor {

namespace {

template <typename F>
auto Serialized(std::mutex& callLock, F&& call) {
    std::lock_guard lock(callLock);
    return call();
}

class Context {
public:
    Context(std::mutex& callLock, DWORD scope) : m_callLock(callLock) {
        m_ok = Serialized(m_callLock, [&] { return SCardEstablishContext(scope, nullptr, nullptr, &m_context); }) ==
               SCARD_S_SUCCESS;
    }
    ~Context() {
        if (m_ok) Serialized(m_callLock, [&] { return SCardReleaseContext(m_context); });
    }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
    bool ok() const { return m_ok; }
    SCARDCONTEXT get() const { return m_context; }
    std::mutex& callLock() const { return m_callLock; }

private:
    std::mutex& m_callLock;
    SCARDCONTEXT m_context = 0;
    bool m_ok = false;
};

class Presence final : public ICardPresence {
public:
    Presence(std::unique_ptr<Context> context, SCARDHANDLE card) : m_context(std::move(context)), m_card(card) {}
    ~Presence() override {
        Serialized(m_context->callLock(), [&] { return SCardDisconnect(m_card, SCARD_LEAVE_CARD); });
    }

private:
    std::unique_ptr<Context> m_context;  // released after the card
    SCARDHANDLE m_card;
};

}  // namespace

std::vector<std::string> SplitMultiString(const char* list, size_t length) {
    std::vector<std::string> names;
    size_t pos = 0;
    while (pos < length && list[pos] != '\0') {
        const size_t n = strnlen(list + pos, length - pos);
        names.emplace_back(list + pos, n);
        pos += n + 1;
    }
    return names;
}

std::optional<std::vector<std::string>> PcscLiteProbe::ListReaders() {
    Context context(m_callLock, SCARD_SCOPE_USER);
    if (!context.ok()) return std::nullopt;
    // Asked for its size first: a long list of readers is still a list,
    // not a failure.
    for (int attempt = 0; attempt < 3; ++attempt) {
        DWORD length = 0;
        if (Serialized(m_callLock, [&] { return SCardListReaders(context.get(), nullptr, nullptr, &length); }) !=
                SCARD_S_SUCCESS ||
            length == 0)
            return std::nullopt;
        std::string buffer(length, '\0');
        const LONG rc =
            Serialized(m_callLock, [&] { return SCardListReaders(context.get(), nullptr, buffer.data(), &length); });
        if (rc == SCARD_E_INSUFFICIENT_BUFFER) continue;  // a reader arrived in between
        if (rc != SCARD_S_SUCCESS) return std::nullopt;
        return SplitMultiString(buffer.data(), std::min<size_t>(length, buffer.size()));
    }
    return std::nullopt;
}

std::unique_ptr<ICardPresence> PcscLiteProbe::ConnectShared(const std::string& reader) {
    auto context = std::make_unique<Context>(m_callLock, SCARD_SCOPE_SYSTEM);
    if (!context->ok()) return nullptr;
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    if (Serialized(m_callLock, [&] {
            return SCardConnect(context->get(), reader.c_str(), SCARD_SHARE_SHARED,
                                SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol);
        }) != SCARD_S_SUCCESS)
        return nullptr;
    return std::make_unique<Presence>(std::move(context), card);
}

}  // namespace provisor
