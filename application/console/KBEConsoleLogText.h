#pragma once

#include "application/console/KBEConsoleStyle.h"
#include "platform/calendar/Date.h"

#include <QTextDocument>
#include <memory>
#include <string_view>

// The console's text, made from what the log tools print. Both run off the user-interface
// thread; the document belongs to the calling thread until it is moved to the window's.

// The unified log's entries ("log show --style json": an array of objects). Each entry is
// one line: its time (plain), its source (blue) and its message in the colour of its level.
// The product's own entries are named after their program, the backup engine's "Time
// Machine"; the engine's thermal pressure reports are left out. Output that is not such an
// array logs "Failed to read logs. %@" and gives empty text.
std::unique_ptr<QTextDocument> KBEConsoleTextForLogEntries(std::string_view json,
                                                           const KBEConsoleStyle& style);

// The legacy back end's records ("syslog" lines: "MMM dd HH:mm:ss host program[pid] <Type>:
// message"): the backup engine worker's messages as plain "<date>: <message>" lines, each
// backup after an empty line. The lines carry no year: a record's year is the latest one that
// does not put it more than a day after `now`.
std::unique_ptr<QTextDocument> KBEConsoleTextForLegacyRecords(std::string_view lines,
                                                              cal::Date now);
