#pragma once

#include "engine/log/JournalSource.h"

#include <sys/types.h>
#include <vector>

namespace logtool {

// Whether the journal is there to be read: its daemon's socket exists (below the
// installation root in test builds). Without it the product's messages never reached a
// journal, and the programs' log files hold them.
bool journalRunning();

// Whether a user with these ids may read the system journal: root, or a member of "adm"
// or "systemd-journal" (the groups the journal's files are readable by).
bool mayReadSystemJournal(uid_t effectiveUser, gid_t effectiveGroup,
                          const std::vector<gid_t>& groups);
bool mayReadSystemJournal();

// The machine's journal, or with an installation root the journal files in its
// /var/log/journal.
JournalLocation journalLocation();

} // namespace logtool
