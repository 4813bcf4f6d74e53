#include "platform/package/OpenSsl.h"

#include <cstdlib>

namespace package {

std::optional<DigestAlgorithm> digestAlgorithmNamed(std::string_view name) {
    if (name == "sha256") {
        return DigestAlgorithm::Sha256;
    }
    if (name == "sha512") {
        return DigestAlgorithm::Sha512;
    }
    return std::nullopt;
}

std::string_view digestAlgorithmName(DigestAlgorithm algorithm) {
    return algorithm == DigestAlgorithm::Sha256 ? "sha256" : "sha512";
}

const EVP_MD* digestFunction(DigestAlgorithm algorithm) {
    return algorithm == DigestAlgorithm::Sha256 ? EVP_sha256() : EVP_sha512();
}

std::size_t digestSize(DigestAlgorithm algorithm) {
    return algorithm == DigestAlgorithm::Sha256 ? 32 : 64;
}

std::optional<DigestAlgorithm> digestAlgorithmOf(const EVP_MD* md) {
    if (md == nullptr) {
        return std::nullopt;
    }
    switch (EVP_MD_get_type(md)) {
    case NID_sha256:
        return DigestAlgorithm::Sha256;
    case NID_sha512:
        return DigestAlgorithm::Sha512;
    default:
        return std::nullopt;
    }
}

Hasher::Hasher(DigestAlgorithm algorithm) : context_(EVP_MD_CTX_new()) {
    // Only allocation can fail here, and a digest context is a few hundred bytes.
    if (!context_ || EVP_DigestInit_ex(context_.get(), digestFunction(algorithm), nullptr) != 1) {
        std::abort();
    }
}

void Hasher::update(std::span<const std::uint8_t> bytes) {
    if (EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size()) != 1) {
        std::abort();
    }
}

Bytes Hasher::finish() {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context_.get(), out.data(), &size) != 1) {
        std::abort();
    }
    out.resize(size);
    return out;
}

Bytes digest(DigestAlgorithm algorithm, std::span<const std::uint8_t> bytes) {
    Hasher hasher(algorithm);
    hasher.update(bytes);
    return hasher.finish();
}

X509Ptr certificateFromDer(std::span<const std::uint8_t> der) {
    const unsigned char* cursor = der.data();
    X509Ptr certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
    if (!certificate || cursor != der.data() + der.size()) {
        return nullptr;
    }
    return certificate;
}

Bytes certificateDer(const X509* certificate) {
    unsigned char* out = nullptr;
    const int size = i2d_X509(certificate, &out);
    if (size <= 0) {
        return {};
    }
    Bytes bytes(out, out + size);
    OPENSSL_free(out);
    return bytes;
}

std::string lowerHex(std::span<const std::uint8_t> bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t byte : bytes) {
        out.push_back(digits[byte >> 4]);
        out.push_back(digits[byte & 15]);
    }
    return out;
}

} // namespace package
