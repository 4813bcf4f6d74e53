#pragma once

#include <string>

// The product's name and identifier, derived from a process name such as
// "com.vornhal.keelbrook.scheduler" (name "keelbrook", identifier "com.vornhal.keelbrook").
namespace VRNProcessInfo {

// The third "."-separated part when there are three or more; else the whole name.
std::string productName(const std::string& processName);
// The first three parts joined with "." when there are more than three; else the whole name.
std::string productIdentifier(const std::string& processName);

// The same for the running process.
std::string productName();
std::string productIdentifier();

} // namespace VRNProcessInfo
