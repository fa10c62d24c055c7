#include <windows.h>

#include "kvtl/Handle.h"
#include "logging/Config.h"

#include <vector>

namespace KvZarnLogging {

namespace {

constexpr REGSAM View32 = KEY_WOW64_32KEY;
constexpr DWORD Absent = 0xFFFFFFFF;
constexpr wchar_t ShellFoldersPath[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
constexpr wchar_t LocalLowFolder[] = L"{A520A1A4-1780-4FF6-BD18-167343C5AF16}";

bool queryDword(HKEY hive, const std::wstring& keyPath, const wchar_t* valueName, REGSAM extraAccess,
                DWORD& value) {
    kv::UniqueHkey key;
    if (::RegOpenKeyExW(hive, keyPath.c_str(), 0, extraAccess | KEY_QUERY_VALUE, key.put()) !=
        ERROR_SUCCESS) {
        return false;
    }
    DWORD type = REG_NONE;
    DWORD data = 0;
    DWORD size = sizeof(data);
    if (::RegQueryValueExW(key.get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof(data)) {
        return false;
    }
    value = data;
    return true;
}

// The most specific setting wins: the file's, then the component's (both only
// when not 0xFFFFFFFF), then the one for all components.
DWORD lookupDword(const std::wstring& component, const std::wstring& fileStem, const wchar_t* valueName,
                  DWORD defaultValue) {
    const std::wstring root = LoggingKeyPath;
    const std::wstring componentKey = root + L"\\" + component;
    for (const std::wstring& path : {componentKey + L"\\" + fileStem, componentKey}) {
        DWORD value = 0;
        if (queryDword(HKEY_LOCAL_MACHINE, path, valueName, View32, value) && value != Absent) {
            return value;
        }
    }
    return readRegistryDword(HKEY_LOCAL_MACHINE, root, valueName, View32, defaultValue);
}

std::wstring firstNonEmpty(std::wstring value, HKEY hive, const wchar_t* shellFolder,
                           const wchar_t* environmentText) {
    if (value.empty()) {
        value = readRegistryString(hive, ShellFoldersPath, shellFolder, 0);
    }
    if (value.empty()) {
        value = expandEnvironment(environmentText);
    }
    return value;
}

} // namespace

int readLogLevel(const std::wstring& component, const std::wstring& fileStem, int defaultLevel) {
    return static_cast<int>(lookupDword(component, fileStem, L"LogLevel", static_cast<DWORD>(defaultLevel)));
}

unsigned long long readMaxSize(const std::wstring& component, const std::wstring& fileStem) {
    return static_cast<unsigned long long>(lookupDword(component, fileStem, L"LogMaxSizeKB", 50)) * 1024;
}

bool readDebugOutput(const std::wstring& component, const std::wstring& fileStem) {
    return lookupDword(component, fileStem, L"DebugOutputLogging", 0) != 0;
}

std::wstring readLoggingRoot(RootKind kind) {
    switch (kind) {
        case RootKind::Machine:
            return firstNonEmpty(readRegistryString(HKEY_LOCAL_MACHINE, LoggingKeyPath, L"RootPath", View32),
                                 HKEY_LOCAL_MACHINE, L"Common AppData", L"%ProgramData%");
        case RootKind::User:
            return firstNonEmpty(readRegistryString(HKEY_CURRENT_USER, LoggingKeyPath, L"RootPath", View32),
                                 HKEY_CURRENT_USER, L"Local AppData", L"%LOCALAPPDATA%");
        case RootKind::LowIntegrityUser:
            return readRegistryString(HKEY_CURRENT_USER, ShellFoldersPath, LocalLowFolder, 0);
    }
    return {};
}

std::wstring readRegistryString(HKEY hive, const std::wstring& keyPath, const wchar_t* valueName,
                                REGSAM extraAccess) {
    kv::UniqueHkey key;
    if (::RegOpenKeyExW(hive, keyPath.c_str(), 0, extraAccess | KEY_QUERY_VALUE, key.put()) !=
        ERROR_SUCCESS) {
        return {};
    }
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (::RegQueryValueExW(key.get(), valueName, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        return {};
    }
    // An odd byte count gets a whole last character; one spare keeps the buffer non-empty.
    std::vector<wchar_t> buffer((size + 1) / 2 + 1, L'\0');
    DWORD bytes = static_cast<DWORD>((buffer.size() - 1) * sizeof(wchar_t));
    if (::RegQueryValueExW(key.get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                           &bytes) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        return {};
    }
    std::wstring text(buffer.data(), bytes / sizeof(wchar_t));
    if (!text.empty() && text.back() == L'\0') {
        text.pop_back();
    }
    return text;
}

DWORD readRegistryDword(HKEY hive, const std::wstring& keyPath, const wchar_t* valueName, REGSAM extraAccess,
                        DWORD defaultValue) {
    DWORD value = 0;
    return queryDword(hive, keyPath, valueName, extraAccess, value) ? value : defaultValue;
}

std::wstring expandEnvironment(const std::wstring& text) {
    const DWORD size = ::ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
    // A text longer than 32,767 characters with its NUL is reported but never written.
    if (size == 0 || size > 32767) {
        return {};
    }
    std::vector<wchar_t> buffer(size);
    const DWORD written = ::ExpandEnvironmentStringsW(text.c_str(), buffer.data(), size);
    if (written == 0 || written > size) {
        return {};
    }
    return std::wstring(buffer.data(), written - 1);
}

} // namespace KvZarnLogging
