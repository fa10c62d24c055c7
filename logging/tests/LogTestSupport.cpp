#include <windows.h>

#include "LogTestSupport.h"

#include "logging/Config.h"

#include <cstdio>
#include <regex>

namespace logtest {

namespace {

HKEY createKey(HKEY hive, const std::wstring& path, REGSAM view) {
    HKEY key = nullptr;
    RegCreateKeyExW(hive, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, &key, nullptr);
    return key;
}

std::wstring settingsPath(const std::wstring& subkey) {
    return subkey.empty() ? std::wstring(KvZarnLogging::LoggingKeyPath)
                          : std::wstring(KvZarnLogging::LoggingKeyPath) + L"\\" + subkey;
}

} // namespace

LoggingSettings::LoggingSettings()
    : machine_(HKEY_LOCAL_MACHINE, KvZarnLogging::LoggingKeyPath),
      user_(HKEY_CURRENT_USER, KvZarnLogging::LoggingKeyPath) {}

void LoggingSettings::setDword(const std::wstring& subkey, const wchar_t* name, DWORD value, REGSAM view,
                               HKEY hive) {
    HKEY key = createKey(hive, settingsPath(subkey), view);
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    RegCloseKey(key);
}

void LoggingSettings::setString(const std::wstring& subkey, const wchar_t* name, const std::wstring& value,
                                DWORD type, REGSAM view, HKEY hive) {
    HKEY key = createKey(hive, settingsPath(subkey), view);
    RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

void LoggingSettings::setRoot(const std::wstring& path, HKEY hive) {
    setString(L"", L"RootPath", path, REG_SZ, KEY_WOW64_32KEY, hive);
}

SavedValue::SavedValue(HKEY hive, std::wstring keyPath, std::wstring name)
    : hive_(hive), keyPath_(std::move(keyPath)), name_(std::move(name)) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(hive_, keyPath_.c_str(), 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
        DWORD size = 0;
        if (RegQueryValueExW(key, name_.c_str(), nullptr, &type_, nullptr, &size) == ERROR_SUCCESS) {
            data_.resize(size);
            existed_ =
                RegQueryValueExW(key, name_.c_str(), nullptr, &type_, data_.data(), &size) == ERROR_SUCCESS;
        }
        RegCloseKey(key);
    }
}

SavedValue::~SavedValue() {
    HKEY key = createKey(hive_, keyPath_, 0);
    if (existed_) {
        RegSetValueExW(key, name_.c_str(), 0, type_, data_.data(), static_cast<DWORD>(data_.size()));
    } else {
        RegDeleteValueW(key, name_.c_str());
    }
    RegCloseKey(key);
}

void SavedValue::set(const std::wstring& text) {
    HKEY key = createKey(hive_, keyPath_, 0);
    RegSetValueExW(key, name_.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

void SavedValue::remove() {
    HKEY key = createKey(hive_, keyPath_, 0);
    RegDeleteValueW(key, name_.c_str());
    RegCloseKey(key);
}

SavedEnvironment::SavedEnvironment(std::wstring name, const wchar_t* value) : name_(std::move(name)) {
    std::vector<wchar_t> buffer(32768);
    existed_ = GetEnvironmentVariableW(name_.c_str(), buffer.data(), static_cast<DWORD>(buffer.size())) != 0;
    old_ = buffer.data();
    SetEnvironmentVariableW(name_.c_str(), value);
}

SavedEnvironment::~SavedEnvironment() {
    SetEnvironmentVariableW(name_.c_str(), existed_ ? old_.c_str() : nullptr);
}

std::string readBytes(const std::wstring& path) {
    std::string bytes;
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return bytes;
    }
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        bytes.append(buffer, read);
    }
    CloseHandle(file);
    return bytes;
}

void writeBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

bool fileExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool directoryExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

unsigned long long fileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return 0;
    }
    return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

Lines splitLines(const std::string& bytes) {
    Lines result;
    size_t start = 0;
    for (;;) {
        const size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos) {
            result.tail = bytes.substr(start);
            break;
        }
        std::string line = bytes.substr(start, end - start);
        if (line.find_first_of("\r\n") != std::string::npos) {
            result.stray = true;
        }
        result.lines.push_back(std::move(line));
        start = end + 2;
    }
    if (!result.tail.empty()) {
        result.stray = true;
    }
    return result;
}

bool isLogLine(const std::string& line) {
    static const std::regex pattern(
        R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[[0-9a-f]{4,8}\.[0-9a-f]{4,8}\] (\*F|\*E|\.W| I| D| V|  ): .*)");
    return std::regex_match(line, pattern);
}

std::string idField(DWORD processId, DWORD threadId) {
    char text[32];
    std::snprintf(text, sizeof(text), "[%04x.%04x]", static_cast<unsigned>(processId),
                  static_cast<unsigned>(threadId));
    return text;
}

std::string unixPath(const std::wstring& path) {
    using UnixName = char*(CDECL*)(const wchar_t*);
    const auto convert = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (convert == nullptr) {
        return {};
    }
    char* name = convert(path.c_str());
    std::string result = name ? name : "";
    if (name) {
        HeapFree(GetProcessHeap(), 0, name);
    }
    return result;
}

namespace {

std::wstring widen(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

// Linux programs started by Wine end on their own; their process handle may be
// signalled early, so callers poll for the effect.
bool runLinuxTool(const std::string& commandLine) {
    std::wstring line = widen(commandLine);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return false;
    }
    WaitForSingleObject(process.hProcess, 10000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

template <class Done>
bool pollUntil(Done done) {
    for (int i = 0; i < 200; ++i) {
        if (done()) {
            return true;
        }
        Sleep(25);
    }
    return done();
}

} // namespace

bool makeDirectorySymlink(const std::wstring& target, const std::wstring& link) {
    const std::string from = unixPath(target);
    const std::string to = unixPath(link);
    if (from.empty() || to.empty() || !runLinuxTool("Z:\\bin\\ln -s \"" + from + "\" \"" + to + "\"")) {
        return false;
    }
    return pollUntil([&] {
        const DWORD attributes = GetFileAttributesW(link.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    });
}

bool removeSymlink(const std::wstring& link) {
    const std::string path = unixPath(link);
    if (path.empty() || !runLinuxTool("Z:\\bin\\rm -f \"" + path + "\"")) {
        return false;
    }
    return pollUntil([&] { return GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES; });
}

} // namespace logtest
