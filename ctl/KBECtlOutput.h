#pragma once

#include "platform/plist/Value.h"

#include <cstdio>
#include <string_view>

// The yes/no rule of arguments: after leading white space, an optional sign and leading
// zeros, a first character of "Y", "y", "T", "t" or 1-9 is yes; anything else is no.
bool KBECtlBoolValue(std::string_view word);

// A dictionary on standard output: with `option` "-x" as an XML property list, with "-j" as
// pretty-printed JSON (both raw, no newline added, nothing when it cannot be written);
// otherwise its old-style text and a newline.
void KBECtlPrintDictionary(std::FILE* out, const plist::Dictionary& dictionary,
                           std::string_view option);

// An activity's information: its last run and try and what it does next, dates in the
// user's locale (short date, short time).
void KBECtlPrintInfo(std::FILE* out, const plist::Dictionary* activity);
