// kbepkg end to end: a package signed with PEM files and time-stamped by `openssl ts` acting
// as the authority, its hostile variants, verification and extraction.

#include "TestPki.h"
#include "tests/support/TempFolder.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/wait.h>

namespace {

namespace fs = std::filesystem;
using testpki::kDay;

struct Outcome {
    int status;
    std::string output;
};

Outcome run(const std::string& command) {
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    std::string output;
    char buffer[4096];
    while (std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe)) {
        output.append(buffer, got);
    }
    const int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

std::string quoted(const fs::path& path) {
    return "'" + path.string() + "'";
}

class Kbepkg : public testing::Test {
protected:
    void SetUp() override {
        const fs::path& dir = folder_.path();
        write("key.pem", testpki::pem(leaf_.key.get()));
        write("cert.pem", testpki::pem(leaf_.certificate.get()));
        write("chain.pem", testpki::pem(pki_.intermediate.certificate.get()));
        write("tsa-key.pem", testpki::pem(pki_.tsa.key.get()));
        write("tsa-cert.pem", testpki::pem(pki_.tsa.certificate.get()));
        write("payload.deb", "a debian package, as far as this test cares");
        write("serial", "01\n");
        write("tsa.cnf", "[ tsa ]\ndefault_tsa = test_tsa\n[ test_tsa ]\nserial = " +
                             (dir / "serial").string() +
                             "\ncrypto_device = builtin\nsigner_digest = sha256\n"
                             "default_policy = 1.3.6.1.4.1.99999.1\ndigests = sha256, sha512\n"
                             "ess_cert_id_alg = sha256\n");
        fs::create_directories(dir / "anchors");
        write("anchors/root.pem", testpki::pem(pki_.root.certificate.get()));
    }

    void write(const std::string& name, const std::string& text) {
        std::ofstream(folder_.path() / name) << text;
    }

    std::string tsaCommand() const {
        const fs::path& dir = folder_.path();
        return "openssl ts -reply -config " + (dir / "tsa.cnf").string() +
               " -queryfile /dev/stdin -signer " + (dir / "tsa-cert.pem").string() + " -inkey " +
               (dir / "tsa-key.pem").string() + " -out /dev/stdout";
    }

    Outcome create(const std::string& name, const std::string& extra) {
        const fs::path& dir = folder_.path();
        return run(std::string(KBEPKG) + " create -o " + quoted(dir / name) + " --payload " +
                   quoted(dir / "payload.deb") + " --key " + quoted(dir / "key.pem") + " --cert " +
                   quoted(dir / "cert.pem") + " --chain " + quoted(dir / "chain.pem") + " " +
                   extra);
    }

    Outcome verify(const std::string& name, std::time_t at) {
        const fs::path& dir = folder_.path();
        return run(std::string(KBEPKG) + " verify --team " + testpki::kTeam + " --anchors " +
                   quoted(dir / "anchors") + " --fingerprint " +
                   package::certificateFingerprint(pki_.root.certificate.get()) + " --at " +
                   std::to_string(at) + " " + quoted(dir / name));
    }

    testsupport::TempFolder folder_;
    std::time_t now_ = std::time(nullptr);
    testpki::Hierarchy pki_{now_};
    // Valid from yesterday until tomorrow.
    testpki::Identity leaf_ =
        pki_.leafWith(pki_.leafMarker(), {testpki::kTeam}, now_ - kDay, now_ + kDay);
};

TEST_F(Kbepkg, SignsWithAnOpensslTimeStampThatOutlivesTheLeafAndExtracts) {
    const std::string command = "--tsa-command \"" + tsaCommand() + "\"";
    Outcome made = create("stamped.pkg", command);
    ASSERT_EQ(made.status, 0) << made.output;
    ASSERT_EQ(create("plain.pkg", "").status, 0);

    Outcome today = verify("stamped.pkg", now_);
    EXPECT_EQ(today.status, 0) << today.output;
    EXPECT_EQ(today.output, "valid\n");
    // A month on the leaf has expired: only the time-stamped package still validates.
    EXPECT_EQ(verify("stamped.pkg", now_ + 30 * kDay).status, 0);
    Outcome plain = verify("plain.pkg", now_ + 30 * kDay);
    EXPECT_EQ(plain.status, 1);
    EXPECT_NE(plain.output.find("certificate has expired"), std::string::npos) << plain.output;

    ASSERT_EQ(create("other-bytes.pkg", command + " --hostile time-stamp-over-other-bytes").status,
              0);
    EXPECT_EQ(verify("other-bytes.pkg", now_).status, 0);
    EXPECT_EQ(verify("other-bytes.pkg", now_ + 30 * kDay).status, 1);

    const fs::path out = folder_.path() / "extracted.deb";
    Outcome extracted = run(std::string(KBEPKG) + " extract " +
                            quoted(folder_.path() / "stamped.pkg") + " Payload " + quoted(out));
    ASSERT_EQ(extracted.status, 0) << extracted.output;
    std::ifstream in(out);
    std::stringstream contents;
    contents << in.rdbuf();
    EXPECT_EQ(contents.str(), "a debian package, as far as this test cares");
}

TEST_F(Kbepkg, WritesHostileVariantsThatAreRefused) {
    const std::pair<const char*, const char*> variants[] = {
        {"tampered-toc", "does not match its checksum"},
        {"appended-heap-data", "data after the heap"},
        {"second-signature", "a second signature"},
        {"overlapping-ranges", "overlap"},
        {"duplicate-names", "duplicate file name"},
        {"sha1", "SHA-1"},
    };
    for (const auto& [variant, expected] : variants) {
        const std::string name = std::string(variant) + ".pkg";
        ASSERT_EQ(create(name, std::string("--hostile ") + variant).status, 0) << variant;
        Outcome result = verify(name, now_);
        EXPECT_EQ(result.status, 1) << variant;
        EXPECT_NE(result.output.find(expected), std::string::npos)
            << variant << ": " << result.output;
    }
    ASSERT_EQ(create("wrong-sum.pkg", "--hostile wrong-extracted-checksum").status, 0);
    Outcome extracted =
        run(std::string(KBEPKG) + " extract " + quoted(folder_.path() / "wrong-sum.pkg") +
            " Payload " + quoted(folder_.path() / "out.deb"));
    EXPECT_EQ(extracted.status, 1);
    EXPECT_FALSE(fs::exists(folder_.path() / "out.deb"));
    EXPECT_EQ(create("x.pkg", "--hostile no-such-variant").status, 1);
}

TEST_F(Kbepkg, RefusesAPackageForAnotherAnchorOrFingerprint) {
    ASSERT_EQ(create("good.pkg", "").status, 0);
    testpki::Hierarchy impostor(now_);
    write("anchors/root.pem", testpki::pem(impostor.root.certificate.get()));
    Outcome result = verify("good.pkg", now_);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.output.find("no pinned Apple Root CA"), std::string::npos) << result.output;
}

} // namespace
