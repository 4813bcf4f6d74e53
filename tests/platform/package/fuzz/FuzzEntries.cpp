#include "FuzzEntries.h"

#include "platform/files/Files.h"
#include "platform/package/Signature.h"
#include "platform/package/Xar.h"

#include <chrono>
#include <fcntl.h>

namespace package::fuzz {

namespace {

std::optional<std::string> refusalWithoutText(const std::string& error) {
    return error.empty() ? std::optional<std::string>("refused without an error text")
                         : std::nullopt;
}

} // namespace

std::optional<std::string> archiveInput(const std::uint8_t* data, std::size_t size) {
    std::string error;
    auto archive = XarArchive::openBytes({data, size}, &error);
    if (!archive) {
        return refusalWithoutText(error);
    }
    // Everything an opened archive names lies inside it.
    for (std::size_t i = 0; i < archive->signatures().size(); ++i) {
        auto signature = archive->signatureData(i, &error);
        if (!signature) {
            return "an opened archive cannot give signature " + std::to_string(i);
        }
        const auto certificates = parseCertificates(archive->signatures()[i].certificates);
        if (verifySignature(
                {archive->signatures()[i].type, archive->signedData(), *signature, certificates},
                "TEAM", nullptr, std::chrono::system_clock::now())) {
            return "a signature validated without an anchor";
        }
    }
    (void)archive->verifyFileData(&error);
    static const files::Descriptor sink = files::openFile("/dev/null", O_WRONLY);
    for (const XarFileEntry& file : archive->toc().files) {
        if (!file.directory) {
            (void)archive->extractFile(file.path, sink.get(), &error);
        }
    }
    return std::nullopt;
}

std::optional<std::string> tocInput(const std::uint8_t* data, std::size_t size) {
    std::string error;
    auto toc = parseToc({data, size}, &error);
    if (!toc) {
        return refusalWithoutText(error);
    }
    for (const XarFileEntry& file : toc->files) {
        if (file.path.empty() || (!file.directory && file.archivedChecksum.empty())) {
            return "a parsed file without a name or a checksum";
        }
    }
    return std::nullopt;
}

} // namespace package::fuzz
