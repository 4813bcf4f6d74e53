#include "scheduler/updater/VRNInstallerPackage.h"

#include "common/VRNEnvironment.h"
#include "platform/paths/Paths.h"

#include <chrono>
#include <cstdlib>

#ifndef KEELBROOK_ANCHOR_SHA256
#define KEELBROOK_ANCHOR_SHA256 ""
#endif

namespace {

constexpr const char* kAnchorFolder = "/usr/share/keelbrook/anchors";

// The fingerprint the anchor must have: the build's. A relocatable (development or test)
// build running under an installation root takes KEELBROOK_ANCHOR_SHA256 from the
// environment instead, since tests make their hierarchy when they run; the package build
// is not relocatable and never reads it.
std::string pinnedFingerprint() {
    if (paths::relocatable()) {
        const auto root = paths::rootFromEnvironment(nullptr);
        const char* fingerprint = std::getenv("KEELBROOK_ANCHOR_SHA256");
        if (root && !root->empty() && fingerprint != nullptr) {
            return fingerprint;
        }
    }
    return KEELBROOK_ANCHOR_SHA256;
}

std::chrono::system_clock::time_point wallTime(const dispatch::Clock* clock) {
    const auto now = clock ? clock->now(dispatch::ClockKind::Wall) : dispatch::wallNow();
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(now));
}

} // namespace

VRNInstallerPackageTrust VRNInstallerPackageTrust::shared() {
    return {VRNInstallerPackageSignature::appleRootCA(), VRNEnvironment::shared().clock};
}

VRNInstallerPackageSignature::VRNInstallerPackageSignature(
    VRNInstallerPackageSignatureHandle signature, VRNInstallerPackageTrust trust)
    : _sig(signature), trust_(std::move(trust)) {}

VRNInstallerPackageSignature
VRNInstallerPackageSignature::initWithSignature(VRNInstallerPackageSignatureHandle signature,
                                                VRNInstallerPackageTrust trust) {
    return VRNInstallerPackageSignature(signature, std::move(trust));
}

const package::Bytes& VRNInstallerPackageSignature::signedData() {
    if (!_signedData) {
        _signedData = _sig.archive->signedData();
    }
    return *_signedData;
}

const package::Bytes& VRNInstallerPackageSignature::signatureData() {
    if (!_signatureData) {
        _signatureData =
            _sig.archive->signatureData(_sig.index, nullptr).value_or(package::Bytes());
    }
    return *_signatureData;
}

const std::string& VRNInstallerPackageSignature::signatureType() {
    if (!_signatureType) {
        _signatureType = _sig.archive->signatures().at(_sig.index).type;
    }
    return *_signatureType;
}

std::vector<std::shared_ptr<X509>> VRNInstallerPackageSignature::signatureCertificates() const {
    return package::parseCertificates(_sig.archive->signatures().at(_sig.index).certificates);
}

bool VRNInstallerPackageSignature::validateSignatureWithTeamID(const std::string& teamID) {
    return validateSignatureWithTeamID(teamID, nullptr);
}

bool VRNInstallerPackageSignature::validateSignatureWithTeamID(const std::string& teamID,
                                                               std::string* reason) {
    const auto certificates = signatureCertificates();
    const package::SignatureToVerify signature{signatureType(), signedData(), signatureData(),
                                               certificates};
    return package::verifySignature(signature, teamID, trust_.anchor.get(), wallTime(trust_.clock),
                                    reason);
}

std::shared_ptr<const package::TrustAnchor> VRNInstallerPackageSignature::appleRootCA() {
    // The updater's serial queue is the only caller; a function-local static is also safe
    // from any other thread.
    static const std::shared_ptr<const package::TrustAnchor> root =
        package::findAnchor(paths::path(kAnchorFolder), pinnedFingerprint());
    return root;
}

std::unique_ptr<VRNInstallerPackage>
VRNInstallerPackage::initWithFileAtURL(const std::string& path, VRNError* error,
                                       VRNInstallerPackageTrust trust) {
    std::string problem;
    auto xar = package::XarArchive::open(path, &problem);
    if (!xar || !xar->verifyFileData(&problem)) {
        if (error != nullptr) {
            *error = VRNError::errorWithDomain(VRNInstallerPackageErrorDomain,
                                               VRNInstallerPackageErrorCannotRead,
                                               {{"path", plist::Value(path)}});
        }
        return nullptr;
    }
    return std::unique_ptr<VRNInstallerPackage>(
        new VRNInstallerPackage(std::move(xar), std::move(trust)));
}

std::vector<VRNInstallerPackageSignature>& VRNInstallerPackage::signatures() {
    if (!_signatures) {
        _signatures.emplace();
        for (std::size_t i = 0; i < _xar->signatures().size(); ++i) {
            _signatures->push_back(
                VRNInstallerPackageSignature::initWithSignature({_xar.get(), i}, trust_));
        }
    }
    return *_signatures;
}

bool VRNInstallerPackage::validateSignaturesWithTeamID(const std::string& teamID, VRNError* error) {
    auto& all = signatures();
    if (all.empty()) {
        if (error != nullptr) {
            *error = VRNError::errorWithDomain(VRNInstallerPackageErrorDomain,
                                               VRNInstallerPackageErrorNotSigned);
        }
        return false;
    }
    for (VRNInstallerPackageSignature& signature : all) {
        if (signature.validateSignatureWithTeamID(teamID)) {
            return true;
        }
    }
    if (error != nullptr) {
        *error = VRNError::errorWithDomain(VRNInstallerPackageErrorDomain,
                                           VRNInstallerPackageErrorInvalidSignature);
    }
    return false;
}
