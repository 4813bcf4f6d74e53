// Signature validation against a test hierarchy: each refusal is checked for the step that
// refuses it, so that a case cannot pass by failing somewhere else.

#include "platform/package/Signature.h"

#include "TestPki.h"
#include "platform/package/Xar.h"
#include "tests/support/TempFolder.h"

#include <fstream>
#include <gtest/gtest.h>

namespace {

using package::Bytes;
using testpki::kDay;
using testpki::kTeam;
using Clock = std::chrono::system_clock;

class PackageSignature : public testing::Test {
protected:
    PackageSignature() : pki(std::time(nullptr)) {}

    // Whether the package's only signature validates at `now` (default: the hierarchy's
    // present); `reason` says why not.
    bool validates(const Bytes& bytes, std::string* reason, const std::string& team = kTeam,
                   std::optional<std::time_t> now = std::nullopt,
                   const package::TrustAnchor* anchor = nullptr) {
        std::string error;
        auto archive = package::XarArchive::openBytes(bytes, &error);
        if (!archive) {
            *reason = "unreadable: " + error;
            return false;
        }
        if (archive->signatures().size() != 1) {
            *reason = "not one signature";
            return false;
        }
        auto data = archive->signatureData(0, &error);
        const auto certificates = package::parseCertificates(archive->signatures()[0].certificates);
        const package::SignatureToVerify signature{archive->signatures()[0].type,
                                                   archive->signedData(), *data, certificates};
        auto root = pki.anchor();
        return package::verifySignature(signature, team, anchor ? anchor : root.get(),
                                        Clock::from_time_t(now.value_or(pki.now)), reason);
    }

    testpki::Hierarchy pki;
};

TEST_F(PackageSignature, AValidPackageValidatesOnlyForItsOwnTeamExactly) {
    const Bytes bytes = testpki::signedPackage(pki.signer());
    std::string reason;
    EXPECT_TRUE(validates(bytes, &reason)) << reason;
    EXPECT_FALSE(validates(bytes, &reason, "k7qx2zm4vb"));
    EXPECT_EQ(reason, "the leaf names another team");
    EXPECT_FALSE(validates(bytes, &reason, "K7QX2ZM4V"));
    EXPECT_FALSE(validates(bytes, &reason, ""));
}

TEST_F(PackageSignature, AnotherTeamsInstallerLeafIsRefused) {
    const auto other =
        pki.leafWith(pki.leafMarker(), {"OTHERTEAM1"}, pki.now - kDay, pki.now + 300 * kDay);
    std::string reason;
    EXPECT_FALSE(validates(testpki::signedPackage(pki.signer(&other)), &reason));
    EXPECT_EQ(reason, "the leaf names another team");
    // One of several units matching is enough.
    const auto several =
        pki.leafWith(pki.leafMarker(), {"OTHERTEAM1", kTeam}, pki.now - kDay, pki.now + 300 * kDay);
    EXPECT_TRUE(validates(testpki::signedPackage(pki.signer(&several)), &reason)) << reason;
}

TEST_F(PackageSignature, TheMarkerExtensionsAreRequiredAndAcceptedWhenCritical) {
    std::string reason;
    // An application leaf: the installer marker is missing.
    const auto application = pki.leafWith({{"1.2.840.113635.100.6.1.13", false}}, {kTeam},
                                          pki.now - kDay, pki.now + 300 * kDay);
    EXPECT_FALSE(validates(testpki::signedPackage(pki.signer(&application)), &reason));
    EXPECT_EQ(reason, "the leaf is not an installer certificate");

    const auto critical =
        pki.leafWith(pki.leafMarker(true), {kTeam}, pki.now - kDay, pki.now + 300 * kDay);
    EXPECT_TRUE(validates(testpki::signedPackage(pki.signer(&critical)), &reason)) << reason;

    // Any other critical extension the validation does not know still refuses.
    const auto unknown =
        pki.leafWith({{package::kInstallerLeafMarker, true}, {"1.3.6.1.4.1.99999.7", true}},
                     {kTeam}, pki.now - kDay, pki.now + 300 * kDay);
    EXPECT_FALSE(validates(testpki::signedPackage(pki.signer(&unknown)), &reason));
    EXPECT_NE(reason.find("unhandled critical extension"), std::string::npos) << reason;

    // An intermediate without its marker, or a leaf issued by the root directly.
    const auto plainAuthority = testpki::issue({.commonName = "Other Authority",
                                                .authority = true,
                                                .notBefore = pki.now - kDay,
                                                .notAfter = pki.now + 300 * kDay},
                                               &pki.root);
    const auto underPlain = testpki::issue({.commonName = "Leaf",
                                            .organisationalUnits = {kTeam},
                                            .extensions = pki.leafMarker(),
                                            .notBefore = pki.now - kDay,
                                            .notAfter = pki.now + 300 * kDay},
                                           &plainAuthority);
    auto signer = pki.signer(&underPlain);
    signer.chain = {plainAuthority.certificate};
    EXPECT_FALSE(validates(testpki::signedPackage(signer), &reason));
    EXPECT_EQ(reason, "the intermediate is not an installer authority");

    const auto underRoot = testpki::issue({.commonName = "Leaf",
                                           .organisationalUnits = {kTeam},
                                           .extensions = pki.leafMarker(),
                                           .notBefore = pki.now - kDay,
                                           .notAfter = pki.now + 300 * kDay},
                                          &pki.root);
    signer = pki.signer(&underRoot);
    signer.chain = {};
    EXPECT_FALSE(validates(testpki::signedPackage(signer), &reason));
    EXPECT_EQ(reason, "the intermediate is not an installer authority");
}

TEST_F(PackageSignature, OnlyThePinnedRootAnchors) {
    std::string reason;
    // A self-signed leaf carrying every marker and the team.
    const auto selfSigned = testpki::issue({.commonName = "Developer ID Installer: Self",
                                            .organisationalUnits = {kTeam},
                                            .extensions = pki.leafMarker(),
                                            .notBefore = pki.now - kDay,
                                            .notAfter = pki.now + 300 * kDay});
    package::PackageSigner signer;
    signer.key = selfSigned.key;
    signer.certificate = selfSigned.certificate;
    EXPECT_FALSE(validates(testpki::signedPackage(signer), &reason));
    EXPECT_NE(reason.find("the chain does not verify"), std::string::npos) << reason;

    // A second hierarchy with a root of the same name is not ours.
    testpki::Hierarchy impostor(pki.now);
    EXPECT_FALSE(validates(testpki::signedPackage(impostor.signer()), &reason));
    EXPECT_NE(reason.find("the chain does not verify"), std::string::npos) << reason;

    // Without an anchor nothing validates.
    const Bytes good = testpki::signedPackage(pki.signer());
    std::string error;
    auto archive = package::XarArchive::openBytes(good, &error);
    const auto data = archive->signatureData(0, &error);
    const auto certificates = package::parseCertificates(archive->signatures()[0].certificates);
    EXPECT_FALSE(package::verifySignature({"CMS", archive->signedData(), *data, certificates},
                                          kTeam, nullptr, Clock::from_time_t(pki.now), &reason));
    EXPECT_EQ(reason, "no anchor");
}

TEST_F(PackageSignature, AnExpiredLeafValidatesOnlyWithAVerifiedTimeStampFromItsLifetime) {
    // The leaf lived for ten days, thirty days ago; the time stamp is from its fifth day.
    const std::time_t born = pki.now - 30 * kDay;
    const auto expired = pki.leafWith(pki.leafMarker(), {kTeam}, born, born + 10 * kDay);
    auto signer = pki.signer(&expired);
    const std::time_t stampedAt = born + 5 * kDay;
    std::string reason;

    signer.timeStamper = testpki::timeStamper(pki.tsa, {}, stampedAt);
    EXPECT_TRUE(validates(testpki::signedPackage(signer), &reason)) << reason;

    // Over other bytes than the signature value: the stamp does not count.
    EXPECT_FALSE(
        validates(testpki::signedPackage(signer, "p", {.timeStampOverOtherBytes = true}), &reason));
    EXPECT_NE(reason.find("certificate has expired"), std::string::npos) << reason;

    // A stamp from after the leaf expired does not help either.
    signer.timeStamper = testpki::timeStamper(pki.tsa, {}, born + 20 * kDay);
    EXPECT_FALSE(validates(testpki::signedPackage(signer), &reason));

    // A time-stamping authority of another root does not count.
    testpki::Hierarchy other(pki.now);
    signer.timeStamper = testpki::timeStamper(other.tsa, {}, stampedAt);
    EXPECT_FALSE(validates(testpki::signedPackage(signer), &reason));
    EXPECT_NE(reason.find("certificate has expired"), std::string::npos) << reason;

    // A stamping certificate without the time-stamping usage does not count.
    const auto notTsa = testpki::issue({.commonName = "Not a TSA",
                                        .notBefore = pki.now - 365 * kDay,
                                        .notAfter = pki.now + 365 * kDay},
                                       &pki.root);
    signer.timeStamper = testpki::timeStamper(notTsa, {}, stampedAt);
    std::string ignored;
    const auto made = [&]() -> std::optional<Bytes> {
        package::PackageContents contents;
        contents.files.push_back({"Payload", Bytes{1, 2, 3}});
        contents.signer = signer;
        return package::buildPackage(contents, &ignored);
    }();
    if (made) { // OpenSSL's authority may already refuse to answer
        EXPECT_FALSE(validates(*made, &reason));
    }

    // The unauthenticated signing time from inside the leaf's life never counts.
    signer.timeStamper = nullptr;
    signer.signingTime = stampedAt;
    EXPECT_FALSE(validates(testpki::signedPackage(signer), &reason));
    EXPECT_NE(reason.find("certificate has expired"), std::string::npos) << reason;
    // ... while the same package validated during the leaf's life.
    EXPECT_TRUE(validates(testpki::signedPackage(signer), &reason, kTeam, stampedAt)) << reason;
}

TEST_F(PackageSignature, TheSignerMustBeTheFirstStoredCertificateAndUseAStrongDigest) {
    std::string reason;
    auto signer = pki.signer();
    signer.storedCertificates = std::vector{pki.intermediate.certificate, pki.leaf.certificate};
    EXPECT_FALSE(validates(testpki::signedPackage(signer), &reason));
    EXPECT_EQ(reason, "the signer is not the first stored certificate");

    signer.storedCertificates = std::vector<std::shared_ptr<X509>>{};
    EXPECT_FALSE(validates(testpki::signedPackage(signer), &reason));
    EXPECT_EQ(reason, "no certificate is stored with the signature");

    signer = pki.signer();
    signer.digest = EVP_sha1();
    EXPECT_FALSE(validates(testpki::signedPackage(signer), &reason));
    EXPECT_EQ(reason, "the signer's digest is not SHA-256 or SHA-512");

    signer.digest = EVP_sha512();
    EXPECT_TRUE(validates(testpki::signedPackage(signer), &reason)) << reason;

    // A leaf its issuer signed with SHA-1.
    const auto sha1Leaf = testpki::issue({.commonName = "Leaf",
                                          .organisationalUnits = {kTeam},
                                          .extensions = pki.leafMarker(),
                                          .notBefore = pki.now - kDay,
                                          .notAfter = pki.now + 300 * kDay,
                                          .digest = EVP_sha1()},
                                         &pki.intermediate);
    EXPECT_FALSE(validates(testpki::signedPackage(pki.signer(&sha1Leaf)), &reason));
    EXPECT_NE(reason.find("the chain does not verify"), std::string::npos) << reason;
}

TEST(PackageCertificates, StoredEntriesThatDoNotParseAreSkipped) {
    testpki::Hierarchy pki(std::time(nullptr));
    Bytes der = package::certificateDer(pki.leaf.certificate.get());
    Bytes trailing = der;
    trailing.push_back(0);
    const auto parsed = package::parseCertificates({Bytes{0x30, 0x03, 1, 2, 3}, trailing, der, {}});
    ASSERT_EQ(parsed.size(), 1u);
    EXPECT_EQ(X509_cmp(parsed[0].get(), pki.leaf.certificate.get()), 0);
}

TEST_F(PackageSignature, RefusesSignaturesThatAreNotADetachedCmsOverTheSignedData) {
    const Bytes bytes = testpki::signedPackage(pki.signer());
    std::string error;
    auto archive = package::XarArchive::openBytes(bytes, &error);
    const Bytes data = *archive->signatureData(0, &error);
    const auto certificates = package::parseCertificates(archive->signatures()[0].certificates);
    const auto now = Clock::from_time_t(pki.now);
    auto root = pki.anchor();
    std::string reason;
    auto check = [&](std::string_view type, const Bytes& signedData, const Bytes& signature) {
        return package::verifySignature({type, signedData, signature, certificates}, kTeam,
                                        root.get(), now, &reason);
    };
    ASSERT_TRUE(check("CMS", archive->signedData(), data)) << reason;
    EXPECT_FALSE(check("RSA", archive->signedData(), data));
    EXPECT_EQ(reason, "the signature is not a CMS signature");
    EXPECT_FALSE(check("CMS", {}, data));
    Bytes otherData = archive->signedData();
    otherData[0] ^= 1;
    EXPECT_FALSE(check("CMS", otherData, data));
    EXPECT_EQ(reason, "the signature does not verify over the signed data");
    Bytes trailing = data;
    trailing.push_back(0);
    EXPECT_FALSE(check("CMS", archive->signedData(), trailing));
    EXPECT_EQ(reason, "the signature is not a CMS signed-data message");
    EXPECT_FALSE(check("CMS", archive->signedData(), Bytes(data.begin(), data.end() - 1)));
}

TEST(PackageAnchor, IsTheNamedRootWithThePinnedFingerprint) {
    testsupport::TempFolder folder;
    testpki::Hierarchy pki(std::time(nullptr));
    testpki::Hierarchy impostor(pki.now);
    auto write = [&](const char* name, const std::string& text) {
        std::ofstream(folder.path() / name) << text;
    };
    write("0-impostor.pem", testpki::pem(impostor.root.certificate.get()));
    write("1-junk.pem", "not a certificate");
    write("2-intermediate.pem", testpki::pem(pki.intermediate.certificate.get()));
    const std::string pin = package::certificateFingerprint(pki.root.certificate.get());
    std::string reason;
    EXPECT_FALSE(package::findAnchor(folder.path().string(), pin, &reason));

    const Bytes der = package::certificateDer(pki.root.certificate.get());
    std::ofstream(folder.path() / "3-root.der", std::ios::binary)
        .write(reinterpret_cast<const char*>(der.data()), static_cast<std::streamsize>(der.size()));
    auto anchor = package::findAnchor(folder.path().string(), pin, &reason);
    ASSERT_TRUE(anchor) << reason;
    EXPECT_EQ(X509_cmp(anchor->certificate.get(), pki.root.certificate.get()), 0);

    // Upper case and colons are the same fingerprint; another or none is not.
    std::string colons;
    for (std::size_t i = 0; i < pin.size(); i += 2) {
        colons += (i ? ":" : "") + pin.substr(i, 2);
    }
    for (char& c : colons) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    EXPECT_TRUE(package::findAnchor(folder.path().string(), colons, &reason));
    EXPECT_FALSE(package::findAnchor(folder.path().string(),
                                     package::certificateFingerprint(pki.leaf.certificate.get()),
                                     &reason));
    EXPECT_FALSE(package::findAnchor(folder.path().string(), "", &reason));
    EXPECT_FALSE(package::findAnchor((folder.path() / "missing").string(), pin, &reason));
}

} // namespace
