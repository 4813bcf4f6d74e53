#include "engine/installer/Installer.h"

#include "common/VRNLog.h"
#include "engine/installer/Tool.h"
#include "platform/files/Files.h"
#include "platform/paths/Paths.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace installer {

namespace {

constexpr const char* kDpkg = "/usr/bin/dpkg";
constexpr const char* kDpkgDeb = "/usr/bin/dpkg-deb";
constexpr const char* kDpkgQuery = "/usr/bin/dpkg-query";

bool fail(std::string* failure, std::string text) {
    *failure = std::move(text);
    return false;
}

// The tools' output, line by line; blank lines are left out.
void logToolLine(std::string_view line) {
    if (!line.empty()) {
        VRNLog(VRNLogLevelDefault, "%@", std::string(line));
    }
}

// A folder only root can enter, below the system's temporary folder, removed with what it
// holds when the installation ends: the extracted packages stay where nobody else can
// change them between the checks and dpkg.
class PrivateFolder {
public:
    PrivateFolder() = default;
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;
    ~PrivateFolder() {
        if (!path_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(path_, ignored);
        }
    }

    bool create(std::string* failure) {
        const std::string parent = paths::path("/tmp");
        std::string pattern = parent + "/keelbrook-installer.XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            return fail(failure, "Could not create a private folder in " + parent + ": " +
                                     std::strerror(errno) + ".");
        }
        path_ = pattern;
        files::Error error;
        descriptor_ =
            files::openFile(path_, O_RDONLY | O_DIRECTORY, 0, files::Symlinks::DoNotFollow, &error);
        // mkdtemp's mode is narrowed by the umask; the folder must be exactly 0700.
        if (!descriptor_.valid() || ::fchmod(descriptor_.get(), 0700) != 0) {
            return fail(failure, "Could not create a private folder in " + parent + ": " +
                                     (error.text.empty() ? std::strerror(errno) : error.text) +
                                     ".");
        }
        return true;
    }

    const std::string& path() const { return path_; }
    int descriptor() const { return descriptor_.get(); }

private:
    std::string path_;
    files::Descriptor descriptor_;
};

struct DebianPackage {
    std::string payload; // the package file it came from
    std::string path;
    std::string name;
    std::string version;
};

// Writes the package file `payload` to `fileName` in the folder, its checksums checked.
bool extract(const package::XarArchive& archive, const std::string& payload,
             const PrivateFolder& folder, const std::string& fileName, DebianPackage* deb,
             std::string* failure) {
    files::Error error;
    files::Descriptor out =
        files::openFileAt(folder.descriptor(), fileName, O_WRONLY | O_CREAT | O_EXCL, 0600,
                          files::Symlinks::DoNotFollow, &error);
    std::string problem;
    if (out.valid() && archive.extractFile(payload, out.get(), &problem) && out.close(&error)) {
        deb->payload = payload;
        deb->path = folder.path() + "/" + fileName;
        return true;
    }
    if (problem.empty()) {
        problem = error.text; // opening or closing failed
    }
    return fail(failure, "Could not extract " + payload + ": " + problem + ".");
}

// The package's name and version from its control file.
bool readControlFields(DebianPackage* deb, std::string* failure) {
    const ToolResult result =
        runTool({kDpkgDeb, "-f", deb->path, "Package", "Version"}, Output::Capture, logToolLine);
    if (!result.succeeded()) {
        return fail(failure, deb->payload +
                                 " is not a Debian package (dpkg-deb: " + result.outcome() + ").");
    }
    // Exactly "Package: <name>" and "Version: <version>", each on one line.
    std::string_view rest = result.output;
    while (!result.truncated && !rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (line.starts_with("Package: ") && deb->name.empty()) {
            deb->name = line.substr(9);
        } else if (line.starts_with("Version: ") && deb->version.empty()) {
            deb->version = line.substr(9);
        } else {
            deb->name.clear();
            break;
        }
    }
    if (deb->name.empty() || deb->version.empty()) {
        return fail(failure, deb->payload + " has no readable package name and version.");
    }
    return true;
}

std::vector<std::string> databaseArguments(const Request& request) {
    if (request.root.empty()) {
        return {};
    }
    return {"--admindir=" + request.root + "/var/lib/dpkg"};
}

// The installed version of the package `name`; none when it is not installed (unknown to
// the database, or removed with only its configuration files left).
bool installedVersion(const Request& request, const std::string& name,
                      std::optional<std::string>* version, std::string* failure) {
    std::vector<std::string> args{kDpkgQuery};
    for (std::string& argument : databaseArguments(request)) {
        args.push_back(std::move(argument));
    }
    args.insert(args.end(), {"-W", "-f=${db:Status-Status}\\n${Version}\\n", name});
    // Its errors are logged only when the query fails: "no packages found" is an answer.
    std::vector<std::string> errors;
    const ToolResult result =
        runTool(args, Output::Capture, [&](std::string_view line) { errors.emplace_back(line); });
    version->reset();
    if (result.startError == 0 && result.signal == 0 && result.exitStatus == 1) {
        return true; // "no packages found matching"
    }
    const std::size_t end = result.output.find('\n');
    if (!result.succeeded() || result.truncated || end == std::string::npos) {
        for (const std::string& line : errors) {
            logToolLine(line);
        }
        return fail(failure, "Could not read the installed version of " + name +
                                 " (dpkg-query: " + result.outcome() + ").");
    }
    const std::string status = result.output.substr(0, end);
    std::string installed = result.output.substr(end + 1);
    if (!installed.empty() && installed.back() == '\n') {
        installed.pop_back();
    }
    if (status != "not-installed" && status != "config-files" && !installed.empty()) {
        *version = std::move(installed);
    }
    return true;
}

// Whether `a <relation> b` holds in dpkg's order of versions; none when dpkg refuses one.
std::optional<bool> compareVersions(const std::string& a, const char* relation,
                                    const std::string& b) {
    const ToolResult result =
        runTool({kDpkg, "--compare-versions", a, relation, b}, Output::Capture, logToolLine);
    if (result.startError != 0 || result.signal != 0 ||
        (result.exitStatus != 0 && result.exitStatus != 1)) {
        return std::nullopt;
    }
    return result.exitStatus == 0;
}

// Refuses a package that is not newer than the installed one of its name.
bool checkNewer(const DebianPackage& deb, const std::optional<std::string>& installed,
                std::string* failure) {
    if (!installed) {
        VRNLog(VRNLogLevelInfo, "%@ is not installed; %@ installs version %@.", deb.name,
               deb.payload, deb.version);
        return true;
    }
    const std::optional<bool> newer = compareVersions(deb.version, "gt", *installed);
    if (!newer) {
        return fail(failure, "Could not compare " + deb.payload + "'s version " + deb.version +
                                 " with the installed version " + *installed + " of " + deb.name +
                                 ".");
    }
    if (!*newer) {
        return fail(failure, deb.payload + "'s version " + deb.version +
                                 " is not newer than the installed version " + *installed + " of " +
                                 deb.name + ".");
    }
    return true;
}

bool checkName(const DebianPackage& deb, const char* expected, std::string* failure) {
    if (deb.name != expected) {
        return fail(failure,
                    deb.payload + " is the package '" + deb.name + "', not '" + expected + "'.");
    }
    return true;
}

// Extracts and checks Payload-app when the package has it and the application is installed.
bool addApplication(const Request& request, const package::XarArchive& archive,
                    const PrivateFolder& folder, std::vector<DebianPackage>* debs,
                    std::string* failure) {
    if (archive.file(kApplicationPayload) == nullptr) {
        return true;
    }
    std::optional<std::string> installed;
    if (!installedVersion(request, kApplicationPackage, &installed, failure)) {
        return false;
    }
    if (!installed) {
        VRNLog(VRNLogLevelInfo, "%s is not installed; %s is left out.", kApplicationPackage,
               kApplicationPayload);
        return true;
    }
    DebianPackage app;
    if (!extract(archive, kApplicationPayload, folder, "keelbrook-app.deb", &app, failure) ||
        !readControlFields(&app, failure) || !checkName(app, kApplicationPackage, failure)) {
        return false;
    }
    // The application belongs to the product of the same version.
    const DebianPackage& product = debs->front();
    const std::optional<bool> same = compareVersions(app.version, "eq", product.version);
    if (!same || !*same) {
        return fail(failure, app.payload + "'s version " + app.version + " is not " +
                                 product.payload + "'s version " + product.version + ".");
    }
    if (!checkNewer(app, installed, failure)) {
        return false;
    }
    debs->push_back(std::move(app));
    return true;
}

// One dpkg call for every package, its output in the log.
bool runDpkg(const Request& request, const std::vector<DebianPackage>& debs, std::string* failure) {
    if (::geteuid() != 0) {
        return fail(failure, "The installer must run as root.");
    }
    std::vector<std::string> args{kDpkg};
    for (std::string& argument : databaseArguments(request)) {
        args.push_back(std::move(argument));
    }
    if (!request.root.empty()) {
        args.push_back("--instdir=" + request.root);
        args.push_back("--log=" + request.root + "/var/log/dpkg.log");
    }
    args.insert(args.end(), {"--force-confdef", "--force-confold", "-i"});
    std::string names;
    for (const DebianPackage& deb : debs) {
        args.push_back(deb.path);
        names += (names.empty() ? "" : ", ") + deb.name + " " + deb.version;
    }
    VRNLog(VRNLogLevelDefault, "Installing %@ with dpkg.", names);
    const ToolResult result = runTool(args, Output::Lines, logToolLine);
    if (!result.succeeded()) {
        return fail(failure, "dpkg could not install " + names + " (" + result.outcome() + ").");
    }
    *failure = "Installed " + names + ".";
    return true;
}

} // namespace

bool install(const Request& request, std::string* failure) {
    VRNLog(VRNLogLevelDefault, "Installing package %@.", request.packagePath);
    VRNError error(VRNInstallerPackageErrorDomain, VRNInstallerPackageErrorCannotRead);
    auto package =
        VRNInstallerPackage::initWithFileAtURL(request.packagePath, &error, request.trust);
    if (!package || !package->validateSignaturesWithTeamID(kTeamIdentifier, &error)) {
        return fail(failure, VRNError::localizedDescriptionForError(error));
    }
    const package::XarArchive& archive = package->archive();
    if (archive.file(kPayload) == nullptr) {
        return fail(failure, std::string("The package has no ") + kPayload + ".");
    }
    PrivateFolder folder;
    std::vector<DebianPackage> debs(1);
    std::optional<std::string> installed;
    if (!folder.create(failure) ||
        !extract(archive, kPayload, folder, "keelbrook.deb", &debs.front(), failure) ||
        !readControlFields(&debs.front(), failure) ||
        !checkName(debs.front(), kProductPackage, failure) ||
        !installedVersion(request, kProductPackage, &installed, failure) ||
        !checkNewer(debs.front(), installed, failure) ||
        !addApplication(request, archive, folder, &debs, failure)) {
        return false;
    }
    return runDpkg(request, debs, failure);
}

} // namespace installer
