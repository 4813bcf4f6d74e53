#pragma once

// Builds xar packages the reader accepts: files in the heap after the checksum and the
// signature, a zlib TOC, and a detached CMS signature over the TOC checksum made with a
// given key and chain, optionally with an RFC 3161 time stamp over the signature value.
// For tests it also writes hostile variants that the reader or the validation must refuse.

#include "platform/package/OpenSsl.h"

#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace package {

struct PackageFile {
    std::string name;
    Bytes contents;
    bool compress = false; // zlib ("application/x-gzip") instead of stored
};

// Sends an RFC 3161 query (DER) to a time-stamping authority and returns its response
// (DER TimeStampResp), or none with the reason.
using TimeStamper =
    std::function<std::optional<Bytes>(std::span<const std::uint8_t> query, std::string* error)>;

struct PackageSigner {
    std::shared_ptr<EVP_PKEY> key;
    std::shared_ptr<X509> certificate;
    // The intermediates (and whatever else the message should carry), leaf excluded.
    std::vector<std::shared_ptr<X509>> chain;
    TimeStamper timeStamper; // none: no time stamp
    const EVP_MD* digest = EVP_sha256();
    // An explicit (unauthenticated) signingTime attribute; none: the signing moment.
    std::optional<std::time_t> signingTime;
    // The certificates stored in the TOC; none: the leaf, then the chain.
    std::optional<std::vector<std::shared_ptr<X509>>> storedCertificates;
};

// Faults a test package can carry; each is applied to a correctly signed package.
struct HostileVariants {
    bool sha1Checksum = false;            // header and TOC checksum SHA-1
    bool secondSignature = false;         // a second, equally valid CMS signature element
    bool overlappingRanges = false;       // the first file's range starts inside the signature
    bool appendedHeapData = false;        // bytes after the heap
    bool tamperedToc = false;             // the TOC changed after signing
    bool timeStampOverOtherBytes = false; // the time stamp's imprint is of other bytes
    bool wrongExtractedChecksum = false;  // the first file's extracted checksum is wrong
};

struct PackageContents {
    std::vector<PackageFile> files; // names are written as given, duplicates included
    DigestAlgorithm checksum = DigestAlgorithm::Sha256;
    std::optional<PackageSigner> signer; // none: an unsigned package
    HostileVariants hostile;
};

std::optional<Bytes> buildPackage(const PackageContents& contents, std::string* error);

// PEM loaders for the tool: every certificate of a file, in order; one private key.
std::optional<std::vector<std::shared_ptr<X509>>> loadCertificates(const std::string& path,
                                                                   std::string* error);
std::shared_ptr<EVP_PKEY> loadPrivateKey(const std::string& path, std::string* error);

} // namespace package
