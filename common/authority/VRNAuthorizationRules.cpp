#include "common/authority/VRNAuthorizationRules.h"

#include <algorithm>
#include <grp.h>
#include <pwd.h>
#include <vector>

namespace {

// Rules naming rights that name rights: deeper chains are denied (and loops end).
constexpr int kMaximumRuleDepth = 8;

// getpwnam_r and friends with a buffer that grows until the entry fits.
template <class Entry, class Lookup>
bool lookUp(Lookup lookup, Entry* entry, std::vector<char>* buffer) {
    buffer->resize(1024);
    for (;;) {
        Entry* result = nullptr;
        const int status = lookup(entry, buffer->data(), buffer->size(), &result);
        if (status == ERANGE && buffer->size() < (std::size_t{1} << 20)) {
            buffer->resize(buffer->size() * 2);
            continue;
        }
        return status == 0 && result != nullptr;
    }
}

class SystemDirectory final : public VRNAuthorityDirectory {
public:
    std::optional<std::string> userNameForUser(uid_t uid) override {
        passwd entry{};
        std::vector<char> buffer;
        if (!lookUp<passwd>([uid](passwd* e, char* b, std::size_t n,
                                  passwd** r) { return ::getpwuid_r(uid, e, b, n, r); },
                            &entry, &buffer)) {
            return std::nullopt;
        }
        return std::string(entry.pw_name);
    }
    bool groupExists(const std::string& group) override {
        struct group entry {};
        std::vector<char> buffer;
        return lookUpGroup(group, &entry, &buffer);
    }
    bool isMemberOfGroup(const std::string& user, const std::string& group) override {
        struct group groupEntry {};
        std::vector<char> groupBuffer;
        if (!lookUpGroup(group, &groupEntry, &groupBuffer)) {
            return false;
        }
        for (char** member = groupEntry.gr_mem; member && *member; ++member) {
            if (user == *member) {
                return true;
            }
        }
        passwd userEntry{};
        std::vector<char> userBuffer;
        return lookUp<passwd>(
                   [&user](passwd* e, char* b, std::size_t n, passwd** r) {
                       return ::getpwnam_r(user.c_str(), e, b, n, r);
                   },
                   &userEntry, &userBuffer) &&
               userEntry.pw_gid == groupEntry.gr_gid;
    }

private:
    static bool lookUpGroup(const std::string& name, struct group* entry,
                            std::vector<char>* buffer) {
        return lookUp<struct group>(
            [&name](struct group* e, char* b, std::size_t n, struct group** r) {
                return ::getgrnam_r(name.c_str(), e, b, n, r);
            },
            entry, buffer);
    }
};

using Kind = VRNRightOutcome::Kind;

VRNRightOutcome evaluate(const std::string& name, const plist::Dictionary& rights,
                         const VRNAuthorizationSubject& subject, VRNAuthorityDirectory& directory,
                         int depth);

VRNRightOutcome evaluateRule(const std::string& rule, const plist::Dictionary& rights,
                             const VRNAuthorizationSubject& subject,
                             VRNAuthorityDirectory& directory, int depth) {
    if (rule == "is-root") {
        return {subject.uid == 0 ? Kind::Granted : Kind::Denied, {}};
    }
    if (rule == "is-admin") {
        const auto group = VRNAdministratorsGroup(directory);
        const auto user = directory.userNameForUser(subject.uid);
        const bool admin = group && user && directory.isMemberOfGroup(*user, *group);
        return {admin ? Kind::Granted : Kind::Denied, {}};
    }
    return evaluate(rule, rights, subject, directory, depth + 1);
}

VRNRightOutcome evaluateRuleClass(const plist::Dictionary& definition,
                                  const plist::Dictionary& rights,
                                  const VRNAuthorizationSubject& subject,
                                  VRNAuthorityDirectory& directory, int depth) {
    std::vector<std::string> rules;
    auto rule = definition.find("rule");
    if (rule != definition.end() && rule->second.isString()) {
        rules.push_back(*rule->second.asString());
    } else if (rule != definition.end() && rule->second.isArray()) {
        for (const plist::Value& entry : *rule->second.asArray()) {
            if (!entry.isString()) {
                return {};
            }
            rules.push_back(*entry.asString());
        }
    }
    if (rules.empty()) {
        return {};
    }
    std::int64_t needed = static_cast<std::int64_t>(rules.size());
    if (auto k = definition.find("k-of-n"); k != definition.end()) {
        auto value = k->second.isInteger() ? k->second.asInteger() : std::nullopt;
        if (!value || *value < 1) {
            return {};
        }
        needed = std::min(*value, needed);
    }
    std::int64_t granted = 0;
    std::optional<VRNRightOutcome> wanting;
    for (const std::string& name : rules) {
        VRNRightOutcome outcome = evaluateRule(name, rights, subject, directory, depth);
        if (outcome.kind == Kind::Granted && ++granted >= needed) {
            return outcome;
        }
        if (outcome.kind == Kind::NeedsCredential && !wanting) {
            wanting = outcome;
        }
    }
    return wanting ? *wanting : VRNRightOutcome{};
}

VRNRightOutcome evaluateUserClass(const plist::Dictionary& definition,
                                  const VRNAuthorizationSubject& subject,
                                  VRNAuthorityDirectory& directory) {
    auto named = definition.find("group");
    if (named == definition.end() || !named->second.isString()) {
        return {};
    }
    auto group = VRNResolvedGroup(*named->second.asString(), directory);
    if (!group) {
        return {};
    }
    std::optional<dispatch::Duration> timeout;
    if (auto value = definition.find("timeout"); value != definition.end()) {
        auto seconds = value->second.isNumber() ? value->second.asInteger() : std::nullopt;
        if (!seconds || *seconds < 0) {
            return {};
        }
        timeout = std::chrono::seconds(*seconds);
    }
    const auto& credential = subject.credential;
    if (credential && directory.isMemberOfGroup(credential->user, *group) &&
        (!timeout || subject.now - credential->obtained < *timeout)) {
        return {Kind::Granted, {}};
    }
    return {Kind::NeedsCredential, *group};
}

VRNRightOutcome evaluate(const std::string& name, const plist::Dictionary& rights,
                         const VRNAuthorizationSubject& subject, VRNAuthorityDirectory& directory,
                         int depth) {
    auto found = rights.find(name);
    if (depth > kMaximumRuleDepth || found == rights.end() || !found->second.isDictionary()) {
        return {};
    }
    const plist::Dictionary& definition = *found->second.asDictionary();
    auto kind = definition.find("class");
    if (kind == definition.end() || !kind->second.isString()) {
        return {};
    }
    const std::string& className = *kind->second.asString();
    if (className == "rule") {
        return evaluateRuleClass(definition, rights, subject, directory, depth);
    }
    if (className == "user") {
        return evaluateUserClass(definition, subject, directory);
    }
    if (className == "allow") {
        return {Kind::Granted, {}};
    }
    return {};
}

} // namespace

std::shared_ptr<VRNAuthorityDirectory> VRNAuthorityDirectory::system() {
    return std::make_shared<SystemDirectory>();
}

std::optional<std::string> VRNAdministratorsGroup(VRNAuthorityDirectory& directory) {
    for (const char* group : {"admin", "sudo", "wheel"}) {
        if (directory.groupExists(group)) {
            return std::string(group);
        }
    }
    return std::nullopt;
}

std::optional<std::string> VRNResolvedGroup(const std::string& group,
                                            VRNAuthorityDirectory& directory) {
    if (group == "admin") {
        return VRNAdministratorsGroup(directory);
    }
    if (directory.groupExists(group)) {
        return group;
    }
    return std::nullopt;
}

VRNRightOutcome VRNEvaluateRight(const std::string& name, const plist::Dictionary& rights,
                                 const VRNAuthorizationSubject& subject,
                                 VRNAuthorityDirectory& directory) {
    return evaluate(name, rights, subject, directory, 0);
}
