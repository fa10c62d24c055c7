#pragma once

#include <cstdint>
#include <string>

namespace wp {

// The kinds of key below the product root. Any other value is invalid.
enum class RegistryKey : std::int32_t {
    Root = 0,            // the product root itself
    Settings = 1,        // "\Settings"
    Statistics = 2,      // "\Statistics"
    Updates = 3,         // "\updates"
    Modules = 4,         // "\modules"
    PlugIns = 5,         // "\HXQ2\Plug-Ins"
    RebootRequested = 6, // "\RebootRequested"
};

// The key of that kind below the current product root (relative to HKEY_LOCAL_MACHINE),
// followed by "\" + name when name is not empty. An invalid kind logs an Error and
// answers an empty string.
std::wstring GetRegistryPath(RegistryKey kind, const std::wstring& name = std::wstring());

} // namespace wp

// Opens HKEY_LOCAL_MACHINE\keyName in the given view (KEY_WOW64_64KEY or
// KEY_WOW64_32KEY) and flushes it to disk; every outcome is one log line.
void flushRegistryKeyByName(const std::wstring& keyName, std::uint32_t viewFlag);

// Flushes SOFTWARE (64-bit view), SYSTEM (64-bit view) and SOFTWARE (32-bit view), in
// that order; a failure does not stop the next flush.
void flushRegistryHives();
