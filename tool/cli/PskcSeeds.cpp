#include "cli/PskcSeeds.h"

#include "formats/OwnerFile.h"

namespace keyloom {

using namespace provisor;

namespace {

// The file, its key and its passphrase: secrets all, read from files or
// standard input only.
SecretBytes ReadInput(InputReader& inputs, const std::string& path, const std::string& what, size_t limit) {
    std::string text = inputs.Read(path, what, limit);
    const WipeOnExit wipe(text);
    return SecretBytes(std::string_view(text));
}

}  // namespace

PskcContents ReadSeedPskc(const Options& o, InputReader& inputs) {
    PskcUnlock unlock;
    try {
        if (o.seedPskcKeyFile) {
            const SecretBytes text = ReadInput(inputs, *o.seedPskcKeyFile, "--seed-pskc-key-file", kSecretInputLimit);
            unlock.key = ParseHexKey(text.view(), "--seed-pskc-key-file");
        }
        if (o.seedPskcPassphraseFile) {
            const SecretBytes text =
                ReadInput(inputs, *o.seedPskcPassphraseFile, "--seed-pskc-passphrase-file", kSecretInputLimit);
            unlock.passphrase = PassphraseFromText(text.view(), "--seed-pskc-passphrase-file");
        }
        const PskcLimits limits;
        const SecretBytes document = ReadInput(inputs, *o.seedPskc, "--seed-pskc", limits.maxBytes);
        PskcContents contents = ParsePskc(document.span(), unlock, limits);
        if (!contents.complete)
            throw UsageError("--seed-pskc: " + *o.seedPskc +
                             " ends before </KeyContainer> (an interrupted file); finish it before using it as a "
                             "seed source");
        return contents;
    } catch (const PskcError& e) {
        std::string advice;
        if (e.kind() == PskcError::Kind::KeyNeeded)
            advice = " (--seed-pskc-key-file FILE or --seed-pskc-passphrase-file FILE)";
        throw UsageError("--seed-pskc: " + *o.seedPskc + ": " + e.what() + advice);
    } catch (const FormatError& e) {
        throw UsageError(e.what());
    } catch (const FileError& e) {
        throw UsageError(e.what());
    }
}

std::optional<PskcSeed> FindPskcSeed(const PskcContents& contents, const std::string& serial, const Options& o,
                                     const SeedSettings& defaults, std::string& cause) {
    const PskcKey* found = nullptr;
    for (const PskcKey& key : contents.keys) {
        if (key.serial != serial) continue;
        if (found) {
            cause = "the seed PSKC file holds serial " + serial + " more than once";
            return std::nullopt;
        }
        found = &key;
    }
    if (!found) {
        cause = "the seed PSKC file has no key for serial " + serial;
        return std::nullopt;
    }
    const PskcKey& key = *found;
    const auto refuse = [&](const std::string& why) {
        cause = "the seed PSKC file's key for serial " + serial + " " + why;
        return std::nullopt;
    };
    if (key.algorithm != kPskcTotpAlgorithm) return refuse("is not a TOTP key (" + key.algorithm + ")");
    if (key.secret.empty() || key.secret.size() > 160) return refuse("has no seed of 1-160 bytes");

    PskcSeed seed{key.secret, defaults};
    // The file's settings are those the server knows the token by; an option
    // that says otherwise is a mistake, not a choice.
    if (key.hash == OtpHash::Sha512) return refuse("uses SHA512, which the token cannot do");
    const OtpAlgorithm algorithm = key.hash == OtpHash::Sha256 ? OtpAlgorithm::Sha256 : OtpAlgorithm::Sha1;
    if (o.algorithm && *ParseOtpAlgorithm(*o.algorithm) != algorithm)
        return refuse(std::string("uses ") + OtpAlgorithmName(algorithm) + ", not --algorithm " + *o.algorithm);
    seed.settings.algorithm = algorithm;
    if (key.digits != 0) {
        if (key.digits != 4 && key.digits != 6 && key.digits != 8 && key.digits != 10)
            return refuse("has " + std::to_string(key.digits) + " digits; the token shows 4, 6, 8 or 10");
        if (o.digits && *o.digits != key.digits)
            return refuse("has " + std::to_string(key.digits) + " digits, not --digits " + std::to_string(*o.digits));
        seed.settings.digits = key.digits;
    }
    if (key.step != 0) {
        if (key.step != 30 && key.step != 60)
            return refuse("has a time step of " + std::to_string(key.step) + " s; the token does 30 or 60");
        if (o.step && *o.step != key.step)
            return refuse("has a time step of " + std::to_string(key.step) + " s, not --step " +
                          std::to_string(*o.step));
        seed.settings.step = key.step;
    }
    return seed;
}

}  // namespace keyloom
