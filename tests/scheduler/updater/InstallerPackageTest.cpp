// The updater's package classes: the error codes and texts, the signatures in order, the
// runtime's clock as "now", and the installation's anchor.

#include "TestPki.h"
#include "platform/dispatch/VirtualClock.h"
#include "scheduler/updater/VRNInstallerPackage.h"
#include "tests/common/LogTestSupport.h"

#include <fstream>
#include <gtest/gtest.h>

namespace {

using package::Bytes;
using testpki::kDay;
using testpki::kTeam;

std::time_t virtualNow() {
    return static_cast<std::time_t>(
        std::chrono::duration_cast<std::chrono::seconds>(
            dispatch::VirtualClock::install().now(dispatch::ClockKind::Wall))
            .count());
}

void setVirtualNow(std::time_t time) {
    dispatch::VirtualClock::install().setWall(std::chrono::seconds(time));
}

class InstallerPackage : public testing::Test {
protected:
    static void SetUpTestSuite() { folder_ = logtest::installLogging("scheduler"); }
    static void TearDownTestSuite() {
        delete folder_;
        folder_ = nullptr;
    }
    void SetUp() override {
        setVirtualNow(start_);
        logtest::recorder().take();
    }

    std::string write(const Bytes& bytes) {
        const auto path = folder_->path() / ("package-" + std::to_string(++count_) + ".pkg");
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path.string();
    }
    VRNInstallerPackageTrust trust() const {
        return {pki_.anchor(), &dispatch::VirtualClock::install()};
    }
    std::unique_ptr<VRNInstallerPackage> open(const Bytes& bytes, VRNError* error) {
        return VRNInstallerPackage::initWithFileAtURL(write(bytes), error, trust());
    }

    static inline logtest::TempFolder* folder_ = nullptr;
    static inline const std::time_t start_ = virtualNow();
    testpki::Hierarchy pki_{start_};
    int count_ = 0;
};

TEST_F(InstallerPackage, AFileThatIsNotAValidArchiveIsCodeZeroWithItsPath) {
    VRNError error(VRNInstallerPackageErrorDomain, -1);
    const std::string path = write(Bytes{'n', 'o', 't', ' ', 'x', 'a', 'r'});
    EXPECT_FALSE(VRNInstallerPackage::initWithFileAtURL(path, &error, trust()));
    EXPECT_EQ(error.domain(), VRNInstallerPackageErrorDomain);
    EXPECT_EQ(error.code(), VRNInstallerPackageErrorCannotRead);
    EXPECT_EQ(VRNError::localizedDescriptionForError(error),
              "Could not read installer package at path '" + path + "'.");
    const auto logged = logtest::recorder().take();
    ASSERT_FALSE(logged.empty());
    EXPECT_NE(logged.back().message.find("Could not read installer package"), std::string::npos);

    // A signed package whose payload changed after signing does not open either.
    Bytes changed = testpki::signedPackage(pki_.signer(), "the payload");
    changed.back() ^= 1;
    EXPECT_FALSE(open(changed, &error));
    EXPECT_EQ(error.code(), VRNInstallerPackageErrorCannotRead);
    // Nor do the structural attacks.
    EXPECT_FALSE(open(testpki::signedPackage(pki_.signer(), "p", {.tamperedToc = true}), &error));
    EXPECT_FALSE(open(testpki::signedPackage(pki_.signer(), "p", {.sha1Checksum = true}), &error));
    EXPECT_EQ(error.code(), VRNInstallerPackageErrorCannotRead);
}

TEST_F(InstallerPackage, AnUnsignedPackageIsCodeOne) {
    VRNError error(VRNInstallerPackageErrorDomain, -1);
    auto package = open(testpki::signedPackage(std::nullopt), &error);
    ASSERT_TRUE(package);
    EXPECT_TRUE(package->signatures().empty());
    EXPECT_FALSE(package->validateSignaturesWithTeamID(kTeam, &error));
    EXPECT_EQ(error.code(), VRNInstallerPackageErrorNotSigned);
    EXPECT_EQ(VRNError::localizedDescriptionForError(error), "Installer package is not signed.");
}

TEST_F(InstallerPackage, ASignedPackageValidatesForItsTeamAndIsCodeTwoForAnother) {
    VRNError error(VRNInstallerPackageErrorDomain, -1);
    auto package = open(testpki::signedPackage(pki_.signer()), &error);
    ASSERT_TRUE(package);
    ASSERT_EQ(package->signatures().size(), 1u);
    VRNInstallerPackageSignature& signature = package->signatures()[0];
    EXPECT_EQ(signature.signatureType(), "CMS");
    EXPECT_EQ(signature.signedData(), package->archive().signedData());
    EXPECT_FALSE(signature.signatureData().empty());
    const auto certificates = signature.signatureCertificates();
    ASSERT_EQ(certificates.size(), 2u);
    EXPECT_EQ(X509_cmp(certificates[0].get(), pki_.leaf.certificate.get()), 0);

    EXPECT_TRUE(package->validateSignaturesWithTeamID(kTeam, &error));
    EXPECT_FALSE(package->validateSignaturesWithTeamID("OTHERTEAM1", &error));
    EXPECT_EQ(error.code(), VRNInstallerPackageErrorInvalidSignature);
    EXPECT_EQ(VRNError::localizedDescriptionForError(error),
              "Installer package signature is invalid.");

    const auto application = pki_.leafWith({}, {kTeam}, start_ - kDay, start_ + 300 * kDay);
    auto other = open(testpki::signedPackage(pki_.signer(&application)), &error);
    ASSERT_TRUE(other);
    EXPECT_FALSE(other->validateSignaturesWithTeamID(kTeam, &error));
    EXPECT_EQ(error.code(), VRNInstallerPackageErrorInvalidSignature);
}

TEST_F(InstallerPackage, NowIsTheRuntimesClockAndATimeStampOutlivesTheLeaf) {
    const auto shortLived = pki_.leafWith(pki_.leafMarker(), {kTeam}, start_ - kDay, start_ + kDay);
    auto plain = pki_.signer(&shortLived);
    auto stamped = plain;
    stamped.timeStamper = testpki::timeStamper(pki_.tsa, {}, start_);
    VRNError error(VRNInstallerPackageErrorDomain, -1);
    auto unstamped = open(testpki::signedPackage(plain), &error);
    auto withStamp = open(testpki::signedPackage(stamped), &error);
    auto otherBytes =
        open(testpki::signedPackage(stamped, "p", {.timeStampOverOtherBytes = true}), &error);
    ASSERT_TRUE(unstamped && withStamp && otherBytes);

    EXPECT_TRUE(unstamped->validateSignaturesWithTeamID(kTeam, &error));
    EXPECT_TRUE(otherBytes->validateSignaturesWithTeamID(kTeam, &error));
    setVirtualNow(start_ + 30 * kDay);
    EXPECT_FALSE(unstamped->validateSignaturesWithTeamID(kTeam, &error));
    EXPECT_TRUE(withStamp->validateSignaturesWithTeamID(kTeam, &error));
    EXPECT_FALSE(otherBytes->validateSignaturesWithTeamID(kTeam, &error));
    EXPECT_EQ(error.code(), VRNInstallerPackageErrorInvalidSignature);
}

TEST_F(InstallerPackage, TheInstallationsAnchorNeedsThePinnedFingerprint) {
    // A root of the right name in the installation's anchor folder.
    const auto anchors = testsupport::locationIn(folder_->path(), "/usr/share/keelbrook/anchors");
    std::filesystem::create_directories(anchors);
    std::ofstream(anchors / "root.pem") << testpki::pem(pki_.root.certificate.get());
    const auto root = VRNInstallerPackageSignature::appleRootCA();
    if (std::string_view(KEELBROOK_ANCHOR_SHA256).empty()) {
        // A build without a pinned fingerprint trusts no root at all.
        EXPECT_FALSE(root);
        VRNError error(VRNInstallerPackageErrorDomain, -1);
        auto package = VRNInstallerPackage::initWithFileAtURL(
            write(testpki::signedPackage(pki_.signer())), &error,
            {root, &dispatch::VirtualClock::install()});
        ASSERT_TRUE(package);
        EXPECT_FALSE(package->validateSignaturesWithTeamID(kTeam, &error));
        EXPECT_EQ(error.code(), VRNInstallerPackageErrorInvalidSignature);
    } else {
        // The test root is another key than the pinned one.
        EXPECT_FALSE(root && X509_cmp(root->certificate.get(), pki_.root.certificate.get()) == 0);
    }
    EXPECT_EQ(VRNInstallerPackageSignature::appleRootCA(), root); // kept
}

} // namespace
