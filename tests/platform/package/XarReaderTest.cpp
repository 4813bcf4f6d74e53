// The xar reader: what opens, what extracts, and every structure that would let the bytes
// a signature covers differ from the bytes installed.

#include "TestPki.h"
#include "platform/package/Xar.h"
#include "tests/support/TempFolder.h"

#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

namespace {

using package::Bytes;

Bytes bytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

std::unique_ptr<package::XarArchive> openBytes(const Bytes& bytes, std::string* error) {
    return package::XarArchive::openBytes(bytes, error);
}

// An archive around a hand-written TOC: `heapAfterChecksum` follows the correct checksum.
Bytes archiveWithToc(const std::string& xml, const Bytes& heapAfterChecksum = {},
                     std::uint32_t checksumKind = package::kXarChecksumNamed,
                     std::uint16_t version = 1) {
    uLongf size = compressBound(xml.size());
    Bytes compressed(size);
    compress2(compressed.data(), &size, reinterpret_cast<const Bytef*>(xml.data()), xml.size(), 6);
    compressed.resize(size);
    Bytes out{'x',
              'a',
              'r',
              '!',
              0,
              64,
              static_cast<std::uint8_t>(version >> 8),
              static_cast<std::uint8_t>(version)};
    for (std::uint64_t value : {std::uint64_t(compressed.size()), std::uint64_t(xml.size())}) {
        for (int i = 7; i >= 0; --i) {
            out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
        }
    }
    for (int i = 3; i >= 0; --i) {
        out.push_back(static_cast<std::uint8_t>(checksumKind >> (8 * i)));
    }
    for (char c : std::string_view("sha256")) {
        out.push_back(static_cast<std::uint8_t>(c));
    }
    out.resize(64, 0);
    out.insert(out.end(), compressed.begin(), compressed.end());
    const Bytes checksum = package::digest(package::DigestAlgorithm::Sha256, compressed);
    out.insert(out.end(), checksum.begin(), checksum.end());
    out.insert(out.end(), heapAfterChecksum.begin(), heapAfterChecksum.end());
    return out;
}

std::string toc(const std::string& inside) {
    return "<?xml version=\"1.0\"?><xar><toc><checksum style=\"sha256\"><offset>0</offset>"
           "<size>32</size></checksum>" +
           inside + "</toc></xar>";
}

std::string hexDigest(const Bytes& bytes) {
    std::string out;
    char buffer[3];
    for (std::uint8_t byte : package::digest(package::DigestAlgorithm::Sha256, bytes)) {
        std::snprintf(buffer, sizeof buffer, "%02x", byte);
        out += buffer;
    }
    return out;
}

std::string storedFile(const std::string& name, std::uint64_t offset, const Bytes& contents) {
    const std::string sum = hexDigest(contents);
    return "<file><name>" + name + "</name><type>file</type><data><offset>" +
           std::to_string(offset) + "</offset><size>" + std::to_string(contents.size()) +
           "</size><length>" + std::to_string(contents.size()) +
           "</length><encoding style=\"application/octet-stream\"/>"
           "<archived-checksum style=\"sha256\">" +
           sum + "</archived-checksum><extracted-checksum style=\"sha256\">" + sum +
           "</extracted-checksum></data></file>";
}

std::string extract(const package::XarArchive& archive, const std::string& name,
                    std::string* error) {
    testsupport::TempFolder folder;
    const std::string path = (folder.path() / "out").string();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const bool ok = archive.extractFile(name, fd, error);
    ::close(fd);
    std::ifstream in(path, std::ios::binary);
    std::string contents((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return ok ? contents : "<failed>";
}

TEST(XarReader, ReadsWhatTheWriterWritesAndExtractsStoredAndCompressedFiles) {
    package::PackageContents contents;
    contents.files.push_back({"Payload", bytesOf("the keelbrook package"), false});
    contents.files.push_back({"Payload-app", Bytes(100000, 'a'), true});
    std::string error;
    auto bytes = package::buildPackage(contents, &error);
    ASSERT_TRUE(bytes) << error;
    auto archive = openBytes(*bytes, &error);
    ASSERT_TRUE(archive) << error;
    EXPECT_TRUE(archive->signatures().empty());
    ASSERT_EQ(archive->toc().files.size(), 2u);
    EXPECT_TRUE(archive->toc().files[1].compressed);
    EXPECT_LT(archive->toc().files[1].range.size, 100000u);
    EXPECT_TRUE(archive->verifyFileData(&error)) << error;
    EXPECT_EQ(extract(*archive, "Payload", &error), "the keelbrook package") << error;
    EXPECT_EQ(extract(*archive, "Payload-app", &error), std::string(100000, 'a')) << error;
    EXPECT_EQ(extract(*archive, "Missing", &error), "<failed>");
    // What the signature covers is the TOC's checksum.
    EXPECT_EQ(archive->signedData().size(), 32u);
}

TEST(XarReader, OpensFilesFromDiskWithoutFollowingALink) {
    testsupport::TempFolder folder;
    const Bytes bytes = testpki::signedPackage(std::nullopt);
    const auto path = folder.path() / "Keelbrook.pkg";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    std::string error;
    EXPECT_TRUE(package::XarArchive::open(path.string(), &error)) << error;
    std::filesystem::create_symlink(path, folder.path() / "link.pkg");
    EXPECT_FALSE(package::XarArchive::open((folder.path() / "link.pkg").string(), &error));
    EXPECT_FALSE(package::XarArchive::open(folder.path().string(), &error));
    EXPECT_FALSE(package::XarArchive::open((folder.path() / "missing").string(), &error));
}

struct Refusal {
    const char* name;
    package::HostileVariants hostile;
    const char* expected;
};

class XarHostileVariants : public testing::TestWithParam<Refusal> {};

TEST_P(XarHostileVariants, AreRefusedForTheirOwnFault) {
    testpki::Hierarchy pki(std::time(nullptr));
    const Bytes bytes = testpki::signedPackage(pki.signer(), "payload", GetParam().hostile);
    std::string error;
    EXPECT_FALSE(openBytes(bytes, &error));
    EXPECT_NE(error.find(GetParam().expected), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Package, XarHostileVariants,
    testing::Values(
        Refusal{"TamperedToc", {.tamperedToc = true}, "does not match its checksum"},
        Refusal{"AppendedHeapData", {.appendedHeapData = true}, "data after the heap"},
        Refusal{"TwoSignatures", {.secondSignature = true}, "a second signature of type CMS"},
        Refusal{"OverlappingRanges", {.overlappingRanges = true}, "overlap"},
        Refusal{"Sha1", {.sha1Checksum = true}, "SHA-1 checksums are refused"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(XarReader, RefusesDuplicateNamesAmongSiblingsButNotInOtherFolders) {
    package::PackageContents contents;
    contents.files.push_back({"Payload", bytesOf("one")});
    contents.files.push_back({"Payload", bytesOf("two")});
    std::string error;
    auto bytes = package::buildPackage(contents, &error);
    ASSERT_TRUE(bytes);
    EXPECT_FALSE(openBytes(*bytes, &error));
    EXPECT_NE(error.find("duplicate file name 'Payload'"), std::string::npos) << error;

    const Bytes a = bytesOf("a"), b = bytesOf("b");
    const std::string folders = "<file><name>x</name><type>directory</type>" +
                                storedFile("Payload", 32, a) + "</file>" +
                                storedFile("Payload", 33, b);
    Bytes heap = a;
    heap.insert(heap.end(), b.begin(), b.end());
    auto nested = openBytes(archiveWithToc(toc(folders), heap), &error);
    ASSERT_TRUE(nested) << error;
    EXPECT_EQ(nested->file("x/Payload")->range.offset, 32u);
    EXPECT_EQ(nested->file("Payload")->range.offset, 33u);
}

TEST(XarReader, ExtractionChecksTheExtractedChecksum) {
    testpki::Hierarchy pki(std::time(nullptr));
    const Bytes bytes =
        testpki::signedPackage(pki.signer(), "payload", {.wrongExtractedChecksum = true});
    std::string error;
    auto archive = openBytes(bytes, &error);
    ASSERT_TRUE(archive) << error; // the archived bytes are intact
    EXPECT_TRUE(archive->verifyFileData(&error));
    EXPECT_EQ(extract(*archive, "Payload", &error), "<failed>");
    EXPECT_NE(error.find("extracted checksum"), std::string::npos) << error;
}

TEST(XarReader, VerifyingFileDataFindsAChangedPayloadByte) {
    Bytes bytes = testpki::signedPackage(std::nullopt, "payload bytes");
    bytes.back() ^= 0x20;
    std::string error;
    auto archive = openBytes(bytes, &error);
    ASSERT_TRUE(archive) << error;
    EXPECT_FALSE(archive->verifyFileData(&error));
    EXPECT_NE(error.find("archived checksum"), std::string::npos) << error;
}

TEST(XarReader, RefusesBadHeaders) {
    const Bytes good = archiveWithToc(toc(""));
    std::string error;
    ASSERT_TRUE(openBytes(good, &error)) << error;

    EXPECT_FALSE(openBytes(bytesOf("not a xar archive at all, just text"), &error));
    EXPECT_FALSE(openBytes(Bytes(good.begin(), good.begin() + 20), &error));
    EXPECT_FALSE(openBytes(archiveWithToc(toc(""), {}, package::kXarChecksumMd5), &error));
    EXPECT_NE(error.find("MD5"), std::string::npos);
    EXPECT_FALSE(openBytes(archiveWithToc(toc(""), {}, package::kXarChecksumNone), &error));
    EXPECT_FALSE(openBytes(archiveWithToc(toc(""), {}, package::kXarChecksumNamed, 2), &error));
    EXPECT_NE(error.find("version"), std::string::npos);

    Bytes smallHeader = good;
    smallHeader[5] = 27; // header size below the fixed part
    EXPECT_FALSE(openBytes(smallHeader, &error));
    Bytes otherName = good;
    otherName[28 + 3] = '1'; // "sha156"
    EXPECT_FALSE(openBytes(otherName, &error));
    Bytes hugeToc = good;
    hugeToc[16 + 4] = 0x02; // expanded size stated as 32 MiB and more
    EXPECT_FALSE(openBytes(hugeToc, &error));
    EXPECT_NE(error.find("out of bounds"), std::string::npos) << error;
    Bytes wrongExpanded = good;
    wrongExpanded[23] += 1; // one byte more than the TOC expands to
    EXPECT_FALSE(openBytes(wrongExpanded, &error));
    EXPECT_NE(error.find("stated size"), std::string::npos) << error;
}

TEST(XarReader, RefusesTablesOfContentsThatAreAmbiguousOrUnsafe) {
    std::string error;
    const Bytes one = bytesOf("x");
    struct Case {
        std::string xml;
        Bytes heap;
        const char* expected;
    };
    const Case cases[] = {
        {"<?xml version=\"1.0\"?><!DOCTYPE xar [<!ENTITY e \"x\">]><xar><toc/></xar>",
         {},
         "document type"},
        {"<xar><toc><checksum style=\"sha256\"><offset>0</offset><size>32</size></checksum>"
         "<checksum style=\"sha256\"><offset>0</offset><size>32</size></checksum></toc></xar>",
         {},
         "repeated element checksum"},
        {"<xar><toc><checksum style=\"sha1\"><offset>0</offset><size>20</size></checksum></toc>"
         "</xar>",
         {},
         "not SHA-256"},
        {"<xar><toc><checksum style=\"sha256\"><offset>0</offset><size>31</size></checksum>"
         "</toc></xar>",
         {},
         "size is not its digest's"},
        {toc(storedFile("Payload", 32, one)), {}, "outside the heap"},
        {toc(storedFile("Payload", 33, one)), bytesOf("xx"), "outside every range"},
        {toc(storedFile("Payload", 31, one)), one, "overlap"},
        {toc(storedFile("..", 32, one)), one, "bad file name"},
        {toc(storedFile("a/b", 32, one)), one, "bad file name"},
        {toc("<file><name>l</name><type>symlink</type></file>"), {}, "not supported"},
        {toc("<file><name>n</name><type>file</type><data><offset>032</offset></data></file>"),
         {},
         "bad number"},
        {toc("<file><name>n</name><type>file</type><data><offset>18446744073709551615</offset>"
             "</data></file>"),
         {},
         "bad number"},
        {toc("<x-signature style=\"CMS\"><offset>32</offset><size>1</size></x-signature>"
             "<signature style=\"CMS\"><offset>33</offset><size>1</size></signature>"),
         bytesOf("ab"), "a second signature of type CMS"},
        {"<xar><toc><checksum", {}, "not well-formed"},
    };
    for (const Case& c : cases) {
        error.clear();
        EXPECT_FALSE(openBytes(archiveWithToc(c.xml, c.heap), &error)) << c.xml;
        EXPECT_NE(error.find(c.expected), std::string::npos) << c.xml << ": " << error;
    }
    // The sound counterparts of the cases above open.
    EXPECT_TRUE(openBytes(archiveWithToc(toc(storedFile("Payload", 32, one)), one), &error))
        << error;
    EXPECT_TRUE(openBytes(archiveWithToc(toc("<x-signature style=\"CMS\"><offset>32</offset>"
                                             "<size>1</size></x-signature><signature "
                                             "style=\"RSA\"><offset>33</offset><size>1</size>"
                                             "</signature>"),
                                         bytesOf("ab")),
                          &error))
        << error;
}

TEST(XarReader, ReadsTheCertificatesStoredWithASignature) {
    testpki::Hierarchy pki(std::time(nullptr));
    const Bytes bytes = testpki::signedPackage(pki.signer());
    std::string error;
    auto archive = openBytes(bytes, &error);
    ASSERT_TRUE(archive) << error;
    ASSERT_EQ(archive->signatures().size(), 1u);
    const auto& signature = archive->signatures()[0];
    EXPECT_EQ(signature.type, "CMS");
    ASSERT_EQ(signature.certificates.size(), 2u);
    EXPECT_EQ(signature.certificates[0], package::certificateDer(pki.leaf.certificate.get()));
    EXPECT_EQ(signature.certificates[1],
              package::certificateDer(pki.intermediate.certificate.get()));
    auto data = archive->signatureData(0, &error);
    ASSERT_TRUE(data);
    EXPECT_EQ(data->size(), signature.range.size);
    EXPECT_FALSE(archive->signatureData(1, &error));
}

} // namespace
