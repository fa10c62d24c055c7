#pragma once

#include <windows.h>

#include <string>

// The logging settings below HKLM\SOFTWARE\Korvane\Zarn\Logging (always the 32-bit
// registry view). Every reader falls back to its default silently.
namespace KvZarnLogging {

inline constexpr wchar_t LoggingKeyPath[] = L"SOFTWARE\\Korvane\\Zarn\\Logging";

enum class RootKind { Machine, User, LowIntegrityUser };

// "LogLevel" looked up below Logging\<component>\<fileStem>, Logging\<component>
// (where 0xFFFFFFFF counts as absent) and Logging itself.
int readLogLevel(const std::wstring& component, const std::wstring& fileStem, int defaultLevel);
// "LogMaxSizeKB" (default 50) times 1024.
unsigned long long readMaxSize(const std::wstring& component, const std::wstring& fileStem);
// "DebugOutputLogging" is nonzero (default 0).
bool readDebugOutput(const std::wstring& component, const std::wstring& fileStem);

// The directory below which "\Korvane\..." is placed for a root kind: "RootPath",
// then the Shell Folders entry, then the environment (machine and user); the
// LocalLow Shell Folders entry for a low-integrity user. Possibly empty.
std::wstring readLoggingRoot(RootKind kind);

// A REG_SZ or REG_EXPAND_SZ value (not expanded) without its terminating NUL;
// empty when the key or value is missing or has another type.
std::wstring readRegistryString(HKEY hive, const std::wstring& keyPath, const wchar_t* valueName,
                                REGSAM extraAccess);
// A REG_DWORD value, or defaultValue when missing or of another type.
DWORD readRegistryDword(HKEY hive, const std::wstring& keyPath, const wchar_t* valueName, REGSAM extraAccess,
                        DWORD defaultValue);
// ExpandEnvironmentStringsW; empty on failure and beyond 32,767 characters with the NUL.
std::wstring expandEnvironment(const std::wstring& text);

} // namespace KvZarnLogging
