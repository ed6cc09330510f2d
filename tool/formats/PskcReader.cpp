#include <expat.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "formats/Pskc.h"
#include "formats/PskcCrypto.h"

namespace provisor {

namespace {

using Kind = PskcError::Kind;

// --- Expat's memory ------------------------------------------------------------
// Expat's buffers hold pieces of the document, which in a clear file are
// secrets; they are cleared before they go back.
constexpr size_t kBlockHeader = alignof(std::max_align_t);

void* CleanMalloc(size_t size) {
    auto* block = static_cast<unsigned char*>(std::malloc(size + kBlockHeader));
    if (!block) return nullptr;
    std::memcpy(block, &size, sizeof size);
    return block + kBlockHeader;
}

size_t BlockSize(void* pointer) {
    size_t size;
    std::memcpy(&size, static_cast<unsigned char*>(pointer) - kBlockHeader, sizeof size);
    return size;
}

void CleanFree(void* pointer) {
    if (!pointer) return;
    unsigned char* block = static_cast<unsigned char*>(pointer) - kBlockHeader;
    Wipe(block, BlockSize(pointer) + kBlockHeader);
    std::free(block);
}

void* CleanRealloc(void* pointer, size_t size) {
    if (!pointer) return CleanMalloc(size);
    void* fresh = CleanMalloc(size);
    if (!fresh) return nullptr;
    std::memcpy(fresh, pointer, std::min(BlockSize(pointer), size));
    CleanFree(pointer);
    return fresh;
}

const XML_Memory_Handling_Suite kCleanMemory = {CleanMalloc, CleanRealloc, CleanFree};

// --- What the document says, before any decryption ------------------------------

// A Data value (or the MAC key) as the file holds it.
struct RawValue {
    std::string algorithm;  // xenc:EncryptionMethod/@Algorithm
    std::string cipher;     // base64 of IV and cipher text
    std::string mac;        // ValueMAC, base64
    SecretBytes plain;      // PlainValue text
    bool hasPlain = false;
};

struct RawKey {
    std::string serial, manufacturer, model, deviceUser;  // from the package
    std::string keyId, algorithm, suite, user, digits;
    RawValue secret, step;
};

struct RawContainer {
    bool derived = false;
    std::string keyName, derivation, salt, iterations, keyLength, prf;
    bool hasMacMethod = false, hasMacKey = false;
    std::string macAlgorithm;
    RawValue macKey;
    std::vector<RawKey> keys;
};

// The elements read, by their path of local names below KeyContainer
// (namespace prefixes vary between writers; the names do not).
enum class Field {
    None,
    KeyName,
    Derivation,
    Salt,
    Iterations,
    KeyLength,
    Prf,
    MasterKeyName,
    MacMethod,
    MacKey,
    MacKeyMethod,
    MacKeyCipher,
    Package,
    Manufacturer,
    SerialNo,
    Model,
    DeviceUser,
    Key,
    Suite,
    ResponseFormat,
    SecretPlain,
    SecretMethod,
    SecretCipher,
    SecretMac,
    StepPlain,
    StepCipher,
    KeyUser,
};

const std::unordered_map<std::string_view, Field>& Fields() {
    static const std::unordered_map<std::string_view, Field> fields{
        {"EncryptionKey/KeyName", Field::KeyName},
        {"EncryptionKey/DerivedKey/KeyDerivationMethod", Field::Derivation},
        {"EncryptionKey/DerivedKey/KeyDerivationMethod/PBKDF2-params/Salt/Specified", Field::Salt},
        {"EncryptionKey/DerivedKey/KeyDerivationMethod/PBKDF2-params/IterationCount", Field::Iterations},
        {"EncryptionKey/DerivedKey/KeyDerivationMethod/PBKDF2-params/KeyLength", Field::KeyLength},
        {"EncryptionKey/DerivedKey/KeyDerivationMethod/PBKDF2-params/PRF", Field::Prf},
        {"EncryptionKey/DerivedKey/MasterKeyName", Field::MasterKeyName},
        {"MACMethod", Field::MacMethod},
        {"MACMethod/MACKey", Field::MacKey},
        {"MACMethod/MACKey/EncryptionMethod", Field::MacKeyMethod},
        {"MACMethod/MACKey/CipherData/CipherValue", Field::MacKeyCipher},
        {"KeyPackage", Field::Package},
        {"KeyPackage/DeviceInfo/Manufacturer", Field::Manufacturer},
        {"KeyPackage/DeviceInfo/SerialNo", Field::SerialNo},
        {"KeyPackage/DeviceInfo/Model", Field::Model},
        {"KeyPackage/DeviceInfo/UserId", Field::DeviceUser},
        {"KeyPackage/Key", Field::Key},
        {"KeyPackage/Key/AlgorithmParameters/Suite", Field::Suite},
        {"KeyPackage/Key/AlgorithmParameters/ResponseFormat", Field::ResponseFormat},
        {"KeyPackage/Key/Data/Secret/PlainValue", Field::SecretPlain},
        {"KeyPackage/Key/Data/Secret/EncryptedValue/EncryptionMethod", Field::SecretMethod},
        {"KeyPackage/Key/Data/Secret/EncryptedValue/CipherData/CipherValue", Field::SecretCipher},
        {"KeyPackage/Key/Data/Secret/ValueMAC", Field::SecretMac},
        {"KeyPackage/Key/Data/TimeInterval/PlainValue", Field::StepPlain},
        {"KeyPackage/Key/Data/TimeInterval/EncryptedValue/CipherData/CipherValue", Field::StepCipher},
        {"KeyPackage/Key/UserId", Field::KeyUser},
    };
    return fields;
}

// Elements whose text is read; the others carry attributes or children.
bool IsText(Field field) {
    switch (field) {
        case Field::None:
        case Field::Derivation:
        case Field::MacMethod:
        case Field::MacKey:
        case Field::MacKeyMethod:
        case Field::Package:
        case Field::Key:
        case Field::ResponseFormat:
        case Field::SecretMethod: return false;
        default: return true;
    }
}

constexpr size_t kMaxDepth = 32;
constexpr size_t kMaxText = 64 * 1024;

std::string_view LocalName(const XML_Char* name) {
    const std::string_view full(name);
    const size_t separator = full.rfind('|');
    return separator == std::string_view::npos ? full : full.substr(separator + 1);
}

std::string_view AttributeValue(const XML_Char** attributes, std::string_view name) {
    for (size_t i = 0; attributes[i]; i += 2)
        if (LocalName(attributes[i]) == name) return attributes[i + 1];
    return {};
}

std::string Trim(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return std::string(text);
}

class DocumentReader {
public:
    DocumentReader() : parser_(XML_ParserCreate_MM(nullptr, &kCleanMemory, "|")) {
        if (!parser_) throw std::bad_alloc();
        XML_SetUserData(parser_, this);
        XML_SetElementHandler(parser_, &DocumentReader::OnStart, &DocumentReader::OnEnd);
        XML_SetCharacterDataHandler(parser_, &DocumentReader::OnText);
        XML_SetStartDoctypeDeclHandler(parser_, &DocumentReader::OnDoctype);
        XML_SetParamEntityParsing(parser_, XML_PARAM_ENTITY_PARSING_NEVER);
        text_.reserve(kMaxText);
    }
    ~DocumentReader() {
        Wipe(text_.data(), text_.capacity());
        XML_ParserFree(parser_);
    }
    DocumentReader(const DocumentReader&) = delete;
    DocumentReader& operator=(const DocumentReader&) = delete;

    // Reads the document into container; returns whether the root element
    // was closed. Throws PskcError.
    bool Read(std::span<const uint8_t> document, RawContainer& container) {
        container_ = &container;
        const auto fail = [&] {
            if (!error_.empty()) throw PskcError(Kind::Malformed, error_);
            throw PskcError(Kind::Malformed, "not well-formed XML at line " +
                                                 std::to_string(XML_GetCurrentLineNumber(parser_)) + ": " +
                                                 XML_ErrorString(XML_GetErrorCode(parser_)));
        };
        // Not final yet: a document that simply stops (an interrupted
        // export) is told apart from one that breaks the rules.
        constexpr size_t kChunk = 1 << 20;
        for (size_t at = 0; at < document.size(); at += kChunk) {
            const size_t length = std::min(kChunk, document.size() - at);
            if (XML_Parse(parser_, reinterpret_cast<const char*>(document.data() + at), static_cast<int>(length),
                          XML_FALSE) != XML_STATUS_OK)
                fail();
        }
        if (!rootSeen_) throw PskcError(Kind::Malformed, "not a PSKC file: no KeyContainer element");
        if (!rootClosed_) return false;
        if (XML_Parse(parser_, nullptr, 0, XML_TRUE) != XML_STATUS_OK) fail();
        return true;
    }

private:
    static DocumentReader& Self(void* data) { return *static_cast<DocumentReader*>(data); }

    void Stop(std::string message) {
        if (error_.empty()) error_ = std::move(message);
        XML_StopParser(parser_, XML_FALSE);
    }

    static void OnDoctype(void* data, const XML_Char*, const XML_Char*, const XML_Char*, int) {
        Self(data).Stop("a PSKC file has no document type declaration; this one is refused");
    }

    static void OnStart(void* data, const XML_Char* name, const XML_Char** attributes) {
        Self(data).Start(LocalName(name), attributes);
    }
    static void OnEnd(void* data, const XML_Char*) { Self(data).End(); }
    static void OnText(void* data, const XML_Char* text, int length) {
        Self(data).Text(std::string_view(text, static_cast<size_t>(length)));
    }

    // After Stop expat may still deliver an event or two; they are ignored.
    void Start(std::string_view name, const XML_Char** attributes) {
        if (!error_.empty()) return;
        field_ = Field::None;
        if (depths_.size() >= kMaxDepth) return Stop("elements nested deeper than " + std::to_string(kMaxDepth));
        if (depths_.empty()) {
            if (rootSeen_ || name != "KeyContainer")
                return Stop("not a PSKC file: the document element is " + std::string(name));
            rootSeen_ = true;
            const std::string_view version = AttributeValue(attributes, "Version");
            if (!version.empty() && version != "1.0" && version != "1")
                return Stop("PSKC version " + std::string(version) + " is not supported");
            depths_.push_back(0);
            return;
        }
        depths_.push_back(path_.size());
        if (!path_.empty()) path_ += '/';
        path_ += name;
        const auto found = Fields().find(path_);
        if (found == Fields().end()) return;
        field_ = found->second;
        text_.clear();
        RawContainer& c = *container_;
        switch (field_) {
            case Field::Derivation:
                c.derived = true;
                c.derivation = AttributeValue(attributes, "Algorithm");
                break;
            case Field::Prf: c.prf = AttributeValue(attributes, "Algorithm"); break;
            case Field::MacMethod:
                c.hasMacMethod = true;
                c.macAlgorithm = AttributeValue(attributes, "Algorithm");
                break;
            case Field::MacKey: c.hasMacKey = true; break;
            case Field::MacKeyMethod: c.macKey.algorithm = AttributeValue(attributes, "Algorithm"); break;
            case Field::Package: package_.clear(); break;
            case Field::Key:
                key_ = RawKey{};
                key_.keyId = AttributeValue(attributes, "Id");
                key_.algorithm = AttributeValue(attributes, "Algorithm");
                break;
            case Field::ResponseFormat: key_.digits = AttributeValue(attributes, "Length"); break;
            case Field::SecretMethod: key_.secret.algorithm = AttributeValue(attributes, "Algorithm"); break;
            default: break;
        }
    }

    void Text(std::string_view text) {
        if (!error_.empty() || !IsText(field_)) return;
        if (text_.size() + text.size() > kMaxText)
            return Stop("an element of " + path_ + " holds more than " + std::to_string(kMaxText) + " characters");
        text_ += text;
    }

    void End() {
        if (!error_.empty()) return;
        if (depths_.size() == 1) rootClosed_ = true;
        RawContainer& c = *container_;
        switch (field_) {
            case Field::KeyName: c.keyName = Trim(text_); break;
            case Field::MasterKeyName: c.keyName = Trim(text_); break;
            case Field::Salt: c.salt = Trim(text_); break;
            case Field::Iterations: c.iterations = Trim(text_); break;
            case Field::KeyLength: c.keyLength = Trim(text_); break;
            case Field::Prf:
                if (c.prf.empty()) c.prf = Trim(text_);
                break;
            case Field::MacKeyCipher: c.macKey.cipher = text_; break;
            case Field::Manufacturer: package_.manufacturer = Trim(text_); break;
            case Field::SerialNo: package_.serial = Trim(text_); break;
            case Field::Model: package_.model = Trim(text_); break;
            case Field::DeviceUser: package_.deviceUser = Trim(text_); break;
            case Field::Suite: key_.suite = Trim(text_); break;
            case Field::SecretPlain:
                key_.secret.plain = SecretBytes(std::string_view(text_));
                key_.secret.hasPlain = true;
                break;
            case Field::SecretCipher: key_.secret.cipher = text_; break;
            case Field::SecretMac: key_.secret.mac = text_; break;
            case Field::StepPlain:
                key_.step.plain = SecretBytes(std::string_view(Trim(text_)));
                key_.step.hasPlain = true;
                break;
            case Field::StepCipher: key_.step.cipher = text_; break;
            case Field::KeyUser: key_.user = Trim(text_); break;
            default: break;
        }
        Wipe(text_.data(), text_.size());
        text_.clear();
        field_ = Field::None;

        // Whole keys and packages only: a file that stops inside one
        // leaves nothing half-read behind.
        if (path_ == "KeyPackage/Key") {
            package_.keys.push_back(std::move(key_));
        } else if (path_ == "KeyPackage") {
            for (RawKey& key : package_.keys) {
                key.serial = package_.serial;
                key.manufacturer = package_.manufacturer;
                key.model = package_.model;
                key.deviceUser = package_.deviceUser;
                c.keys.push_back(std::move(key));
            }
            package_.clear();
        }
        path_.resize(depths_.back());
        depths_.pop_back();
    }

    struct Package {
        std::string serial, manufacturer, model, deviceUser;
        std::vector<RawKey> keys;
        void clear() { *this = Package{}; }
    };

    XML_Parser parser_;
    RawContainer* container_ = nullptr;
    std::string path_;            // local names below KeyContainer, "/"-joined
    std::vector<size_t> depths_;  // path_ length before each open element
    Field field_ = Field::None;   // the innermost open element, if it is read
    std::string text_;            // its text so far; capacity fixed
    Package package_;
    RawKey key_;
    bool rootSeen_ = false, rootClosed_ = false;
    std::string error_;
};

// --- Decryption ----------------------------------------------------------------------

std::optional<uint32_t> ParseNumber(std::string_view text) {
    uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

std::string Describe(const RawKey& key) {
    return key.serial.empty() ? (key.keyId.empty() ? std::string("a key without serial number") : "key " + key.keyId)
                              : key.serial;
}

SecretBytes Decode64(std::string_view text, const std::string& what) {
    auto bytes = pskc::Base64Decode(text);
    if (!bytes) throw PskcError(Kind::Malformed, what + " is not base64");
    return std::move(*bytes);
}

// The key that opens the file's encrypted values.
SecretBytes ContainerKey(const RawContainer& c, const PskcUnlock& unlock, const PskcLimits& limits) {
    const std::string named = c.keyName.empty() ? "" : " (\"" + c.keyName + "\")";
    if (!c.derived) {
        if (!unlock.key.empty()) return unlock.key;
        throw PskcError(Kind::KeyNeeded, unlock.passphrase.empty()
                                             ? "the PSKC file is encrypted; give its pre-shared key" + named
                                             : "the PSKC file is encrypted with a pre-shared key" + named +
                                                   ", not a passphrase; give the key");
    }
    if (unlock.passphrase.empty())
        throw PskcError(Kind::KeyNeeded, unlock.key.empty() ? "the PSKC file is encrypted; give its passphrase" + named
                                                            : "the PSKC file's key is derived from a passphrase" +
                                                                  named + "; give the passphrase, not a key");
    if (c.derivation.size() < 7 || c.derivation.substr(c.derivation.size() - 7) != "#pbkdf2")
        throw PskcError(Kind::Unsupported, "the PSKC key derivation " + c.derivation + " is not supported (PBKDF2 is)");
    const SecretBytes salt = Decode64(c.salt, "the PBKDF2 salt");
    const auto iterations = ParseNumber(c.iterations);
    const auto length = ParseNumber(c.keyLength);
    if (salt.empty() || !iterations || *iterations == 0 || !length)
        throw PskcError(Kind::Malformed, "the PBKDF2 parameters are incomplete");
    if (*iterations > limits.maxIterations)
        throw PskcError(Kind::Unsupported, "the PSKC file asks for " + c.iterations + " PBKDF2 iterations; at most " +
                                               std::to_string(limits.maxIterations) + " are accepted");
    if (*length != 16 && *length != 24 && *length != 32)
        throw PskcError(Kind::Unsupported, "a PBKDF2 key length of " + c.keyLength + " bytes is not supported");
    const EVP_MD* prf = c.prf.empty() ? EVP_sha1() : pskc::HmacDigest(c.prf);
    if (!prf) throw PskcError(Kind::Unsupported, "the PBKDF2 function " + c.prf + " is not supported");
    return pskc::Pbkdf2(unlock.passphrase, salt.span(), *iterations, prf, *length);
}

const EVP_CIPHER* Cipher(const std::string& algorithm, const SecretBytes& key, const std::string& what) {
    const EVP_CIPHER* cipher = pskc::CbcCipher(algorithm);
    if (!cipher)
        throw PskcError(Kind::Unsupported, what + " is encrypted with " +
                                               (algorithm.empty() ? std::string("no named algorithm") : algorithm) +
                                               "; AES-CBC is supported");
    if (static_cast<size_t>(EVP_CIPHER_key_length(cipher)) != key.size())
        throw PskcError(Kind::WrongKey, "the key has " + std::to_string(key.size()) + " bytes but " + what + " needs " +
                                            std::to_string(EVP_CIPHER_key_length(cipher)));
    return cipher;
}

bool SameMac(const std::vector<uint8_t>& computed, const SecretBytes& stored) {
    return computed.size() == stored.size() && CRYPTO_memcmp(computed.data(), stored.data(), stored.size()) == 0;
}

// The MAC of an encrypted file: its algorithm and key (the file's own MAC
// key, decrypted, or else the encryption key).
struct MacCheck {
    const EVP_MD* digest = nullptr;
    SecretBytes key;
    bool keyOpened = false;  // the file's MAC key decrypted
};

MacCheck OpenMac(const RawContainer& c, const SecretBytes& key) {
    MacCheck mac;
    if (!c.hasMacMethod) return mac;
    mac.digest = pskc::HmacDigest(c.macAlgorithm);
    if (!mac.digest) throw PskcError(Kind::Unsupported, "the MAC algorithm " + c.macAlgorithm + " is not supported");
    if (!c.hasMacKey) {
        // Files without a MAC key of their own MAC under the encryption key.
        mac.key = key;
        return mac;
    }
    const EVP_CIPHER* cipher = Cipher(c.macKey.algorithm, key, "the MAC key");
    auto opened = pskc::CbcDecrypt(cipher, key, Decode64(c.macKey.cipher, "the MAC key").span());
    if (!opened)
        throw PskcError(Kind::WrongKey,
                        "the PSKC key or passphrase is wrong (the file's MAC key does "
                        "not decrypt with it)");
    mac.key = std::move(*opened);
    mac.keyOpened = true;
    return mac;
}

// What a key says about itself besides its secret.
void ReadProperties(const RawKey& raw, PskcKey& out) {
    out.serial = raw.serial;
    out.manufacturer = raw.manufacturer;
    out.model = raw.model;
    out.keyId = raw.keyId;
    out.algorithm = raw.algorithm;
    out.user = raw.user.empty() ? raw.deviceUser : raw.user;
    if (!raw.suite.empty()) {
        const auto hash = ParseOtpHash(raw.suite);
        if (!hash)
            throw PskcError(Kind::Unsupported,
                            "the hash algorithm \"" + raw.suite + "\" of " + Describe(raw) + " is not supported");
        out.hash = *hash;
    }
    if (!raw.digits.empty()) {
        const auto digits = ParseNumber(raw.digits);
        if (!digits || *digits > 100)
            throw PskcError(Kind::Malformed, "the response length of " + Describe(raw) + " is not a number");
        out.digits = static_cast<int>(*digits);
    }
    if (!raw.step.cipher.empty())
        throw PskcError(Kind::Unsupported, "the time step of " + Describe(raw) + " is encrypted; not supported");
    if (raw.step.hasPlain) {
        const auto step = ParseNumber(raw.step.plain.view());
        if (!step || *step == 0 || *step > 86400)
            throw PskcError(Kind::Malformed, "the time step of " + Describe(raw) + " is not a number of seconds");
        out.step = static_cast<int>(*step);
    }
}

// The encrypted secret of raw into out; false when it does not decrypt or
// does not match its MAC.
bool OpenSecret(const RawKey& raw, const SecretBytes& key, const MacCheck& mac, PskcKey& out) {
    const EVP_CIPHER* cipher = Cipher(raw.secret.algorithm, key, "the secret of " + Describe(raw));
    const SecretBytes data = Decode64(raw.secret.cipher, "the secret of " + Describe(raw));
    std::optional<SecretBytes> plain = pskc::CbcDecrypt(cipher, key, data.span());
    bool macOk = true;
    if (mac.digest && !raw.secret.mac.empty()) {
        const SecretBytes stored = Decode64(raw.secret.mac, "the MAC of " + Describe(raw));
        // RFC 6030 MACs the cipher text; its drafts MACed the plain text, and
        // files of that time are still around.
        macOk = SameMac(pskc::Hmac(mac.digest, mac.key, data.span()), stored) ||
                (plain && SameMac(pskc::Hmac(mac.digest, mac.key, plain->span()), stored));
        out.macChecked = macOk;
    }
    if (!plain || !macOk) return false;
    out.secret = std::move(*plain);
    return true;
}

PskcContents Open(const RawContainer& c, const PskcUnlock& unlock, const PskcLimits& limits) {
    PskcContents contents;
    contents.encrypted = std::any_of(c.keys.begin(), c.keys.end(),
                                     [](const RawKey& k) { return !k.secret.hasPlain && !k.secret.cipher.empty(); });
    SecretBytes key;
    MacCheck mac;
    if (contents.encrypted) {
        key = ContainerKey(c, unlock, limits);
        mac = OpenMac(c, key);
    }

    std::vector<std::string> failed;
    size_t encryptedCount = 0;
    for (const RawKey& raw : c.keys) {
        PskcKey& out = contents.keys.emplace_back();
        ReadProperties(raw, out);
        if (raw.secret.hasPlain) {
            out.secret = Decode64(raw.secret.plain.view(), "the secret of " + Describe(raw));
        } else if (!raw.secret.cipher.empty()) {
            ++encryptedCount;
            if (!OpenSecret(raw, key, mac, out)) failed.push_back(Describe(raw));
        }
    }

    if (!failed.empty()) {
        // A MAC key that decrypted means the key is right (but by a
        // 1-in-256 chance of valid padding); so does any secret that
        // checked out. Then the file itself was changed.
        if (mac.keyOpened || failed.size() < encryptedCount) {
            std::string list;
            for (const auto& name : failed) list += (list.empty() ? "" : ", ") + name;
            throw PskcError(Kind::Corrupt, "the PSKC file is damaged or was changed: the secret of " + list +
                                               " does not match its MAC or padding");
        }
        throw PskcError(Kind::WrongKey, "the PSKC key or passphrase is wrong (no secret of the file decrypts with it)");
    }
    return contents;
}

}  // namespace

PskcContents ParsePskc(std::span<const uint8_t> document, const PskcUnlock& unlock, const PskcLimits& limits) {
    if (document.size() > limits.maxBytes)
        throw PskcError(Kind::Malformed, "the PSKC file is larger than " + std::to_string(limits.maxBytes) + " bytes");
    RawContainer container;
    const bool complete = DocumentReader().Read(document, container);
    PskcContents contents = Open(container, unlock, limits);
    contents.complete = complete;
    return contents;
}

PskcContents ReadPskcFile(const std::filesystem::path& path, const PskcUnlock& unlock, const PskcLimits& limits) {
    const SecretBytes document = ReadSmallFile(path, limits.maxBytes, "PSKC file");
    return ParsePskc(document.span(), unlock, limits);
}

}  // namespace provisor
