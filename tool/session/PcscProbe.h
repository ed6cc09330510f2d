// The two PC/SC questions the dialog's threads ask: which readers exist,
// and whether a token sits in one. Behind an interface so the threads can be
// tested with a scripted reader set.
#pragma once

#include <memory>
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
class PcscLiteProbe final : public IPcscProbe {
public:
    std::optional<std::vector<std::string>> ListReaders() override;
    std::unique_ptr<ICardPresence> ConnectShared(const std::string& reader) override;
};

// The NUL-separated, double-NUL-terminated reader list of PC/SC as names.
std::vector<std::string> SplitMultiString(const char* list, size_t length);

}  // namespace provisor
