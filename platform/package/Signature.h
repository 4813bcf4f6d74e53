#pragma once

// Validation of a package's CMS signature against one pinned root: the signer's signature
// over the signed data, the signer certificate, an RFC 3161 time stamp when there is one,
// the chain to the root, the marker extensions and the team identifier. The steps and their
// order are the updater's (see verifySignature); `reason` only explains a refusal to tests
// and developer tools.

#include "platform/package/OpenSsl.h"

#include <chrono>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace package {

inline constexpr const char* kAnchorCommonName = "Apple Root CA";
inline constexpr const char* kInstallerLeafMarker = "1.2.840.113635.100.6.1.14";
inline constexpr const char* kInstallerIntermediateMarker = "1.2.840.113635.100.6.2.6";
inline constexpr const char* kRequiredSignatureType = "CMS";

// The root every chain must end in.
struct TrustAnchor {
    X509Ptr certificate;
};

// The lowercase hexadecimal SHA-256 of a certificate's DER form.
std::string certificateFingerprint(const X509* certificate);

// The anchor in `folder`: of its regular files (PEM or DER, one certificate each, read in
// name order, at most 64 KiB each), the first whose subject common name is
// kAnchorCommonName and whose fingerprint is `pinnedFingerprint` (hexadecimal, any case,
// colons allowed). A certificate with the name but another fingerprint is ignored. None:
// null, with the reason.
std::shared_ptr<const TrustAnchor> findAnchor(const std::string& folder,
                                              std::string_view pinnedFingerprint,
                                              std::string* reason = nullptr);

// The certificates among `der` that parse, in order.
std::vector<std::shared_ptr<X509>> parseCertificates(const std::vector<Bytes>& der);

struct SignatureToVerify {
    std::string_view type;
    std::span<const std::uint8_t> signedData;
    std::span<const std::uint8_t> signatureData;
    // Stored with the signature in the archive, parsed, in order.
    const std::vector<std::shared_ptr<X509>>& certificates;
};

// True when the signature validates for `teamID` with `anchor` as the only root, evaluated
// at the time of a verified time stamp or else at `now`. Any failure before the signers
// refuses; a signer that fails any step lets the next one try.
bool verifySignature(const SignatureToVerify& signature, std::string_view teamID,
                     const TrustAnchor* anchor, std::chrono::system_clock::time_point now,
                     std::string* reason = nullptr);

} // namespace package
