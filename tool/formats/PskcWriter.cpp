#include <string>
#include <utility>

#include "formats/Pskc.h"
#include "formats/PskcCrypto.h"
#include "formats/TextChecks.h"

namespace provisor {

namespace {

using pskc::Base64Encode;

constexpr size_t kMaxSecretBytes = 160;
constexpr size_t kMacKeyBytes = 20;  // HMAC-SHA1's output size, as RFC 2104 advises
constexpr size_t kSaltBytes = 16;

constexpr std::string_view kPskcNs = "urn:ietf:params:xml:ns:keyprov:pskc";
constexpr std::string_view kDsNs = "http://www.w3.org/2000/09/xmldsig#";
constexpr std::string_view kXencNs = "http://www.w3.org/2001/04/xmlenc#";
constexpr std::string_view kXenc11Ns = "http://www.w3.org/2009/xmlenc11#";
constexpr std::string_view kPkcs5Ns = "http://www.rsasecurity.com/rsalabs/pkcs/schemas/pkcs-5v2-0#";

std::string Attribute(std::string_view name, std::string_view value) {
    return " " + std::string(name) + "=\"" + text::XmlEscape(value) + "\"";
}

// <pskc:Tag>escaped text</pskc:Tag> on a line of its own.
std::string Element(int indent, std::string_view tag, std::string_view value) {
    return std::string(static_cast<size_t>(indent), ' ') + "<" + std::string(tag) + ">" + text::XmlEscape(value) +
           "</" + std::string(tag) + ">\n";
}

std::string EncryptedValue(int indent, std::string_view tag, std::span<const uint8_t> cipher) {
    const std::string pad(static_cast<size_t>(indent), ' ');
    return pad + "<" + std::string(tag) + ">\n" + pad + "  <xenc:EncryptionMethod" +
           Attribute("Algorithm", pskc::kAes128Cbc) + "/>\n" + pad + "  <xenc:CipherData>\n" + pad +
           "    <xenc:CipherValue>" + Base64Encode(cipher) + "</xenc:CipherValue>\n" + pad + "  </xenc:CipherData>\n" +
           pad + "</" + std::string(tag) + ">\n";
}

void CheckField(std::string_view value, const std::string& what, bool required) {
    if (required && value.empty()) throw FormatError(what + " is empty");
    text::CheckPrintable(value, what);
}

}  // namespace

PskcProtection PskcProtection::PreSharedKey(const SecretBytes& key, std::string keyName) {
    if (key.size() != 16)
        throw FormatError("the PSKC key must be 16 bytes (32 hexadecimal digits) for AES-128, not " +
                          std::to_string(key.size()));
    CheckField(keyName, "the PSKC key name", true);
    PskcProtection protection;
    protection.key_ = key;
    protection.macKey_ = SecretBytes(pskc::RandomBytes(kMacKeyBytes));
    protection.keyName_ = std::move(keyName);
    return protection;
}

PskcProtection PskcProtection::Passphrase(const SecretBytes& passphrase, PbkdfPrf prf, uint32_t iterations,
                                          std::string keyName) {
    if (passphrase.empty()) throw FormatError("the PSKC passphrase is empty");
    if (iterations < 1000 || iterations > 10000000)
        throw FormatError("the PBKDF2 iteration count must be 1000-10000000");
    CheckField(keyName, "the PSKC key name", false);
    PskcProtection protection;
    protection.salt_ = pskc::RandomBytes(kSaltBytes);
    protection.iterations_ = iterations;
    protection.prf_ = prf;
    protection.key_ = pskc::Pbkdf2(passphrase, protection.salt_, iterations,
                                   prf == PbkdfPrf::HmacSha1 ? EVP_sha1() : EVP_sha256(), 16);
    protection.macKey_ = SecretBytes(pskc::RandomBytes(kMacKeyBytes));
    protection.keyName_ = std::move(keyName);
    return protection;
}

PskcProtection PskcProtection::Clear() { return PskcProtection(); }

PskcFormatter::PskcFormatter(PskcProtection protection, PskcDevice device)
    : protection_(std::move(protection)), device_(std::move(device)) {
    CheckField(device_.manufacturer, "the manufacturer", true);
    CheckField(device_.model, "the model", false);
}

void PskcFormatter::Check(const ExportToken& token) const {
    CheckField(token.serial, "the serial number", true);
    CheckField(token.user, "the user name of " + token.serial, false);
    if (token.secret.empty() || token.secret.size() > kMaxSecretBytes)
        throw FormatError("the seed of " + token.serial + " has " + std::to_string(token.secret.size()) +
                          " bytes; PSKC export takes 1-160");
    if (token.digits < 1 || token.digits > 10)
        throw FormatError("an OTP length of " + std::to_string(token.digits) + " digits; 1-10 are possible");
    if (token.step < 1 || token.step > 3600)
        throw FormatError("a time step of " + std::to_string(token.step) + " s; 1-3600 are possible");
}

std::string PskcFormatter::Header() const {
    const bool derived = !protection_.salt_.empty();
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<pskc:KeyContainer Version=\"1.0\"";
    xml += Attribute("xmlns:pskc", kPskcNs);
    if (!protection_.encrypted()) return xml + ">\n";

    xml += derived ? Attribute("xmlns:xenc11", kXenc11Ns) + Attribute("xmlns:pkcs5", kPkcs5Ns)
                   : Attribute("xmlns:ds", kDsNs);
    xml += Attribute("xmlns:xenc", kXencNs) + ">\n  <pskc:EncryptionKey>\n";
    if (derived) {
        const std::string_view prf = protection_.prf_ == PbkdfPrf::HmacSha1 ? pskc::kHmacSha1 : pskc::kHmacSha256;
        xml += "    <xenc11:DerivedKey>\n      <xenc11:KeyDerivationMethod" + Attribute("Algorithm", pskc::kPbkdf2) +
               ">\n        <pkcs5:PBKDF2-params>\n          <Salt>\n" +
               Element(12, "Specified", Base64Encode(protection_.salt_)) + "          </Salt>\n" +
               Element(10, "IterationCount", std::to_string(protection_.iterations_)) +
               Element(10, "KeyLength", std::to_string(protection_.key_.size())) + "          <PRF" +
               Attribute("Algorithm", prf) +
               "/>\n        </pkcs5:PBKDF2-params>\n      </xenc11:KeyDerivationMethod>\n";
        if (!protection_.keyName_.empty()) xml += Element(6, "xenc11:MasterKeyName", protection_.keyName_);
        xml += "    </xenc11:DerivedKey>\n";
    } else {
        xml += Element(4, "ds:KeyName", protection_.keyName_);
    }
    xml += "  </pskc:EncryptionKey>\n  <pskc:MACMethod" + Attribute("Algorithm", pskc::kHmacSha1) + ">\n" +
           EncryptedValue(4, "pskc:MACKey",
                          pskc::CbcEncrypt(EVP_aes_128_cbc(), protection_.key_, protection_.macKey_.span())) +
           "  </pskc:MACMethod>\n";
    return xml;
}

std::string PskcFormatter::Package(const ExportToken& token) const {
    Check(token);
    std::string xml = "  <pskc:KeyPackage>\n    <pskc:DeviceInfo>\n" +
                      Element(6, "pskc:Manufacturer", device_.manufacturer) + Element(6, "pskc:SerialNo", token.serial);
    if (!device_.model.empty()) xml += Element(6, "pskc:Model", device_.model);
    xml += "    </pskc:DeviceInfo>\n    <pskc:Key" + Attribute("Id", token.serial) +
           Attribute("Algorithm", kPskcTotpAlgorithm) + ">\n      <pskc:AlgorithmParameters>\n";
    if (token.hash != OtpHash::Sha1) xml += Element(8, "pskc:Suite", OtpHashName(token.hash));
    xml += "        <pskc:ResponseFormat" + Attribute("Length", std::to_string(token.digits)) +
           Attribute("Encoding", "DECIMAL") + "/>\n      </pskc:AlgorithmParameters>\n      <pskc:Data>\n" +
           "        <pskc:Secret>\n";
    if (protection_.encrypted()) {
        const std::vector<uint8_t> cipher = pskc::CbcEncrypt(EVP_aes_128_cbc(), protection_.key_, token.secret);
        xml += EncryptedValue(10, "pskc:EncryptedValue", cipher) +
               Element(10, "pskc:ValueMAC", Base64Encode(pskc::Hmac(EVP_sha1(), protection_.macKey_, cipher)));
    } else {
        xml += Element(10, "pskc:PlainValue", Base64Encode(token.secret));
    }
    xml += "        </pskc:Secret>\n        <pskc:TimeInterval>\n" +
           Element(10, "pskc:PlainValue", std::to_string(token.step)) +
           "        </pskc:TimeInterval>\n      </pskc:Data>\n";
    if (!token.user.empty()) xml += Element(6, "pskc:UserId", token.user);
    xml += "    </pskc:Key>\n  </pskc:KeyPackage>\n";
    return xml;
}

std::string_view PskcFormatter::Footer() { return "</pskc:KeyContainer>\n"; }

PskcWriter::PskcWriter(const std::filesystem::path& path, PskcProtection protection, OwnerFile::Existing existing,
                       PskcDevice device)
    : formatter_(std::move(protection), std::move(device)),
      file_(OwnerFile::Create(path, formatter_.Header(), existing)) {}

void PskcWriter::Add(const ExportToken& token) {
    std::string package = formatter_.Package(token);
    file_.Append(package);
    // A clear file's package holds the secret in base64.
    Wipe(package.data(), package.size());
}

void PskcWriter::Finish() { file_.Finish(PskcFormatter::Footer()); }

}  // namespace provisor
