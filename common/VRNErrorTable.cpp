#include "common/VRNErrorTable.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

namespace {

struct Registry {
    std::mutex lock;
    std::map<std::string_view, VRNErrorTable> tables;
};

// Built on first use, whichever static registration comes first, and never destroyed, so
// that errors created while the process exits still find their texts.
Registry& registry() {
    static Registry* const shared = new Registry;
    return *shared;
}

} // namespace

const VRNErrorCode* VRNErrorTable::find(long code) const {
    for (const VRNErrorCode& entry : codes) {
        if (entry.code == code) {
            return &entry;
        }
    }
    return nullptr;
}

void VRNErrorTables::add(const VRNErrorTable& table) {
    Registry& shared = registry();
    std::lock_guard guard(shared.lock);
    if (!shared.tables.emplace(table.domain, table).second) {
        std::fprintf(stderr, "VRNError: the error domain %s is registered twice\n", table.domain);
        std::abort();
    }
}

const VRNErrorTable* VRNErrorTables::find(std::string_view domain) {
    Registry& shared = registry();
    std::lock_guard guard(shared.lock);
    auto found = shared.tables.find(domain);
    return found == shared.tables.end() ? nullptr : &found->second;
}

const VRNErrorCode* VRNErrorTables::find(std::string_view domain, long code) {
    const VRNErrorTable* table = find(domain);
    return table ? table->find(code) : nullptr;
}
