#pragma once

// Owning handles for the OpenSSL objects this layer uses, and digest helpers.

#include <cstdint>
#include <memory>
#include <openssl/cms.h>
#include <openssl/evp.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace package {

using Bytes = std::vector<std::uint8_t>;

template <class T, void (*Free)(T*)>
struct OpenSslDeleter {
    void operator()(T* object) const { Free(object); }
};

using X509Ptr = std::unique_ptr<X509, OpenSslDeleter<X509, X509_free>>;
using CmsPtr =
    std::unique_ptr<CMS_ContentInfo, OpenSslDeleter<CMS_ContentInfo, CMS_ContentInfo_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, OpenSslDeleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using BioPtr = std::unique_ptr<BIO, OpenSslDeleter<BIO, BIO_free_all>>;
using StorePtr = std::unique_ptr<X509_STORE, OpenSslDeleter<X509_STORE, X509_STORE_free>>;
using StoreCtxPtr =
    std::unique_ptr<X509_STORE_CTX, OpenSslDeleter<X509_STORE_CTX, X509_STORE_CTX_free>>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, OpenSslDeleter<PKCS7, PKCS7_free>>;
using TstInfoPtr = std::unique_ptr<TS_TST_INFO, OpenSslDeleter<TS_TST_INFO, TS_TST_INFO_free>>;
using TsVerifyCtxPtr =
    std::unique_ptr<TS_VERIFY_CTX, OpenSslDeleter<TS_VERIFY_CTX, TS_VERIFY_CTX_free>>;

inline void freeCertificateStack(STACK_OF(X509) * stack) {
    sk_X509_pop_free(stack, X509_free);
}
using X509StackPtr =
    std::unique_ptr<STACK_OF(X509), OpenSslDeleter<STACK_OF(X509), freeCertificateStack>>;

// The only digests a package may use.
enum class DigestAlgorithm { Sha256, Sha512 };

// "sha256" / "sha512" (the names of the archive format); anything else is none.
std::optional<DigestAlgorithm> digestAlgorithmNamed(std::string_view name);
std::string_view digestAlgorithmName(DigestAlgorithm algorithm);
const EVP_MD* digestFunction(DigestAlgorithm algorithm);
std::size_t digestSize(DigestAlgorithm algorithm);
// The algorithm of an OpenSSL digest, when it is one of the two.
std::optional<DigestAlgorithm> digestAlgorithmOf(const EVP_MD* md);

// A running digest.
class Hasher {
public:
    explicit Hasher(DigestAlgorithm algorithm);
    void update(std::span<const std::uint8_t> bytes);
    Bytes finish();

private:
    EvpMdCtxPtr context_;
};

Bytes digest(DigestAlgorithm algorithm, std::span<const std::uint8_t> bytes);
// Lower-case hexadecimal, as checksums and fingerprints are written.
std::string lowerHex(std::span<const std::uint8_t> bytes);

// A certificate parsed from DER (exactly: trailing bytes refuse it), or none.
X509Ptr certificateFromDer(std::span<const std::uint8_t> der);
Bytes certificateDer(const X509* certificate);

} // namespace package
