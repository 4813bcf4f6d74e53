#include "platform/package/Writer.h"

#include "platform/files/Files.h"
#include "platform/package/Xar.h"

#include <openssl/pem.h>
#include <openssl/rand.h>
#include <zlib.h>

namespace package {

namespace {

constexpr std::size_t kHeaderSize = 64; // the fixed part and a 36-byte checksum name
// ECDSA signatures vary in length by a byte or two, so a round may miss the size stated;
// each round matches with a good chance.
constexpr int kMaximumSigningRounds = 64;

std::nullopt_t fail(std::string* error, std::string text) {
    if (error != nullptr) {
        *error = std::move(text);
    }
    return std::nullopt;
}

std::string escaped(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out.push_back(c);
        }
    }
    return out;
}

std::string base64(std::span<const std::uint8_t> bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int size = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(),
                                     static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(size));
    return out;
}

Bytes zlibCompress(std::span<const std::uint8_t> bytes) {
    uLongf size = compressBound(static_cast<uLong>(bytes.size()));
    Bytes out(size);
    if (compress2(out.data(), &size, bytes.data(), static_cast<uLong>(bytes.size()),
                  Z_DEFAULT_COMPRESSION) != Z_OK) {
        return {};
    }
    out.resize(size);
    return out;
}

std::span<const std::uint8_t> bytesOf(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

template <class T>
Bytes der(int (*encode)(const T*, unsigned char**), const T* object) {
    unsigned char* out = nullptr;
    const int size = encode(object, &out);
    if (size <= 0) {
        return {};
    }
    Bytes bytes(out, out + size);
    OPENSSL_free(out);
    return bytes;
}

// A file's bytes as archived, with both checksums.
struct ArchivedFile {
    const PackageFile* file;
    Bytes archived;
    Bytes archivedChecksum;
    Bytes extractedChecksum;
    std::uint64_t offset = 0;
};

struct Layout {
    std::string checksumStyle;
    std::size_t checksumSize;
    std::size_t signatureSize = 0;
    int signatureCount = 0;
    std::vector<Bytes> storedCertificates;
};

std::string tocXml(const Layout& layout, const std::vector<ArchivedFile>& files,
                   const PackageContents& contents, bool tampered) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<xar>\n <toc>\n";
    if (tampered) {
        xml += "  <creation-time>changed after signing</creation-time>\n";
    }
    xml += "  <checksum style=\"" + layout.checksumStyle + "\"><offset>0</offset><size>" +
           std::to_string(layout.checksumSize) + "</size></checksum>\n";
    std::uint64_t offset = layout.checksumSize;
    for (int i = 0; i < layout.signatureCount; ++i) {
        xml += "  <x-signature style=\"CMS\"><offset>" + std::to_string(offset) +
               "</offset><size>" + std::to_string(layout.signatureSize) +
               "</size>\n   <KeyInfo xmlns=\"http://www.w3.org/2000/09/xmldsig#\"><X509Data>\n";
        for (const Bytes& certificate : layout.storedCertificates) {
            xml += "    <X509Certificate>" + base64(certificate) + "</X509Certificate>\n";
        }
        xml += "   </X509Data></KeyInfo>\n  </x-signature>\n";
        offset += layout.signatureSize;
    }
    const std::uint64_t signaturesEnd = offset;
    int id = 1;
    for (const ArchivedFile& file : files) {
        const std::string style = std::string(digestAlgorithmName(contents.checksum));
        const std::uint64_t declared =
            contents.hostile.overlappingRanges && id == 1 && layout.signatureCount > 0
                ? signaturesEnd - 1
                : file.offset + signaturesEnd;
        Bytes extracted = file.extractedChecksum;
        if (contents.hostile.wrongExtractedChecksum && id == 1) {
            extracted[0] ^= 1;
        }
        xml += "  <file id=\"" + std::to_string(id++) + "\"><name>" + escaped(file.file->name) +
               "</name><type>file</type>\n   <data><offset>" + std::to_string(declared) +
               "</offset><size>" + std::to_string(file.archived.size()) + "</size><length>" +
               std::to_string(file.file->contents.size()) + "</length><encoding style=\"" +
               (file.file->compress ? "application/x-gzip" : "application/octet-stream") +
               "\"/>\n    <archived-checksum style=\"" + style + "\">" +
               lowerHex(file.archivedChecksum) +
               "</archived-checksum>\n    <extracted-checksum style=\"" + style + "\">" +
               lowerHex(extracted) + "</extracted-checksum></data>\n  </file>\n";
    }
    xml += " </toc>\n</xar>\n";
    return xml;
}

// An RFC 3161 time stamp over `imprintOf`, added to `signer` as its timeStampToken.
bool addTimeStamp(CMS_SignerInfo* signer, const TimeStamper& stamper,
                  std::span<const std::uint8_t> imprintOf, std::string* error) {
    const Bytes hash = digest(DigestAlgorithm::Sha256, imprintOf);
    std::unique_ptr<TS_REQ, OpenSslDeleter<TS_REQ, TS_REQ_free>> request(TS_REQ_new());
    std::unique_ptr<TS_MSG_IMPRINT, OpenSslDeleter<TS_MSG_IMPRINT, TS_MSG_IMPRINT_free>> imprint(
        TS_MSG_IMPRINT_new());
    std::unique_ptr<X509_ALGOR, OpenSslDeleter<X509_ALGOR, X509_ALGOR_free>> algorithm(
        X509_ALGOR_new());
    std::unique_ptr<ASN1_INTEGER, OpenSslDeleter<ASN1_INTEGER, ASN1_INTEGER_free>> nonce(
        ASN1_INTEGER_new());
    std::uint32_t nonceValue = 0;
    RAND_bytes(reinterpret_cast<unsigned char*>(&nonceValue), sizeof nonceValue);
    if (!request || !imprint || !algorithm || !nonce ||
        X509_ALGOR_set0(algorithm.get(), OBJ_nid2obj(NID_sha256), V_ASN1_NULL, nullptr) != 1 ||
        TS_MSG_IMPRINT_set_algo(imprint.get(), algorithm.get()) != 1 ||
        TS_MSG_IMPRINT_set_msg(imprint.get(), const_cast<unsigned char*>(hash.data()),
                               static_cast<int>(hash.size())) != 1 ||
        TS_REQ_set_version(request.get(), 1) != 1 ||
        TS_REQ_set_msg_imprint(request.get(), imprint.get()) != 1 ||
        ASN1_INTEGER_set_uint64(nonce.get(), nonceValue) != 1 ||
        TS_REQ_set_nonce(request.get(), nonce.get()) != 1 ||
        TS_REQ_set_cert_req(request.get(), 1) != 1) {
        fail(error, "cannot build a time-stamp query");
        return false;
    }
    const Bytes query = der(i2d_TS_REQ, request.get());
    auto reply = stamper(query, error);
    if (!reply) {
        return false;
    }
    const unsigned char* cursor = reply->data();
    std::unique_ptr<TS_RESP, OpenSslDeleter<TS_RESP, TS_RESP_free>> response(
        d2i_TS_RESP(nullptr, &cursor, static_cast<long>(reply->size())));
    if (!response) {
        fail(error, "the time-stamping authority's reply is not a time-stamp response");
        return false;
    }
    const long status =
        ASN1_INTEGER_get(TS_STATUS_INFO_get0_status(TS_RESP_get_status_info(response.get())));
    PKCS7* token = TS_RESP_get_token(response.get());
    if ((status != 0 && status != 1) || token == nullptr) {
        fail(error, "the time-stamping authority refused the query");
        return false;
    }
    const Bytes tokenDer = der(i2d_PKCS7, token);
    if (CMS_unsigned_add1_attr_by_NID(signer, NID_id_smime_aa_timeStampToken, V_ASN1_SEQUENCE,
                                      tokenDer.data(), static_cast<int>(tokenDer.size())) != 1) {
        fail(error, "cannot add the time stamp");
        return false;
    }
    return true;
}

std::optional<Bytes> sign(const PackageSigner& signer, std::span<const std::uint8_t> checksum,
                          bool stampOtherBytes, std::string* error) {
    const int flags = CMS_DETACHED | CMS_BINARY | CMS_PARTIAL | CMS_NOSMIMECAP;
    CmsPtr message(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
    if (!message) {
        return fail(error, "cannot create the CMS message");
    }
    CMS_SignerInfo* info = CMS_add1_signer(message.get(), signer.certificate.get(),
                                           signer.key.get(), signer.digest, flags);
    if (info == nullptr) {
        return fail(error, "the key cannot sign with this certificate and digest");
    }
    for (const auto& certificate : signer.chain) {
        CMS_add1_cert(message.get(), certificate.get());
    }
    if (signer.signingTime) {
        std::unique_ptr<ASN1_TIME, OpenSslDeleter<ASN1_TIME, ASN1_TIME_free>> time(
            ASN1_TIME_set(nullptr, *signer.signingTime));
        if (!time || CMS_signed_add1_attr_by_NID(info, NID_pkcs9_signingTime, time->type,
                                                 time.get(), -1) != 1) {
            return fail(error, "cannot set the signing time");
        }
    }
    BioPtr content(BIO_new_mem_buf(checksum.data(), static_cast<int>(checksum.size())));
    if (CMS_final(message.get(), content.get(), nullptr, CMS_DETACHED | CMS_BINARY) != 1) {
        return fail(error, "cannot sign");
    }
    if (signer.timeStamper) {
        const ASN1_OCTET_STRING* value = CMS_SignerInfo_get0_signature(info);
        Bytes stamped(ASN1_STRING_get0_data(value),
                      ASN1_STRING_get0_data(value) + ASN1_STRING_length(value));
        if (stampOtherBytes) {
            stamped.push_back(0);
        }
        if (!addTimeStamp(info, signer.timeStamper, stamped, error)) {
            return std::nullopt;
        }
    }
    return der(i2d_CMS_ContentInfo, message.get());
}

void putBigEndian(Bytes& out, std::uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

Bytes header(std::size_t tocCompressed, std::size_t tocExpanded, bool sha1,
             DigestAlgorithm checksum) {
    Bytes out{'x', 'a', 'r', '!'};
    putBigEndian(out, kHeaderSize, 2);
    putBigEndian(out, 1, 2);
    putBigEndian(out, tocCompressed, 8);
    putBigEndian(out, tocExpanded, 8);
    putBigEndian(out, sha1 ? kXarChecksumSha1 : kXarChecksumNamed, 4);
    const std::string_view name = sha1 ? "" : digestAlgorithmName(checksum);
    out.insert(out.end(), name.begin(), name.end());
    out.resize(kHeaderSize, 0);
    return out;
}

} // namespace

std::optional<Bytes> buildPackage(const PackageContents& contents, std::string* error) {
    const HostileVariants& hostile = contents.hostile;
    std::vector<ArchivedFile> files;
    std::uint64_t offset = 0;
    for (const PackageFile& file : contents.files) {
        ArchivedFile archived{&file,
                              file.compress ? zlibCompress(file.contents) : file.contents,
                              {},
                              digest(contents.checksum, file.contents),
                              offset};
        archived.archivedChecksum = digest(contents.checksum, archived.archived);
        offset += archived.archived.size();
        files.push_back(std::move(archived));
    }

    Layout layout;
    layout.checksumStyle =
        hostile.sha1Checksum ? "sha1" : std::string(digestAlgorithmName(contents.checksum));
    layout.checksumSize = hostile.sha1Checksum ? 20 : digestSize(contents.checksum);
    if (contents.signer) {
        layout.signatureCount = hostile.secondSignature ? 2 : 1;
        if (contents.signer->storedCertificates) {
            for (const auto& certificate : *contents.signer->storedCertificates) {
                layout.storedCertificates.push_back(certificateDer(certificate.get()));
            }
        } else {
            layout.storedCertificates.push_back(certificateDer(contents.signer->certificate.get()));
            for (const auto& certificate : contents.signer->chain) {
                layout.storedCertificates.push_back(certificateDer(certificate.get()));
            }
        }
    }
    auto checksumOf = [&](std::span<const std::uint8_t> bytes) {
        if (hostile.sha1Checksum) {
            Bytes out(20);
            unsigned int size = 0;
            EVP_Digest(bytes.data(), bytes.size(), out.data(), &size, EVP_sha1(), nullptr);
            return out;
        }
        return digest(contents.checksum, bytes);
    };

    // The signature's size is part of the TOC it signs: sign until the size stated is the
    // size made (a time stamp's length can change by a byte between rounds).
    std::string xml;
    Bytes compressed;
    Bytes checksum;
    Bytes signature;
    for (int round = 0;; ++round) {
        if (round == kMaximumSigningRounds) {
            return fail(error, "the signature's size does not settle");
        }
        xml = tocXml(layout, files, contents, false);
        compressed = zlibCompress(bytesOf(xml));
        checksum = checksumOf(compressed);
        if (!contents.signer) {
            break;
        }
        auto made = sign(*contents.signer, checksum, hostile.timeStampOverOtherBytes, error);
        if (!made) {
            return std::nullopt;
        }
        signature = std::move(*made);
        if (signature.size() == layout.signatureSize) {
            break;
        }
        layout.signatureSize = signature.size();
    }
    if (hostile.tamperedToc) {
        xml = tocXml(layout, files, contents, true);
        compressed = zlibCompress(bytesOf(xml));
    }

    Bytes out = header(compressed.size(), xml.size(), hostile.sha1Checksum, contents.checksum);
    out.insert(out.end(), compressed.begin(), compressed.end());
    out.insert(out.end(), checksum.begin(), checksum.end());
    for (int i = 0; i < layout.signatureCount; ++i) {
        out.insert(out.end(), signature.begin(), signature.end());
    }
    for (const ArchivedFile& file : files) {
        out.insert(out.end(), file.archived.begin(), file.archived.end());
    }
    if (hostile.appendedHeapData) {
        const std::string_view extra = "appended after the heap";
        out.insert(out.end(), extra.begin(), extra.end());
    }
    return out;
}

std::optional<std::vector<std::shared_ptr<X509>>> loadCertificates(const std::string& path,
                                                                   std::string* error) {
    files::Error readError;
    auto bytes = files::readFile(path, 1024 * 1024, files::Symlinks::Follow, &readError);
    if (!bytes) {
        return fail(error, readError.text);
    }
    BioPtr bio(BIO_new_mem_buf(bytes->data(), static_cast<int>(bytes->size())));
    std::vector<std::shared_ptr<X509>> certificates;
    while (X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
        certificates.emplace_back(certificate, X509_free);
    }
    if (certificates.empty()) {
        return fail(error, path + " holds no PEM certificate");
    }
    return certificates;
}

std::shared_ptr<EVP_PKEY> loadPrivateKey(const std::string& path, std::string* error) {
    files::Error readError;
    auto bytes = files::readFile(path, 1024 * 1024, files::Symlinks::Follow, &readError);
    if (!bytes) {
        fail(error, readError.text);
        return nullptr;
    }
    BioPtr bio(BIO_new_mem_buf(bytes->data(), static_cast<int>(bytes->size())));
    EVP_PKEY* key = PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr);
    if (key == nullptr) {
        fail(error, path + " holds no PEM private key");
        return nullptr;
    }
    return {key, EVP_PKEY_free};
}

} // namespace package
