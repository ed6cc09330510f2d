#include "provisioning/ProfileWrite.h"

#include <cstring>

namespace provisor {

namespace {

// One write: each step makes its call, notes what it learnt in the result
// and says whether the sequence goes on.
class ProfileWriter {
public:
    ProfileWriter(const CardApi& api, const std::string& key, const ProfileWrite& write)
        : m_api(api), m_key(key), m_write(write), m_reader(write.reader.c_str()) {
        m_result.serialNumber = write.serialNumber;
    }

    ProfileWriteResult Run() {
        RunSteps();
        return std::move(m_result);
    }

private:
    // False at the first step that fails. The calls between two moments
    // that may need the operator (the seed field, the overwrite question)
    // wait for the library together: the UI thread hands them over once.
    bool RunSteps() {
        const ProfileAction action = m_write.action;
        const bool burns = action != ProfileAction::ApplyConfig;
        // A bulk run authenticates once for all its lines.
        const bool authenticates = action != ProfileAction::BulkEntry;
        bool ok = true;
        m_api.RunTogether([&] {
            ok = (!burns || m_write.overwrite != Overwrite::Refuse || RefuseHeldSeed()) &&
                 (!authenticates || Authenticate());
        });
        if (!ok || !HasInput()) return false;
        m_api.RunTogether([&] {
            ok = (action == ProfileAction::AutoWrite || Configure()) &&
                 (!burns || (TakeSeed() && (!authenticates || ReadSeedFlag())));
        });
        if (!ok || !burns) return ok;
        return (!authenticates || ConfirmOverwrite()) && Burn();
    }

    bool Fail(ProfileWriteStep step, uint32_t status) {
        m_result.failedStep = step;
        m_result.status = status;
        return false;
    }

    // A seed the profile holds comes out before the configuration would be
    // touched: nobody is asked, so nothing may change.
    bool RefuseHeldSeed() {
        int32_t present = 0;
        const uint32_t status = StatusOf(m_api.Call<CardFn::CardGetSeedFlag>(m_reader, Profile(), &present));
        if (status != CARD_OK) return Fail(ProfileWriteStep::CheckHeldSeed, status);
        m_result.before.seedPresent = present == 1;
        return present != 1 || Fail(ProfileWriteStep::Refused, CARD_OK);
    }

    bool Authenticate() {
        const uint32_t status = StatusOf(m_api.Call<CardFn::CardVerify>(m_reader, m_key.c_str()));
        return status == CARD_OK || Fail(ProfileWriteStep::Authenticate, status);
    }

    bool HasInput() {
        if (!m_write.seedSupplier.hasInput || m_write.seedSupplier.hasInput()) return true;
        m_result.seedFailure = SeedFailure::NoInput;
        return Fail(ProfileWriteStep::SeedInput, CARD_OK);
    }

    bool Configure() {
        if (m_write.clock == ClockChoice::Required && m_write.clockText.empty())
            return Fail(ProfileWriteStep::Configure, CARD_E_BAD_ARG);
        // A bulk line says its own Enter setting and does not ask the token's.
        const bool asksEnter = m_write.action != ProfileAction::BulkEntry;
        int32_t clearSeed = 0, autoEnter = 0, keptFlags = 0;
        const uint32_t info = StatusOf(m_api.Call<CardFn::CardReadSeedInfo>(
            m_reader, Profile(), &clearSeed, asksEnter ? &autoEnter : static_cast<int32_t*>(nullptr), &keptFlags));
        if (info != CARD_OK) return Fail(ProfileWriteStep::ReadInfo, info);
        m_result.before.clearSeed = clearSeed;
        if (asksEnter) m_result.before.autoEnter = autoEnter;
        m_result.before.keptFlags = keptFlags;

        char algorithm[16] = {};
        m_write.algorithm.copy(algorithm, sizeof algorithm - 1);
        const auto flag = [](const std::optional<bool>& wanted, int32_t current) {
            return wanted ? int32_t{*wanted} : current;
        };
        const uint32_t status = StatusOf(m_api.Call<CardFn::CardConfig>(
            m_reader, m_key.c_str(), Profile(), algorithm, int32_t{m_write.step.value_or(-1)},
            int32_t{m_write.digits.value_or(-1)}, flag(m_write.clearSeed, clearSeed),
            m_write.clock == ClockChoice::Omit ? nullptr : m_write.clockText.c_str(),
            m_write.title ? m_write.title->c_str() : nullptr, flag(m_write.autoEnter, autoEnter), keptFlags));
        return status == CARD_OK || Fail(ProfileWriteStep::Configure, status);
    }

    bool TakeSeed() {
        m_seed = &m_write.seed;
        if (m_write.seedSupplier.take) {
            SeedSupply supply = m_write.seedSupplier.take();
            m_result.providerResult = supply.providerResult;
            if (supply.failure != SeedFailure::None) return SeedFailed(supply.failure);
            m_supplied = std::move(supply.seed);
            m_seed = &m_supplied;
        }
        return !m_seed->empty() || SeedFailed(SeedFailure::Empty);
    }

    bool SeedFailed(SeedFailure failure) {
        m_result.seedFailure = failure;
        return Fail(ProfileWriteStep::SeedSource, CARD_OK);
    }

    bool ReadSeedFlag() {
        int32_t present = 0;
        const uint32_t status = StatusOf(m_api.Call<CardFn::CardGetSeedFlag>(m_reader, Profile(), &present));
        if (status != CARD_OK) return Fail(ProfileWriteStep::SeedFlag, status);
        m_result.before.seedPresent = present == 1;
        return true;
    }

    bool ConfirmOverwrite() {
        if (!m_result.before.seedPresent.value_or(false)) return true;
        switch (m_write.overwrite) {
            case Overwrite::Always: return true;
            case Overwrite::Refuse: return Fail(ProfileWriteStep::Refused, CARD_OK);
            case Overwrite::Ask: break;
        }
        return (m_write.prompt && m_write.prompt->ConfirmOverwrite(m_write.profile)) ||
               Fail(ProfileWriteStep::Declined, CARD_OK);
    }

    bool Burn() {
        const uint32_t status = StatusOf(m_api.Call<CardFn::CardBurnSeed>(
            m_reader, m_key.c_str(), Profile(), m_seed->data(), static_cast<int32_t>(m_seed->size())));
        if (status != CARD_OK) return Fail(ProfileWriteStep::Burn, status);
        m_result.seedFingerprint = SeedFingerprint(m_seed->span());
        return true;
    }

    int32_t Profile() const { return m_write.profile; }

    const CardApi& m_api;
    const std::string& m_key;
    const ProfileWrite& m_write;
    const char* m_reader;
    SecretBytes m_supplied;
    const SecretBytes* m_seed = nullptr;  // the write's own or m_supplied
    ProfileWriteResult m_result;
};

}  // namespace

ProfileWriteResult PerformProfileWrite(const CardApi& api, const std::string& accessKey, const ProfileWrite& write) {
    return ProfileWriter(api, accessKey, write).Run();
}

}  // namespace provisor
