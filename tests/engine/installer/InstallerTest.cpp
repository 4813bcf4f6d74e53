// The installer as the product runs it, "installer -pkg <package> -target /", with an
// installation root: the anchor in the root's anchor folder (its fingerprint given as a test
// build allows), dpkg's database in the root's /var/lib/dpkg and the packages installed below
// the root. Installing needs root, as dpkg does; the refusals do not.

#include "TestPki.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/InstallationRoot.h"
#include "tests/support/TempFolder.h"

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using package::Bytes;
using package::PackageFile;
using testpki::kDay;
using testpki::kTeam;
using testsupport::ChildProcess;
using testsupport::runChild;

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

Bytes readBytes(const fs::path& path) {
    const std::string text = readText(path);
    return Bytes(text.begin(), text.end());
}

class Installer : public testing::Test {
protected:
    void SetUp() override {
        testsupport::useAsInstallationRoot(root());
        ::setenv("KEELBROOK_ANCHOR_SHA256",
                 package::certificateFingerprint(pki_.root.certificate.get()).c_str(), 1);
        fs::create_directories(root() / "var/lib/dpkg/updates");
        fs::create_directories(root() / "var/lib/dpkg/info");
        std::ofstream(root() / "var/lib/dpkg/status");
        fs::create_directories(root() / "var/log");
        fs::create_directories(root() / "tmp");
        fs::permissions(root() / "tmp", fs::perms::all | fs::perms::sticky_bit);
        const fs::path anchors = root() / "usr/share/keelbrook/anchors";
        fs::create_directories(anchors);
        std::ofstream(anchors / "root.pem") << testpki::pem(pki_.root.certificate.get());
    }
    void TearDown() override { ::unsetenv("KEELBROOK_ANCHOR_SHA256"); }

    const fs::path& root() const { return root_.path(); }
    bool asRoot() const { return ::geteuid() == 0; }

    // A Debian package `name` at `version` holding /usr/share/<name>/version.
    Bytes deb(const std::string& name, const std::string& version,
              const std::string& moreControl = {}) {
        const fs::path tree = scratch_.path() / (name + "-" + std::to_string(++count_));
        fs::create_directories(tree / "DEBIAN");
        fs::create_directories(tree / "usr/share" / name);
        std::ofstream(tree / "DEBIAN/control")
            << "Package: " << name << "\nVersion: " << version
            << "\nArchitecture: all\nMaintainer: Keelbrook tests <tests@keelbrook.example>\n"
            << "Description: a test package\n"
            << moreControl;
        std::ofstream(tree / "usr/share" / name / "version") << version;
        const fs::path out = tree.string() + ".deb";
        const auto built = runChild(
            {"/usr/bin/dpkg-deb", "--root-owner-group", "--build", tree.string(), out.string()},
            ChildProcess::Errors::WithOutput);
        EXPECT_EQ(built.exitStatus, 0) << built.output;
        return readBytes(out);
    }

    std::string write(const Bytes& bytes) {
        const fs::path path = scratch_.path() / ("package-" + std::to_string(++count_) + ".pkg");
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path.string();
    }
    std::string package(std::vector<PackageFile> files,
                        std::optional<package::PackageSigner> signer,
                        package::HostileVariants hostile = {}) {
        std::string error;
        const auto bytes = package::buildPackage(
            {std::move(files), package::DigestAlgorithm::Sha256, std::move(signer), hostile},
            &error);
        EXPECT_TRUE(bytes) << error;
        return write(bytes.value_or(Bytes{}));
    }
    std::string package(std::vector<PackageFile> files) {
        return package(std::move(files), pki_.signer());
    }
    std::string productPackage(const std::string& version) {
        return package({{"Payload", deb("keelbrook", version)}});
    }

    testsupport::ChildRun install(const std::string& path) {
        return runChild({INSTALLER_PATH, "-pkg", path, "-target", "/"},
                        ChildProcess::Errors::WithOutput);
    }
    // Installs a Debian package into the root as an earlier installation would have.
    void preinstall(const Bytes& debBytes) {
        const fs::path path = scratch_.path() / ("pre-" + std::to_string(++count_) + ".deb");
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(debBytes.data()),
                   static_cast<std::streamsize>(debBytes.size()));
        const auto run =
            runChild({"/usr/bin/dpkg", "--admindir=" + database(), "--instdir=" + root().string(),
                      "--log=" + (root() / "var/log/dpkg.log").string(), "-i", path.string()},
                     ChildProcess::Errors::WithOutput);
        ASSERT_EQ(run.exitStatus, 0) << run.output;
    }

    std::string database() const { return (root() / "var/lib/dpkg").string(); }
    // "installed 1.1.0", "unpacked 1.1.0"..., or "" for a package the database does not know.
    std::string state(const std::string& name) {
        const auto run = runChild({"/usr/bin/dpkg-query", "--admindir=" + database(), "-W",
                                   "-f=${db:Status-Status} ${Version}", name},
                                  ChildProcess::Errors::Discard);
        return run.exitStatus == 0 ? run.output : "";
    }
    std::string installedFile(const std::string& name) {
        return readText(root() / "usr/share" / name / "version");
    }
    std::string log() { return readText(root() / "var/log/keelbrook/installer.log"); }
    // What the installer left in the temporary folder.
    std::size_t temporaryEntries() {
        return static_cast<std::size_t>(
            std::distance(fs::directory_iterator(root() / "tmp"), fs::directory_iterator()));
    }

    testsupport::TempFolder root_;
    testsupport::TempFolder scratch_;
    const std::time_t now_ = std::time(nullptr);
    testpki::Hierarchy pki_{now_};
    int count_ = 0;
};

TEST_F(Installer, InstallsTheProductAndThenNewerVersionsInDpkgsOrder) {
    if (!asRoot()) {
        GTEST_SKIP() << "dpkg installs as root only";
    }
    auto run = install(productPackage("1.9.0"));
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.output, "installer: Installed keelbrook 1.9.0.\n");
    EXPECT_EQ(state("keelbrook"), "installed 1.9.0");
    EXPECT_EQ(installedFile("keelbrook"), "1.9.0");
    // dpkg's own output is in the log, and nothing is left of the private folder.
    EXPECT_NE(log().find("Unpacking keelbrook (1.9.0)"), std::string::npos) << log();
    EXPECT_NE(log().find("Setting up keelbrook (1.9.0)"), std::string::npos);
    EXPECT_EQ(temporaryEntries(), 0u);
    EXPECT_TRUE(fs::exists(root() / "var/log/dpkg.log"));

    // 1.10.0 follows 1.9.0 for dpkg, although not as text.
    run = install(productPackage("1.10.0"));
    EXPECT_EQ(run.exitStatus, 0) << run.output;
    EXPECT_EQ(state("keelbrook"), "installed 1.10.0");
    EXPECT_EQ(installedFile("keelbrook"), "1.10.0");
    EXPECT_EQ(temporaryEntries(), 0u);
}

TEST_F(Installer, RefusesAVersionThatIsNotNewerThanTheInstalledOne) {
    if (!asRoot()) {
        GTEST_SKIP() << "dpkg installs as root only";
    }
    preinstall(deb("keelbrook", "1.1.0"));
    for (const std::string version : {"1.1.0", "1.0.9", "1.1.0~rc1"}) {
        const auto run = install(productPackage(version));
        EXPECT_EQ(run.exitStatus, 1);
        EXPECT_EQ(run.output, "installer: Payload's version " + version +
                                  " is not newer than the installed version 1.1.0 of "
                                  "keelbrook.\n");
        EXPECT_EQ(temporaryEntries(), 0u);
    }
    EXPECT_EQ(state("keelbrook"), "installed 1.1.0");
    EXPECT_NE(log().find("is not newer than the installed version"), std::string::npos);
}

TEST_F(Installer, RefusesAPayloadThatIsNotTheProductsPackage) {
    auto run = install(package({{"Payload", deb("keelbrook-tools", "2.0.0")}}));
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.output,
              "installer: Payload is the package 'keelbrook-tools', not 'keelbrook'.\n");

    const std::string text = "not a Debian package";
    run = install(package({{"Payload", Bytes(text.begin(), text.end())}}));
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.output,
              "installer: Payload is not a Debian package (dpkg-deb: exit status 2).\n");

    run = install(package({{"Other", deb("keelbrook", "2.0.0")}}));
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.output, "installer: The package has no Payload.\n");

    EXPECT_EQ(state("keelbrook-tools"), "");
    EXPECT_EQ(state("keelbrook"), "");
    EXPECT_EQ(temporaryEntries(), 0u);
}

TEST_F(Installer, RefusesTamperedPackagesAndOtherSigners) {
    const Bytes payload = deb("keelbrook", "2.0.0");
    // Bytes of the payload changed after signing.
    std::string path = package({{"Payload", payload}});
    Bytes changed = readBytes(path);
    changed[changed.size() - 100] ^= 1;
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(changed.data()),
               static_cast<std::streamsize>(changed.size()));
    auto run = install(path);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.output, "installer: Could not read installer package at path '" + path + "'.\n");

    // A table of contents changed after signing.
    path = package({{"Payload", payload}}, pki_.signer(), {.tamperedToc = true});
    run = install(path);
    EXPECT_EQ(run.output, "installer: Could not read installer package at path '" + path + "'.\n");

    // Signed, but the payload's bytes are not what its extracted checksum says.
    run = install(package({{"Payload", payload}}, pki_.signer(), {.wrongExtractedChecksum = true}));
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.output,
              "installer: Could not extract Payload: Payload does not match its extracted "
              "checksum.\n");
    EXPECT_EQ(temporaryEntries(), 0u);

    // Another team's installer certificate, and an application (not installer) certificate.
    const auto otherTeam =
        pki_.leafWith(pki_.leafMarker(), {"OTHERTEAM1"}, now_ - kDay, now_ + 300 * kDay);
    const auto application = pki_.leafWith({}, {kTeam}, now_ - kDay, now_ + 300 * kDay);
    for (const testpki::Identity* leaf : {&otherTeam, &application}) {
        run = install(package({{"Payload", payload}}, pki_.signer(leaf)));
        EXPECT_EQ(run.exitStatus, 1);
        EXPECT_EQ(run.output, "installer: Installer package signature is invalid.\n");
    }

    run = install(package({{"Payload", payload}}, std::nullopt));
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.output, "installer: Installer package is not signed.\n");

    // A root in the anchor folder counts only with the pinned fingerprint.
    ::unsetenv("KEELBROOK_ANCHOR_SHA256");
    run = install(package({{"Payload", payload}}));
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.output, "installer: Installer package signature is invalid.\n");

    EXPECT_EQ(state("keelbrook"), "");
    EXPECT_FALSE(fs::exists(root() / "usr/share/keelbrook/version"));
}

TEST_F(Installer, InstallsTheApplicationsPayloadOnlyWhereTheApplicationIsInstalled) {
    if (!asRoot()) {
        GTEST_SKIP() << "dpkg installs as root only";
    }
    const auto both = [&](const std::string& appName, const std::string& appVersion) {
        return package(
            {{"Payload", deb("keelbrook", "1.1.0")}, {"Payload-app", deb(appName, appVersion)}});
    };
    // Without the application, Payload-app is left out.
    auto run = install(both("keelbrook-app", "1.1.0"));
    EXPECT_EQ(run.exitStatus, 0) << run.output;
    EXPECT_EQ(state("keelbrook"), "installed 1.1.0");
    EXPECT_EQ(state("keelbrook-app"), "");

    // With it, both in one dpkg call.
    preinstall(deb("keelbrook-app", "1.0.0"));
    run = install(package(
        {{"Payload", deb("keelbrook", "1.2.0")}, {"Payload-app", deb("keelbrook-app", "1.2.0")}}));
    EXPECT_EQ(run.exitStatus, 0) << run.output;
    EXPECT_EQ(run.output, "installer: Installed keelbrook 1.2.0, keelbrook-app 1.2.0.\n");
    EXPECT_EQ(state("keelbrook"), "installed 1.2.0");
    EXPECT_EQ(state("keelbrook-app"), "installed 1.2.0");
    EXPECT_EQ(installedFile("keelbrook-app"), "1.2.0");
    EXPECT_NE(log().find("Installing keelbrook 1.2.0, keelbrook-app 1.2.0 with dpkg."),
              std::string::npos);

    // The application's payload must be the application, of the product's version.
    run = install(package({{"Payload", deb("keelbrook", "1.3.0")},
                           {"Payload-app", deb("keelbrook-extra", "1.3.0")}}));
    EXPECT_EQ(run.output,
              "installer: Payload-app is the package 'keelbrook-extra', not 'keelbrook-app'.\n");
    run = install(package(
        {{"Payload", deb("keelbrook", "1.3.0")}, {"Payload-app", deb("keelbrook-app", "1.2.5")}}));
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.output,
              "installer: Payload-app's version 1.2.5 is not Payload's version 1.3.0.\n");
    EXPECT_EQ(state("keelbrook"), "installed 1.2.0");
    EXPECT_EQ(state("keelbrook-app"), "installed 1.2.0");
    EXPECT_EQ(temporaryEntries(), 0u);
}

TEST_F(Installer, ADpkgFailureIsReportedWithDpkgsOutputInTheLog) {
    if (!asRoot()) {
        GTEST_SKIP() << "dpkg installs as root only";
    }
    const auto run = install(package(
        {{"Payload", deb("keelbrook", "1.1.0", "Depends: keelbrook-missing-dependency\n")}}));
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.output, "installer: dpkg could not install keelbrook 1.1.0 (exit status 1).\n");
    EXPECT_NE(log().find("keelbrook-missing-dependency"), std::string::npos) << log();
    EXPECT_EQ(temporaryEntries(), 0u);
}

TEST_F(Installer, RefusesToRunDpkgWithoutRoot) {
    if (!asRoot()) {
        GTEST_SKIP() << "switching to another user needs root";
    }
    for (const fs::path& folder : {root(), scratch_.path()}) {
        fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read |
                                    fs::perms::others_exec);
    }
    const std::string path = productPackage("1.0.0");
    const auto run = runChild({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                               "--clear-groups", INSTALLER_PATH, "-pkg", path, "-target", "/"},
                              ChildProcess::Errors::WithOutput);
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_EQ(run.output, "installer: The installer must run as root.\n");
    EXPECT_EQ(state("keelbrook"), "");
    EXPECT_EQ(temporaryEntries(), 0u);
}

TEST_F(Installer, WrongUsePrintsTheUsage) {
    const std::string usage = "usage: installer -pkg <package> -target /\n";
    const std::string path = productPackage("1.0.0");
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {},
             {"-pkg", path},
             {"-pkg", path, "-target", "/opt"},
             {"-target", "/", "-pkg", path},
             {"-pkg", "", "-target", "/"},
             {"-pkg", path, "-target", "/", "-verbose"},
         }) {
        std::vector<std::string> command{INSTALLER_PATH};
        command.insert(command.end(), args.begin(), args.end());
        const auto run = runChild(command, ChildProcess::Errors::WithOutput);
        EXPECT_EQ(run.exitStatus, 1);
        EXPECT_EQ(run.output, usage);
    }
    EXPECT_EQ(state("keelbrook"), "");
}

} // namespace
