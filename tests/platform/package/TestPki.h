#pragma once

// A signing hierarchy made in the test itself: a test copy of the "Apple Root CA" root,
// installer intermediates and leaves with and without the marker extensions, and an RFC
// 3161 time-stamping authority answering in-process at a chosen time. Keys are P-256 so
// that making them is quick.

#include "platform/package/Signature.h"
#include "platform/package/Writer.h"

#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace testpki {

struct Identity {
    std::shared_ptr<EVP_PKEY> key;
    std::shared_ptr<X509> certificate;
};

struct Extension {
    std::string oid;
    bool critical = false;
};

struct CertificateOptions {
    std::string commonName;
    std::vector<std::string> organisationalUnits;
    bool authority = false;    // basic constraints CA and key usage keyCertSign
    bool timeStamping = false; // critical extended key usage timeStamping
    std::vector<Extension> extensions;
    std::time_t notBefore = 0;
    std::time_t notAfter = 0;
    const EVP_MD* digest = EVP_sha256(); // the issuer's signature
};

// A new key and a certificate for it, signed by `issuer` (self-signed without one).
Identity issue(const CertificateOptions& options, const Identity* issuer = nullptr);

inline constexpr const char* kTeam = "K7QX2ZM4VB";
inline constexpr std::time_t kDay = 24 * 60 * 60;

// The usual hierarchy, valid for years around `now`.
struct Hierarchy {
    explicit Hierarchy(std::time_t now);

    std::time_t now;
    Identity root;         // "Apple Root CA"
    Identity intermediate; // with the intermediate marker
    Identity leaf;         // installer leaf of kTeam
    Identity tsa;          // time stamping, issued by the root

    // A leaf of `intermediate` with the given markers and units, valid [notBefore, notAfter].
    Identity leafWith(std::vector<Extension> extensions, std::vector<std::string> units,
                      std::time_t notBefore, std::time_t notAfter) const;
    std::vector<Extension> leafMarker(bool critical = false) const {
        return {{package::kInstallerLeafMarker, critical}};
    }

    std::shared_ptr<const package::TrustAnchor> anchor() const;
    // A signer with `leaf` (default: the installer leaf) and the intermediate as its chain.
    package::PackageSigner signer(const Identity* leaf = nullptr) const;
};

// A time-stamping authority signing with `tsa` (its chain: `chain`) at `time`.
package::TimeStamper timeStamper(Identity tsa, std::vector<std::shared_ptr<X509>> chain,
                                 std::time_t time);

std::string pem(const X509* certificate);
std::string pem(const EVP_PKEY* key);

// A small package around `payload`, signed by `signer` (unsigned without one).
package::Bytes signedPackage(const std::optional<package::PackageSigner>& signer,
                             const std::string& payload = "payload bytes",
                             package::HostileVariants hostile = {});

} // namespace testpki
