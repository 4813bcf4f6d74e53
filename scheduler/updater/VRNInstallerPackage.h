#pragma once

// An installer package (a signed xar archive) and its signatures, validated against the
// one pinned "Apple Root CA" anchor for a team identifier. Opening also checks every file's
// data against the checksums of the table of contents, so a package that validates holds
// exactly the bytes that were signed.

#include "common/VRNError.h"
#include "platform/dispatch/Clock.h"
#include "platform/package/Signature.h"
#include "scheduler/updater/VRNInstallerPackageErrors.h"
#include "platform/package/Xar.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

// What a validation trusts and when it evaluates: the anchor (none: every validation
// fails) and the clock giving the current time when a signature has no time stamp.
struct VRNInstallerPackageTrust {
    std::shared_ptr<const package::TrustAnchor> anchor;
    const dispatch::Clock* clock = nullptr;

    // appleRootCA() and the installed environment's clock.
    static VRNInstallerPackageTrust shared();
};

// One signature of an archive; the package must outlive it.
struct VRNInstallerPackageSignatureHandle {
    const package::XarArchive* archive = nullptr;
    std::size_t index = 0;
};

class VRNInstallerPackageSignature {
public:
    VRNInstallerPackageSignature(VRNInstallerPackageSignatureHandle signature,
                                 VRNInstallerPackageTrust trust);
    static VRNInstallerPackageSignature
    initWithSignature(VRNInstallerPackageSignatureHandle signature, VRNInstallerPackageTrust trust);

    // Empty when the archive cannot give them.
    const package::Bytes& signedData();
    const package::Bytes& signatureData();
    const std::string& signatureType();
    std::vector<std::shared_ptr<X509>> signatureCertificates() const;

    bool validateSignatureWithTeamID(const std::string& teamID);
    // The same, with why it failed (for tests and developer tools; the product never tells).
    bool validateSignatureWithTeamID(const std::string& teamID, std::string* reason);

    // The installation's anchor: "Apple Root CA" from /usr/share/keelbrook/anchors with the
    // build's pinned fingerprint, looked up once per process and kept (null when absent).
    static std::shared_ptr<const package::TrustAnchor> appleRootCA();

private:
    VRNInstallerPackageSignatureHandle _sig;
    std::optional<package::Bytes> _signedData;
    std::optional<package::Bytes> _signatureData;
    std::optional<std::string> _signatureType;
    VRNInstallerPackageTrust trust_;
};

class VRNInstallerPackage {
public:
    // The package at `path`, or null with code 0 and "path".
    static std::unique_ptr<VRNInstallerPackage>
    initWithFileAtURL(const std::string& path, VRNError* error,
                      VRNInstallerPackageTrust trust = VRNInstallerPackageTrust::shared());

    std::vector<VRNInstallerPackageSignature>& signatures();
    // True when a signature validates for `teamID`; else false with code 1 (unsigned) or 2.
    bool validateSignaturesWithTeamID(const std::string& teamID, VRNError* error);

    const package::XarArchive& archive() const { return *_xar; }

private:
    VRNInstallerPackage(std::unique_ptr<package::XarArchive> xar, VRNInstallerPackageTrust trust)
        : _xar(std::move(xar)), trust_(std::move(trust)) {}

    std::unique_ptr<package::XarArchive> _xar;
    std::optional<std::vector<VRNInstallerPackageSignature>> _signatures;
    VRNInstallerPackageTrust trust_;
};
