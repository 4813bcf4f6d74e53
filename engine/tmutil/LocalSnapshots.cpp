// The verbs of local snapshots: btrfs snapshots of the included folders' subvolumes.

#include "engine/core/Preferences.h"
#include "engine/core/Snapshots.h"
#include "engine/tmutil/Commands.h"
#include "engine/tmutil/Verbs.h"
#include "platform/calendar/Date.h"

#include <cstdio>
#include <set>
#include <sys/stat.h>

namespace tmutil {

namespace {

// The subvolume tops of the included folders that are on btrfs. Each folder that is not
// is named on standard output and makes `allOnBtrfs` false.
std::set<std::string> includedSubvolumes(bool* allOnBtrfs, std::vector<std::string>* problems) {
    std::set<std::string> tops;
    for (const std::string& folder : engine::Preferences().includedFolders()) {
        struct stat st {};
        if (::stat(folder.c_str(), &st) != 0) {
            continue;
        }
        std::string problem;
        if (const auto top = engine::subvolumeTop(folder, &problem)) {
            tops.insert(*top);
        } else if (problem.empty()) {
            std::printf("%s is not on a btrfs file system.\n", folder.c_str());
            *allOnBtrfs = false;
        } else {
            problems->push_back(problem);
        }
    }
    return tops;
}

double unixNow() {
    return cal::unixTimeFromDate(cal::now());
}

} // namespace

int snapshot(const Arguments& args) {
    if (!args.empty()) {
        return usage();
    }
    bool allOnBtrfs = true;
    std::vector<std::string> problems;
    const std::set<std::string> tops = includedSubvolumes(&allOnBtrfs, &problems);
    const double now = unixNow();
    for (const std::string& top : tops) {
        std::string problem;
        const std::optional<std::string> name = engine::createSnapshot(top, now, &problem);
        if (!name) {
            problems.push_back(problem);
            continue;
        }
        std::printf("Created local snapshot with date: %s (%s)\n", name->c_str(), top.c_str());
        for (const std::string& deleted : engine::thinSnapshots(top, now, *name, &problems)) {
            std::printf("Deleted local snapshot '%s' (%s)\n", deleted.c_str(), top.c_str());
        }
    }
    for (const std::string& problem : problems) {
        fail(problem);
    }
    return allOnBtrfs && problems.empty() ? 0 : kExitFailure;
}

int listLocalSnapshots(const Arguments& args) {
    if (args.size() != 1 || !args[0].starts_with("/")) {
        return usage();
    }
    const std::string mountPoint(args[0]);
    std::string problem;
    const std::optional<std::string> top = engine::subvolumeTop(mountPoint, &problem);
    if (!top) {
        return fail(problem.empty() ? mountPoint + " is not on a btrfs file system" : problem);
    }
    std::printf("Snapshots for subvolume %s:\n", top->c_str());
    for (const engine::LocalSnapshot& snapshot : engine::listSnapshots(*top)) {
        if (snapshot.size) {
            std::printf("%s  %llu\n", snapshot.name.c_str(),
                        static_cast<unsigned long long>(*snapshot.size));
        } else {
            std::printf("%s  --\n", snapshot.name.c_str());
        }
    }
    return 0;
}

int deleteLocalSnapshots(const Arguments& args) {
    if (args.size() != 1) {
        return usage();
    }
    const std::string date(args[0]);
    if (!engine::snapshotDate(date)) {
        return fail("\"" + date + "\" is not a snapshot date (YYYY-MM-DD-HHMMSS)");
    }
    bool allOnBtrfs = true;
    std::vector<std::string> problems;
    bool found = false;
    for (const std::string& top : includedSubvolumes(&allOnBtrfs, &problems)) {
        for (const engine::LocalSnapshot& snapshot : engine::listSnapshots(top)) {
            if (snapshot.name != date) {
                continue;
            }
            found = true;
            std::string problem;
            if (engine::deleteSnapshot(snapshot, &problem)) {
                std::printf("Deleted local snapshot '%s' (%s)\n", date.c_str(), top.c_str());
            } else {
                problems.push_back(problem);
            }
        }
    }
    for (const std::string& problem : problems) {
        fail(problem);
    }
    if (!found && problems.empty()) {
        return fail("no local snapshot with date " + date);
    }
    return problems.empty() ? 0 : kExitFailure;
}

} // namespace tmutil
