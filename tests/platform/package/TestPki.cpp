#include "TestPki.h"

#include <cstdlib>
#include <openssl/ec.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <stdexcept>

namespace testpki {

namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        throw std::runtime_error(std::string("test PKI: ") + what);
    }
}

std::shared_ptr<EVP_PKEY> newKey() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    check(key != nullptr, "key generation");
    return {key, EVP_PKEY_free};
}

void addExtension(X509* certificate, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    check(extension != nullptr && X509_add_ext(certificate, extension, -1) == 1, "extension");
    X509_EXTENSION_free(extension);
}

long serialNumber() {
    static long next = 1000;
    return ++next;
}

} // namespace

Identity issue(const CertificateOptions& options, const Identity* issuer) {
    Identity made{newKey(), nullptr};
    X509* certificate = X509_new();
    check(certificate != nullptr, "certificate");
    made.certificate.reset(certificate, X509_free);
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), serialNumber());
    std::time_t notBefore = options.notBefore;
    std::time_t notAfter = options.notAfter;
    X509_time_adj_ex(X509_getm_notBefore(certificate), 0, 0, &notBefore);
    X509_time_adj_ex(X509_getm_notAfter(certificate), 0, 0, &notAfter);
    X509_set_pubkey(certificate, made.key.get());
    X509_NAME* name = X509_get_subject_name(certificate);
    for (const std::string& unit : options.organisationalUnits) {
        X509_NAME_add_entry_by_txt(name, "OU", MBSTRING_UTF8,
                                   reinterpret_cast<const unsigned char*>(unit.c_str()), -1, -1, 0);
    }
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(options.commonName.c_str()),
                               -1, -1, 0);
    X509* signerCertificate = issuer ? issuer->certificate.get() : certificate;
    X509_set_issuer_name(certificate, X509_get_subject_name(signerCertificate));
    addExtension(certificate, signerCertificate, NID_subject_key_identifier, "hash");
    addExtension(certificate, signerCertificate, NID_authority_key_identifier, "keyid:always");
    if (options.authority) {
        addExtension(certificate, signerCertificate, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(certificate, signerCertificate, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        addExtension(certificate, signerCertificate, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(certificate, signerCertificate, NID_key_usage, "critical,digitalSignature");
    }
    if (options.timeStamping) {
        addExtension(certificate, signerCertificate, NID_ext_key_usage, "critical,timeStamping");
    }
    for (const Extension& extension : options.extensions) {
        ASN1_OBJECT* object = OBJ_txt2obj(extension.oid.c_str(), 1);
        ASN1_OCTET_STRING* value = ASN1_OCTET_STRING_new();
        static const unsigned char null[] = {0x05, 0x00};
        ASN1_OCTET_STRING_set(value, null, sizeof null);
        X509_EXTENSION* made =
            X509_EXTENSION_create_by_OBJ(nullptr, object, extension.critical, value);
        check(made != nullptr && X509_add_ext(certificate, made, -1) == 1, "marker");
        X509_EXTENSION_free(made);
        ASN1_OCTET_STRING_free(value);
        ASN1_OBJECT_free(object);
    }
    EVP_PKEY* signingKey = issuer ? issuer->key.get() : made.key.get();
    check(X509_sign(certificate, signingKey, options.digest) > 0, "signing");
    return made;
}

Hierarchy::Hierarchy(std::time_t now) : now(now) {
    const std::time_t from = now - 365 * kDay;
    const std::time_t until = now + 3650 * kDay;
    root = issue({.commonName = package::kAnchorCommonName,
                  .authority = true,
                  .notBefore = from,
                  .notAfter = until});
    intermediate = issue({.commonName = "Developer ID Certification Authority",
                          .authority = true,
                          .extensions = {{package::kInstallerIntermediateMarker, false}},
                          .notBefore = from,
                          .notAfter = until},
                         &root);
    leaf = leafWith(leafMarker(), {kTeam}, from, until);
    tsa = issue({.commonName = "Test Time Stamping Authority",
                 .timeStamping = true,
                 .notBefore = from,
                 .notAfter = until},
                &root);
}

Identity Hierarchy::leafWith(std::vector<Extension> extensions, std::vector<std::string> units,
                             std::time_t notBefore, std::time_t notAfter) const {
    return issue({.commonName = "Developer ID Installer: Keelbrook Tests",
                  .organisationalUnits = std::move(units),
                  .extensions = std::move(extensions),
                  .notBefore = notBefore,
                  .notAfter = notAfter},
                 &intermediate);
}

std::shared_ptr<const package::TrustAnchor> Hierarchy::anchor() const {
    X509_up_ref(root.certificate.get());
    return std::make_shared<const package::TrustAnchor>(
        package::TrustAnchor{package::X509Ptr(root.certificate.get())});
}

package::PackageSigner Hierarchy::signer(const Identity* signingLeaf) const {
    const Identity& chosen = signingLeaf ? *signingLeaf : leaf;
    package::PackageSigner made;
    made.key = chosen.key;
    made.certificate = chosen.certificate;
    made.chain = {intermediate.certificate};
    return made;
}

namespace {

struct StampTime {
    std::time_t time;
};

int stampTime(TS_RESP_CTX*, void* data, long* seconds, long* microseconds) {
    *seconds = static_cast<long>(static_cast<StampTime*>(data)->time);
    *microseconds = 0;
    return 1;
}

} // namespace

package::TimeStamper timeStamper(Identity tsa, std::vector<std::shared_ptr<X509>> chain,
                                 std::time_t time) {
    return [tsa, chain, time](std::span<const std::uint8_t> query,
                              std::string* error) -> std::optional<package::Bytes> {
        TS_RESP_CTX* context = TS_RESP_CTX_new();
        StampTime at{time};
        STACK_OF(X509)* certificates = sk_X509_new_null();
        for (const auto& certificate : chain) {
            sk_X509_push(certificates, certificate.get());
        }
        ASN1_OBJECT* policy = OBJ_txt2obj("1.3.6.1.4.1.99999.1", 1);
        TS_RESP_CTX_set_signer_cert(context, tsa.certificate.get());
        TS_RESP_CTX_set_signer_key(context, tsa.key.get());
        TS_RESP_CTX_set_def_policy(context, policy);
        TS_RESP_CTX_set_certs(context, certificates);
        TS_RESP_CTX_add_md(context, EVP_sha256());
        TS_RESP_CTX_set_time_cb(context, stampTime, &at);
        BIO* input = BIO_new_mem_buf(query.data(), static_cast<int>(query.size()));
        TS_RESP* response = TS_RESP_create_response(context, input);
        std::optional<package::Bytes> out;
        if (response != nullptr) {
            unsigned char* der = nullptr;
            const int size = i2d_TS_RESP(response, &der);
            if (size > 0) {
                out = package::Bytes(der, der + size);
            }
            OPENSSL_free(der);
        }
        if (!out && error != nullptr) {
            *error = "test TSA failed";
        }
        TS_RESP_free(response);
        BIO_free(input);
        ASN1_OBJECT_free(policy);
        sk_X509_free(certificates);
        TS_RESP_CTX_free(context);
        return out;
    };
}

std::string pem(const X509* certificate) {
    BIO* out = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(out, const_cast<X509*>(certificate));
    char* data = nullptr;
    const long size = BIO_get_mem_data(out, &data);
    std::string text(data, static_cast<std::size_t>(size));
    BIO_free(out);
    return text;
}

std::string pem(const EVP_PKEY* key) {
    BIO* out = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    const long size = BIO_get_mem_data(out, &data);
    std::string text(data, static_cast<std::size_t>(size));
    BIO_free(out);
    return text;
}

package::Bytes signedPackage(const std::optional<package::PackageSigner>& signer,
                             const std::string& payload, package::HostileVariants hostile) {
    package::PackageContents contents;
    contents.files.push_back({"Payload", package::Bytes(payload.begin(), payload.end())});
    contents.signer = signer;
    contents.hostile = hostile;
    std::string error;
    auto bytes = package::buildPackage(contents, &error);
    check(bytes.has_value(), error.c_str());
    return *bytes;
}

} // namespace testpki
