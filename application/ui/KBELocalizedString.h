#pragma once

#include <QString>

// The application's user-visible text for `key`. The application ships in English only: a
// key is its own text unless the string table below gives another one.
QString KBELocalizedString(const char* key);
