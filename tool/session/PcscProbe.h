// The two PC/SC questions the dialog's threads ask: which readers exist,
// and whether a token sits in one. Behind an interface so the threads can be
// tested with a scripted reader set.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace provisor {

// A shared-mode connection to a token, held until destroyed.
class ICardPresence {
public:
    virtual ~ICardPresence() = default;
};

class IPcscProbe {
public:
    virtual ~IPcscProbe() = default;
    // Reader names in the order PC/SC lists them; nullopt when listing fails
    // (no service, no reader at all).
    virtual std::optional<std::vector<std::string>> ListReaders() = 0;
    // A shared connection (T=0 or T=1) to the token in reader; null when
    // none can be made (no token, no such reader, no service).
    virtual std::unique_ptr<ICardPresence> ConnectShared(const std::string& reader) = 0;
};

// pcsc-lite. Every question opens and releases its own context, so a
// restarted pcscd is picked up by the next question.
//
// pcsc-lite's client library looks a handle up across the contexts of the
// whole process, and a look-up running while another thread releases its
// context can read a freed list entry: under load that crashed the card
// thread in SCardDisconnect while a library call (each makes and releases a
// context of its own) ended on another. So every PC/SC call of the probe
// holds callLock, the lock the process's library calls hold (CardApi's),
// and waits at most for the library call in progress.
class PcscLiteProbe final : public IPcscProbe {
public:
    explicit PcscLiteProbe(std::mutex& callLock) : m_callLock(callLock) {}
    std::optional<std::vector<std::string>> ListReaders() override;
    std::unique_ptr<ICardPresence> ConnectShared(const std::string& reader) override;

private:
    std::mutex& m_callLock;
};

// The NUL-separated, double-NUL-terminated reader list of PC/SC as names.
std::vector<std::string> SplitMultiString(const char* list, size_t length);

}  // namespace provisor
