#include "platform/package/Signature.h"

#include "platform/files/Files.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <filesystem>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

namespace package {

namespace {

constexpr std::size_t kMaximumAnchorFileSize = 64 * 1024;
constexpr int kMinimumSecurityLevel = 2;

bool refuse(std::string* reason, std::string text) {
    if (reason != nullptr) {
        *reason = std::move(text);
    }
    return false;
}

std::string normalisedFingerprint(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c != ':') {
            out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
        }
    }
    return out;
}

std::optional<std::string> utf8(const ASN1_STRING* value) {
    unsigned char* out = nullptr;
    const int size = ASN1_STRING_to_UTF8(&out, value);
    if (size < 0) {
        return std::nullopt;
    }
    std::string text(reinterpret_cast<const char*>(out), static_cast<std::size_t>(size));
    OPENSSL_free(out);
    return text;
}

// Whether some entry of `name` with `nid` has exactly the value `expected`.
bool nameHas(const X509_NAME* name, int nid, std::string_view expected) {
    for (int index = X509_NAME_get_index_by_NID(name, nid, -1); index >= 0;
         index = X509_NAME_get_index_by_NID(name, nid, index)) {
        auto value = utf8(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index)));
        if (value && *value == expected) {
            return true;
        }
    }
    return false;
}

bool hasExtension(const X509* certificate, const char* oid) {
    ASN1_OBJECT* object = OBJ_txt2obj(oid, 1);
    const bool found = object != nullptr && X509_get_ext_by_OBJ(certificate, object, -1) >= 0;
    ASN1_OBJECT_free(object);
    return found;
}

bool isMarker(const ASN1_OBJECT* object) {
    char text[80];
    if (OBJ_obj2txt(text, sizeof text, object, 1) <= 0) {
        return false;
    }
    const std::string_view oid(text);
    return oid == kInstallerLeafMarker || oid == kInstallerIntermediateMarker;
}

// OpenSSL refuses any critical extension it does not know; the two markers are known here.
int acceptCriticalMarkers(int ok, X509_STORE_CTX* context) {
    if (ok != 0 || X509_STORE_CTX_get_error(context) != X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION) {
        return ok;
    }
    X509* certificate = X509_STORE_CTX_get_current_cert(context);
    for (int i = 0; i < X509_get_ext_count(certificate); ++i) {
        X509_EXTENSION* extension = X509_get_ext(certificate, i);
        if (X509_EXTENSION_get_critical(extension) && !X509_supported_extension(extension) &&
            !isMarker(X509_EXTENSION_get_object(extension))) {
            return 0;
        }
    }
    X509_STORE_CTX_set_error(context, X509_V_OK);
    return 1;
}

std::optional<std::chrono::system_clock::time_point> timeOf(const ASN1_TIME* time) {
    std::tm parts{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1) {
        return std::nullopt;
    }
    return std::chrono::system_clock::from_time_t(timegm(&parts));
}

StorePtr storeWithOnly(const TrustAnchor& anchor, std::chrono::system_clock::time_point at) {
    StorePtr store(X509_STORE_new());
    if (!store || X509_STORE_add_cert(store.get(), anchor.certificate.get()) != 1) {
        return nullptr;
    }
    X509_VERIFY_PARAM* parameters = X509_STORE_get0_param(store.get());
    X509_VERIFY_PARAM_set_time(parameters, std::chrono::system_clock::to_time_t(at));
    // 112-bit keys at least, and no certificate signed with SHA-1 or MD5.
    X509_VERIFY_PARAM_set_auth_level(parameters, kMinimumSecurityLevel);
    return store;
}

// The time of the signer's RFC 3161 time stamp, when it has exactly one that verifies: a
// token signed by a time-stamping certificate that chains to `anchor` (evaluated at `now`),
// whose message imprint is the SHA-256 or SHA-512 hash of the signer's signature value.
std::optional<std::chrono::system_clock::time_point>
verifiedTimeStamp(CMS_SignerInfo* signer, const TrustAnchor& anchor,
                  std::chrono::system_clock::time_point now) {
    const int index = CMS_unsigned_get_attr_by_NID(signer, NID_id_smime_aa_timeStampToken, -1);
    if (index < 0 ||
        CMS_unsigned_get_attr_by_NID(signer, NID_id_smime_aa_timeStampToken, index) >= 0) {
        return std::nullopt;
    }
    X509_ATTRIBUTE* attribute = CMS_unsigned_get_attr(signer, index);
    if (X509_ATTRIBUTE_count(attribute) != 1) {
        return std::nullopt;
    }
    ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attribute, 0);
    if (value == nullptr || value->type != V_ASN1_SEQUENCE) {
        return std::nullopt;
    }
    const unsigned char* cursor = value->value.sequence->data;
    const long length = value->value.sequence->length;
    Pkcs7Ptr token(d2i_PKCS7(nullptr, &cursor, length));
    if (!token || cursor != value->value.sequence->data + length) {
        return std::nullopt;
    }
    TstInfoPtr info(PKCS7_to_TS_TST_INFO(token.get()));
    if (!info) {
        return std::nullopt;
    }
    TS_MSG_IMPRINT* imprint = TS_TST_INFO_get_msg_imprint(info.get());
    const X509_ALGOR* imprintAlgorithm = TS_MSG_IMPRINT_get_algo(imprint);
    auto algorithm = digestAlgorithmOf(
        EVP_get_digestbyobj(imprintAlgorithm ? imprintAlgorithm->algorithm : nullptr));
    if (!algorithm) {
        return std::nullopt;
    }
    const ASN1_OCTET_STRING* signatureValue = CMS_SignerInfo_get0_signature(signer);
    const Bytes expected =
        digest(*algorithm, {ASN1_STRING_get0_data(signatureValue),
                            static_cast<std::size_t>(ASN1_STRING_length(signatureValue))});

    TsVerifyCtxPtr context(TS_VERIFY_CTX_new());
    StorePtr store = storeWithOnly(anchor, now);
    if (!context || !store) {
        return std::nullopt;
    }
    TS_VERIFY_CTX_set_flags(context.get(), TS_VFY_SIGNATURE | TS_VFY_VERSION | TS_VFY_IMPRINT);
    TS_VERIFY_CTX_set_store(context.get(), store.release()); // the context frees it
    auto* copy = static_cast<unsigned char*>(OPENSSL_memdup(expected.data(), expected.size()));
    TS_VERIFY_CTX_set_imprint(context.get(), copy, static_cast<long>(expected.size()));
    if (TS_RESP_verify_token(context.get(), token.get()) != 1) {
        return std::nullopt;
    }
    return timeOf(TS_TST_INFO_get_time(info.get()));
}

// The signer's certificate among the message's and the archive's certificates.
X509* signerCertificate(CMS_SignerInfo* signer, STACK_OF(X509) * candidates) {
    for (int i = 0; i < sk_X509_num(candidates); ++i) {
        X509* candidate = sk_X509_value(candidates, i);
        if (CMS_SignerInfo_cert_cmp(signer, candidate) == 0) {
            return candidate;
        }
    }
    return nullptr;
}

class SignerCheck {
public:
    SignerCheck(CMS_SignerInfo* signer, BIO* content, STACK_OF(X509) * candidates,
                const SignatureToVerify& signature, const TrustAnchor* anchor,
                std::chrono::system_clock::time_point now)
        : signer_(signer), content_(content), candidates_(candidates), signature_(signature),
          anchor_(anchor), now_(now) {}

    bool passes(std::string_view teamID, std::string* reason) {
        // a. The signer's own signature, without trust evaluation.
        X509_ALGOR* digestAlgorithm = nullptr;
        CMS_SignerInfo_get0_algs(signer_, nullptr, nullptr, &digestAlgorithm, nullptr);
        if (digestAlgorithm == nullptr ||
            !digestAlgorithmOf(EVP_get_digestbyobj(digestAlgorithm->algorithm))) {
            return refuse(reason, "the signer's digest is not SHA-256 or SHA-512");
        }
        X509* certificate = signerCertificate(signer_, candidates_);
        if (certificate == nullptr) {
            return refuse(reason, "the signer's certificate is missing");
        }
        CMS_SignerInfo_set1_signer_cert(signer_, certificate);
        if (CMS_signed_get_attr_count(signer_) >= 0 && CMS_SignerInfo_verify(signer_) != 1) {
            return refuse(reason, "the signed attributes do not verify");
        }
        if (CMS_SignerInfo_verify_content(signer_, content_) != 1) {
            return refuse(reason, "the signature does not verify over the signed data");
        }
        // b.
        if (X509_cmp(certificate, signature_.certificates.front().get()) != 0) {
            return refuse(reason, "the signer is not the first stored certificate");
        }
        // c. The time stamp's time, when one verifies; the signingTime attribute is
        // unauthenticated and never counts.
        if (anchor_ == nullptr) {
            return refuse(reason, "no anchor");
        }
        const auto at = verifiedTimeStamp(signer_, *anchor_, now_).value_or(now_);
        // d, e.
        StorePtr store = storeWithOnly(*anchor_, at);
        StoreCtxPtr context(X509_STORE_CTX_new());
        if (!store || !context ||
            X509_STORE_CTX_init(context.get(), store.get(), certificate, candidates_) != 1) {
            return refuse(reason, "cannot evaluate trust");
        }
        X509_STORE_CTX_set_verify_cb(context.get(), acceptCriticalMarkers);
        if (X509_verify_cert(context.get()) != 1) {
            return refuse(
                reason, std::string("the chain does not verify: ") +
                            X509_verify_cert_error_string(X509_STORE_CTX_get_error(context.get())));
        }
        // f.
        STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(context.get());
        if (sk_X509_num(chain) < 2) {
            return refuse(reason, "the chain has fewer than two certificates");
        }
        // g.
        if (!hasExtension(sk_X509_value(chain, 0), kInstallerLeafMarker)) {
            return refuse(reason, "the leaf is not an installer certificate");
        }
        if (!hasExtension(sk_X509_value(chain, 1), kInstallerIntermediateMarker)) {
            return refuse(reason, "the intermediate is not an installer authority");
        }
        // h.
        if (!nameHas(X509_get_subject_name(sk_X509_value(chain, 0)), NID_organizationalUnitName,
                     teamID)) {
            return refuse(reason, "the leaf names another team");
        }
        return true;
    }

private:
    CMS_SignerInfo* signer_;
    BIO* content_;
    STACK_OF(X509) * candidates_;
    const SignatureToVerify& signature_;
    const TrustAnchor* anchor_;
    std::chrono::system_clock::time_point now_;
};

} // namespace

std::string certificateFingerprint(const X509* certificate) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (X509_digest(certificate, EVP_sha256(), out, &size) != 1) {
        return {};
    }
    return lowerHex({out, size});
}

std::shared_ptr<const TrustAnchor>
findAnchor(const std::string& folder, std::string_view pinnedFingerprint, std::string* reason) {
    const std::string pin = normalisedFingerprint(pinnedFingerprint);
    if (pin.size() != 64) {
        refuse(reason, "no anchor fingerprint is pinned");
        return nullptr;
    }
    std::error_code problem;
    std::vector<std::filesystem::path> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder, problem)) {
        if (entry.is_regular_file(problem)) {
            names.push_back(entry.path());
        }
    }
    std::sort(names.begin(), names.end());
    for (const auto& name : names) {
        auto bytes = files::readFile(name.string(), kMaximumAnchorFileSize);
        if (!bytes) {
            continue;
        }
        BioPtr bio(BIO_new_mem_buf(bytes->data(), static_cast<int>(bytes->size())));
        X509Ptr certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
        if (!certificate) {
            certificate = certificateFromDer(*bytes);
        }
        if (certificate &&
            nameHas(X509_get_subject_name(certificate.get()), NID_commonName, kAnchorCommonName) &&
            certificateFingerprint(certificate.get()) == pin) {
            return std::make_shared<const TrustAnchor>(TrustAnchor{std::move(certificate)});
        }
    }
    refuse(reason, "no pinned " + std::string(kAnchorCommonName) + " in " + folder);
    return nullptr;
}

std::vector<std::shared_ptr<X509>> parseCertificates(const std::vector<Bytes>& der) {
    std::vector<std::shared_ptr<X509>> certificates;
    for (const Bytes& bytes : der) {
        if (X509Ptr certificate = certificateFromDer(bytes)) {
            certificates.emplace_back(certificate.release(), X509_free);
        }
    }
    return certificates;
}

bool verifySignature(const SignatureToVerify& signature, std::string_view teamID,
                     const TrustAnchor* anchor, std::chrono::system_clock::time_point now,
                     std::string* reason) {
    // 1, 2.
    if (signature.type != kRequiredSignatureType) {
        return refuse(reason, "the signature is not a CMS signature");
    }
    if (signature.signedData.empty() || signature.signatureData.empty()) {
        return refuse(reason, "the signed data or the signature is missing");
    }
    // 3. A detached SignedData message over the signed data, exactly the stored bytes.
    const unsigned char* cursor = signature.signatureData.data();
    CmsPtr message(
        d2i_CMS_ContentInfo(nullptr, &cursor, static_cast<long>(signature.signatureData.size())));
    if (!message || cursor != signature.signatureData.data() + signature.signatureData.size() ||
        OBJ_obj2nid(CMS_get0_type(message.get())) != NID_pkcs7_signed) {
        return refuse(reason, "the signature is not a CMS signed-data message");
    }
    ASN1_OCTET_STRING** embedded = CMS_get0_content(message.get());
    if (embedded == nullptr || *embedded != nullptr ||
        OBJ_obj2nid(CMS_get0_eContentType(message.get())) != NID_pkcs7_data) {
        return refuse(reason, "the signature is not detached over plain data");
    }
    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(message.get());
    if (sk_CMS_SignerInfo_num(signers) < 1) {
        return refuse(reason, "the signature has no signer");
    }
    // 4.
    if (signature.certificates.empty()) {
        return refuse(reason, "no certificate is stored with the signature");
    }
    X509StackPtr candidates(CMS_get1_certs(message.get()));
    if (!candidates) {
        candidates.reset(sk_X509_new_null());
    }
    for (const auto& certificate : signature.certificates) {
        X509_up_ref(certificate.get());
        sk_X509_push(candidates.get(), certificate.get());
    }
    // Digest the signed data once through the message's digest chain.
    BioPtr content(BIO_new_mem_buf(signature.signedData.data(),
                                   static_cast<int>(signature.signedData.size())));
    BIO* chain = CMS_dataInit(message.get(), content.get());
    if (chain == nullptr) {
        return refuse(reason, "the signature's digests are not supported");
    }
    content.release(); // now the tail of `chain`
    BioPtr digests(chain);
    unsigned char buffer[4096];
    while (BIO_read(digests.get(), buffer, sizeof buffer) > 0) {
    }
    // 6.
    std::string last = "no signer passed";
    for (int i = 0; i < sk_CMS_SignerInfo_num(signers); ++i) {
        SignerCheck check(sk_CMS_SignerInfo_value(signers, i), digests.get(), candidates.get(),
                          signature, anchor, now);
        if (check.passes(teamID, &last)) {
            return true;
        }
    }
    // 7.
    return refuse(reason, last);
}

} // namespace package
