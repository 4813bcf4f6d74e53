#include "common/VRNAuthorizationDatabase.h"

#include "common/VRNAuthorizationProtocol.h"
#include "platform/files/Files.h"
#include "platform/paths/Paths.h"
#include "platform/plist/Plist.h"
#include "platform/plist/Xml.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

bool isKnownClass(const plist::Value& definition) {
    const plist::Value* kind = definition.find("class");
    if (kind == nullptr || !kind->isString()) {
        return false;
    }
    const std::string& name = *kind->asString();
    return name == "rule" || name == "user" || name == "allow" || name == "deny";
}

enum class ReadOutcome { Read, Missing, Unusable, Unreadable };

ReadOutcome readDatabase(const std::string& path, plist::Dictionary* rights, std::string* why) {
    files::Error error;
    files::Descriptor fd = files::openFile(path, O_RDONLY, 0, files::Symlinks::DoNotFollow, &error);
    if (!fd.valid()) {
        *why = error.text;
        return error.number == ENOENT ? ReadOutcome::Missing : ReadOutcome::Unreadable;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *why = path + " is not a regular file";
        return ReadOutcome::Unusable;
    }
    if (st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        *why = path + " is not owned and written by root alone";
        return ReadOutcome::Unusable;
    }
    auto bytes = files::readAll(fd.get(), VRNAuthorizationDatabase::kSizeLimit, path, &error);
    if (!bytes) {
        *why = error.text;
        return ReadOutcome::Unreadable;
    }
    auto value = plist::read(*bytes, VRNAuthorizationDatabase::kSizeLimit, why);
    if (!value || !value->isDictionary()) {
        if (value) {
            *why = path + " does not hold a dictionary";
        }
        return ReadOutcome::Unusable;
    }
    *rights = *value->asDictionary();
    return ReadOutcome::Read;
}

} // namespace

VRNAuthorizationDatabase
VRNAuthorizationDatabase::inInstallation(const std::string& installationRoot) {
    return VRNAuthorizationDatabase(paths::locate(kProductPath, installationRoot));
}

std::optional<plist::Dictionary> VRNAuthorizationDatabase::rights(std::string* why) const {
    plist::Dictionary rights;
    std::string reason;
    switch (readDatabase(_path, &rights, &reason)) {
    case ReadOutcome::Read:
    case ReadOutcome::Missing:
        return rights;
    case ReadOutcome::Unusable:
    case ReadOutcome::Unreadable:
        break;
    }
    if (why) {
        *why = std::move(reason);
    }
    return std::nullopt;
}

std::optional<plist::Dictionary> VRNAuthorizationDatabase::right(const std::string& name) const {
    auto all = rights(nullptr);
    if (!all) {
        return std::nullopt;
    }
    auto found = all->find(name);
    if (found == all->end() || !found->second.isDictionary()) {
        return std::nullopt;
    }
    return *found->second.asDictionary();
}

bool VRNAuthorizationDatabase::setRights(const plist::Dictionary& definitions, Failures* failures,
                                         std::optional<int>* status) const {
    plist::Dictionary rights;
    std::string why;
    if (readDatabase(_path, &rights, &why) == ReadOutcome::Unreadable) {
        *status = VRNAuthorizationStatusInternal;
        return false;
    }
    std::vector<std::string> written;
    for (const auto& [name, definition] : definitions) {
        if (!isKnownClass(definition)) {
            failures->emplace_back(name, VRNAuthorizationStatusInvalidSet);
            continue;
        }
        rights.insert_or_assign(name, definition);
        written.push_back(name);
    }
    if (written.empty()) {
        return failures->empty();
    }
    auto text = plist::writeXml(plist::Value(std::move(rights)), &why);
    files::ReplaceOptions options;
    options.mode = 0644;
    if (!text || !files::replaceFile(_path, plist::bytesOf(*text), options)) {
        for (const std::string& name : written) {
            failures->emplace_back(name, VRNAuthorizationStatusInternal);
        }
    }
    return failures->empty();
}
