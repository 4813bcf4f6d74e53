#pragma once

#include "ctl/KBECtl.h"

#include <span>

// A command handler: the arguments from the command word on; the result is the exit status.
using KBECtlHandler = int (*)(KBECtl& ctl, int argc, char** argv);

// One row of the command table. Rows without a name are separators.
struct KBECtlCommand {
    const char* name;
    const char* arguments;
    const char* description;
    KBECtlHandler handler;
    bool requiresRoot;
    bool rootToChange; // only a note in the usage text
    bool hidden;       // listed only in the full usage
};

// The table, walked in order for dispatch and for the usage text.
std::span<const KBECtlCommand> KBECtlCommands();

// The usage text on standard output; `full` includes the hidden rows.
void KBECtlPrintUsage(KBECtl& ctl, bool full);

// The handlers that run programs rather than send messages (KBECtlTools.cpp).
int KBECtlUninstallCommand(KBECtl& ctl, int argc, char** argv);
int KBECtlDetachedUninstallCommand(KBECtl& ctl, int argc, char** argv);
int KBECtlLogCommand(KBECtl& ctl, int argc, char** argv);
int KBECtlDebugLogsCommand(KBECtl& ctl, int argc, char** argv);
int KBECtlUpdateCommand(KBECtl& ctl, int argc, char** argv);
