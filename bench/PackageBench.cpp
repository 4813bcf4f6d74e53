// Update packages: validating a signed 50 MiB package as the updater does (open with its
// checks, hash every file against the TOC, verify the CMS signature and its chain), and the
// table-of-contents parse alone for a package of one file and one of a thousand.

#include "TestPki.h"
#include "platform/package/Signature.h"
#include "platform/package/Xar.h"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <fstream>
#include <unistd.h>

namespace {

constexpr std::size_t kPayloadSize = 50u << 20;

struct SignedPackage {
    testpki::Hierarchy pki{std::time(nullptr)};
    std::string path;

    SignedPackage() {
        package::Bytes payload(kPayloadSize);
        for (std::size_t i = 0; i < payload.size(); ++i) {
            payload[i] = static_cast<std::uint8_t>(i * 2654435761u >> 24);
        }
        package::PackageContents contents;
        contents.files.push_back({"Payload", std::move(payload)});
        contents.signer = pki.signer();
        std::string error;
        const package::Bytes bytes = *package::buildPackage(contents, &error);
        char name[] = "/tmp/keelbrook-bench-XXXXXX";
        const int fd = ::mkstemp(name);
        ::close(fd);
        path = name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    ~SignedPackage() { std::remove(path.c_str()); }
};

void ValidateSignedPackage(benchmark::State& state) {
    static SignedPackage made;
    auto anchor = made.pki.anchor();
    for (auto _ : state) {
        std::string error;
        auto archive = package::XarArchive::open(made.path, &error);
        bool valid = archive && archive->verifyFileData(&error);
        const auto data = archive->signatureData(0, &error);
        const auto certificates = package::parseCertificates(archive->signatures()[0].certificates);
        valid = valid && package::verifySignature(
                             {"CMS", archive->signedData(), *data, certificates}, testpki::kTeam,
                             anchor.get(), std::chrono::system_clock::now());
        if (!valid) {
            state.SkipWithError("the package does not validate");
            break;
        }
        benchmark::DoNotOptimize(archive);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kPayloadSize));
}
BENCHMARK(ValidateSignedPackage)->Unit(benchmark::kMillisecond);

void ParseToc(benchmark::State& state) {
    package::PackageContents contents;
    for (int i = 0; i < state.range(0); ++i) {
        contents.files.push_back({"file-" + std::to_string(i), package::Bytes(64, 'x')});
    }
    std::string error;
    const package::Bytes bytes = *package::buildPackage(contents, &error);
    for (auto _ : state) {
        auto archive = package::XarArchive::openBytes(bytes, &error);
        benchmark::DoNotOptimize(archive);
    }
    state.counters["files"] = static_cast<double>(state.range(0));
}
BENCHMARK(ParseToc)->Arg(1)->Arg(1000)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
