// kbepkg: builds and signs update packages (the release step, and the tests' way of making
// good and hostile packages), checks their signatures and extracts their files.

#include "platform/dispatch/Time.h"
#include "platform/files/Files.h"
#include "platform/package/Signature.h"
#include "platform/package/Writer.h"
#include "platform/package/Xar.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

constexpr const char* kUsage =
    "usage: kbepkg create -o OUT --payload FILE [--payload-app FILE] [--compress] [--sha512]\n"
    "                     [--key KEY --cert CERT [--chain PEM]... [--tsa-command CMD]]\n"
    "                     [--hostile VARIANT]...\n"
    "       kbepkg verify --team ID --anchors FOLDER --fingerprint SHA256 [--at SECONDS] PKG\n"
    "       kbepkg extract PKG NAME OUT\n"
    "\n"
    "create writes a package holding FILE as \"Payload\" (and \"Payload-app\"), signed with\n"
    "the PEM key and certificate, the PEM chain files as intermediates, and an RFC 3161 time\n"
    "stamp from CMD (run by /bin/sh with the DER query on standard input; its standard output\n"
    "is the DER reply). Hostile variants for tests: tampered-toc, appended-heap-data,\n"
    "second-signature, overlapping-ranges, duplicate-names, sha1,\n"
    "time-stamp-over-other-bytes, wrong-extracted-checksum.\n"
    "verify opens PKG as the updater does and validates its signatures for the team with the\n"
    "anchor of FOLDER pinned by its fingerprint, now or at SECONDS since 1970; it prints\n"
    "\"valid\" or why not. extract writes file NAME of PKG to OUT.\n";

constexpr int kUsageStatus = 64;

int usage() {
    std::fputs(kUsage, stderr);
    return kUsageStatus;
}

int failure(const std::string& text) {
    std::fprintf(stderr, "kbepkg: %s\n", text.c_str());
    return 1;
}

// Options as name -> values, and the operands left.
struct Arguments {
    std::multimap<std::string, std::string> options;
    std::vector<std::string> operands;
    bool bad = false;

    std::string value(const std::string& name) const {
        auto found = options.find(name);
        return found == options.end() ? std::string() : found->second;
    }
    std::vector<std::string> values(const std::string& name) const {
        std::vector<std::string> out;
        for (auto [it, end] = options.equal_range(name); it != end; ++it) {
            out.push_back(it->second);
        }
        return out;
    }
};

Arguments parse(int argc, char** argv, const std::vector<std::string>& flags) {
    Arguments parsed;
    for (int i = 2; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument.rfind("-", 0) != 0) {
            parsed.operands.push_back(argument);
        } else if (std::find(flags.begin(), flags.end(), argument) != flags.end()) {
            parsed.options.emplace(argument, "");
        } else if (i + 1 < argc) {
            parsed.options.emplace(argument, argv[++i]);
        } else {
            parsed.bad = true;
        }
    }
    return parsed;
}

std::optional<package::Bytes> readInput(const std::string& path, std::string* error) {
    files::Error readError;
    auto bytes = files::readFile(path, 512u * 1024 * 1024, files::Symlinks::Follow, &readError);
    if (!bytes) {
        *error = readError.text;
    }
    return bytes;
}

// Runs `command` with the query on standard input and reads its standard output.
package::TimeStamper commandTimeStamper(std::string command) {
    return [command](std::span<const std::uint8_t> query,
                     std::string* error) -> std::optional<package::Bytes> {
        std::string pattern = (std::filesystem::temp_directory_path() / "kbepkg-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            *error = "cannot make a temporary folder";
            return std::nullopt;
        }
        const std::filesystem::path folder = pattern;
        const std::string queryPath = folder / "query.tsq";
        const std::string replyPath = folder / "reply.tsr";
        std::optional<package::Bytes> reply;
        files::ReplaceOptions privateFile;
        privateFile.mode = 0600;
        if (files::replaceFile(queryPath, query, privateFile)) {
            posix_spawn_file_actions_t actions;
            posix_spawn_file_actions_init(&actions);
            posix_spawn_file_actions_addopen(&actions, 0, queryPath.c_str(), O_RDONLY, 0);
            posix_spawn_file_actions_addopen(&actions, 1, replyPath.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
            pid_t child = 0;
            int status = 0;
            if (posix_spawn(&child, "/bin/sh", &actions, nullptr, const_cast<char**>(argv),
                            environ) == 0 &&
                ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
                WEXITSTATUS(status) == 0) {
                reply = readInput(replyPath, error);
            } else {
                *error = "the time-stamp command failed: " + command;
            }
            posix_spawn_file_actions_destroy(&actions);
        }
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
        return reply;
    };
}

bool applyHostile(const std::string& name, package::PackageContents& made) {
    package::HostileVariants& hostile = made.hostile;
    const std::map<std::string, bool*> variants = {
        {"tampered-toc", &hostile.tamperedToc},
        {"appended-heap-data", &hostile.appendedHeapData},
        {"second-signature", &hostile.secondSignature},
        {"overlapping-ranges", &hostile.overlappingRanges},
        {"sha1", &hostile.sha1Checksum},
        {"time-stamp-over-other-bytes", &hostile.timeStampOverOtherBytes},
        {"wrong-extracted-checksum", &hostile.wrongExtractedChecksum},
    };
    if (name == "duplicate-names") {
        made.files.push_back(made.files.front());
        return true;
    }
    auto found = variants.find(name);
    if (found == variants.end()) {
        return false;
    }
    *found->second = true;
    return true;
}

int create(const Arguments& arguments) {
    const std::string out = arguments.value("-o");
    const std::string payload = arguments.value("--payload");
    if (out.empty() || payload.empty() || !arguments.operands.empty()) {
        return usage();
    }
    package::PackageContents made;
    made.checksum = arguments.options.count("--sha512") ? package::DigestAlgorithm::Sha512
                                                        : package::DigestAlgorithm::Sha256;
    const bool compress = arguments.options.count("--compress") > 0;
    std::string error;
    for (auto [name, path] : {std::pair<std::string, std::string>{"Payload", payload},
                              {"Payload-app", arguments.value("--payload-app")}}) {
        if (path.empty()) {
            continue;
        }
        auto contents = readInput(path, &error);
        if (!contents) {
            return failure(error);
        }
        made.files.push_back({name, std::move(*contents), compress});
    }
    if (!arguments.value("--key").empty() || !arguments.value("--cert").empty()) {
        package::PackageSigner signer;
        signer.key = package::loadPrivateKey(arguments.value("--key"), &error);
        auto certificate = signer.key ? package::loadCertificates(arguments.value("--cert"), &error)
                                      : std::nullopt;
        if (!certificate) {
            return failure(error);
        }
        signer.certificate = certificate->front();
        for (const std::string& path : arguments.values("--chain")) {
            auto chain = package::loadCertificates(path, &error);
            if (!chain) {
                return failure(error);
            }
            signer.chain.insert(signer.chain.end(), chain->begin(), chain->end());
        }
        if (!arguments.value("--tsa-command").empty()) {
            signer.timeStamper = commandTimeStamper(arguments.value("--tsa-command"));
        }
        made.signer = std::move(signer);
    }
    for (const std::string& name : arguments.values("--hostile")) {
        if (!applyHostile(name, made)) {
            return failure("unknown hostile variant " + name);
        }
    }
    auto bytes = package::buildPackage(made, &error);
    if (!bytes) {
        return failure(error);
    }
    files::Error writeError;
    files::ReplaceOptions asToolsCreate;
    asToolsCreate.umaskForNew = true;
    if (!files::replaceFile(out, *bytes, asToolsCreate, &writeError)) {
        return failure(writeError.text);
    }
    return 0;
}

int verify(const Arguments& arguments) {
    if (arguments.operands.size() != 1 || arguments.value("--anchors").empty()) {
        return usage();
    }
    std::string error;
    auto archive = package::XarArchive::open(arguments.operands[0], &error);
    if (!archive || !archive->verifyFileData(&error)) {
        return failure("cannot read the package: " + error);
    }
    if (archive->signatures().empty()) {
        return failure("the package is not signed");
    }
    auto anchor =
        package::findAnchor(arguments.value("--anchors"), arguments.value("--fingerprint"), &error);
    if (!anchor) {
        return failure(error);
    }
    auto now = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(dispatch::wallNow()));
    if (!arguments.value("--at").empty()) {
        now = std::chrono::system_clock::from_time_t(std::stoll(arguments.value("--at")));
    }
    std::string reason;
    for (std::size_t i = 0; i < archive->signatures().size(); ++i) {
        auto data = archive->signatureData(i, &reason);
        const auto certificates = package::parseCertificates(archive->signatures()[i].certificates);
        if (data && package::verifySignature(
                        {archive->signatures()[i].type, archive->signedData(), *data, certificates},
                        arguments.value("--team"), anchor.get(), now, &reason)) {
            std::puts("valid");
            return 0;
        }
    }
    return failure("invalid signature: " + reason);
}

int extract(const Arguments& arguments) {
    if (arguments.operands.size() != 3) {
        return usage();
    }
    std::string error;
    auto archive = package::XarArchive::open(arguments.operands[0], &error);
    if (!archive) {
        return failure("cannot read the package: " + error);
    }
    const std::string& out = arguments.operands[2];
    files::Descriptor descriptor =
        files::openFile(out, O_WRONLY | O_CREAT | O_TRUNC, 0644, files::Symlinks::DoNotFollow);
    if (!descriptor.valid()) {
        return failure("cannot open " + out);
    }
    if (!archive->extractFile(arguments.operands[1], descriptor.get(), &error)) {
        ::unlink(out.c_str());
        return failure(error);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return usage();
    }
    const std::string command = argv[1];
    const Arguments arguments = parse(argc, argv, {"--compress", "--sha512"});
    if (arguments.bad) {
        return usage();
    }
    if (command == "create") {
        return create(arguments);
    }
    if (command == "verify") {
        return verify(arguments);
    }
    if (command == "extract") {
        return extract(arguments);
    }
    return usage();
}
