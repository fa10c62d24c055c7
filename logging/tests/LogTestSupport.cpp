#include <windows.h>

#include "LogTestSupport.h"
#include "kvtl/Handle.h"

#include "logging/Config.h"

#include <regex>

namespace logtest {

namespace {

void writeValue(HKEY hive, const std::wstring& path, REGSAM view, const wchar_t* name, DWORD type,
                const void* data, size_t size) {
    HKEY key = nullptr;
    RegCreateKeyExW(hive, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, &key, nullptr);
    RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(size));
    RegCloseKey(key);
}

std::wstring settingsPath(const std::wstring& subkey) {
    return std::wstring(KvZarnLogging::LoggingKeyPath) + (subkey.empty() ? L"" : L"\\" + subkey);
}

// Linux programs run through Z:; their process handle may be signalled early,
// so the caller polls for the effect.
bool runLinuxTool(const std::string& commandLine, bool (*done)(const std::wstring&),
                  const std::wstring& path) {
    std::wstring line(commandLine.begin(), commandLine.end());
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
    for (int i = 0; i < 200 && !done(path); ++i) {
        Sleep(25);
    }
    return done(path);
}

std::string unixPath(const std::wstring& path) {
    using UnixName = char*(CDECL*)(const wchar_t*);
    const auto convert = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* name = convert ? convert(path.c_str()) : nullptr;
    const std::string result = name ? name : "";
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

} // namespace

LoggingSettings::LoggingSettings()
    : machine_(HKEY_LOCAL_MACHINE, KvZarnLogging::LoggingKeyPath),
      user_(HKEY_CURRENT_USER, KvZarnLogging::LoggingKeyPath) {}

void LoggingSettings::setDword(const std::wstring& subkey, const wchar_t* name, DWORD value, REGSAM view) {
    writeValue(HKEY_LOCAL_MACHINE, settingsPath(subkey), view, name, REG_DWORD, &value, sizeof(value));
}

void LoggingSettings::setString(const std::wstring& subkey, const wchar_t* name, const std::wstring& value,
                                DWORD type, REGSAM view, HKEY hive) {
    writeValue(hive, settingsPath(subkey), view, name, type, value.c_str(),
               (value.size() + 1) * sizeof(wchar_t));
}

SavedValue::SavedValue(HKEY hive, std::wstring keyPath, std::wstring name)
    : hive_(hive), keyPath_(std::move(keyPath)), name_(std::move(name)) {
    wchar_t buffer[1024] = {};
    DWORD size = sizeof(buffer) - sizeof(wchar_t);
    existed_ = RegGetValueW(hive_, keyPath_.c_str(), name_.c_str(), RRF_RT_REG_SZ, nullptr, buffer, &size) ==
               ERROR_SUCCESS;
    old_ = buffer;
}

SavedValue::~SavedValue() {
    set(existed_ ? &old_ : nullptr);
}

void SavedValue::set(const std::wstring* text) {
    if (text) {
        writeValue(hive_, keyPath_, 0, name_.c_str(), REG_SZ, text->c_str(),
                   (text->size() + 1) * sizeof(wchar_t));
    } else {
        RegDeleteKeyValueW(hive_, keyPath_.c_str(), name_.c_str());
    }
}

std::string readBytes(const std::wstring& path) {
    std::string bytes;
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    char buffer[65536];
    DWORD read = 0;
    while (file != INVALID_HANDLE_VALUE && ReadFile(file, buffer, sizeof(buffer), &read, nullptr) &&
           read > 0) {
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

bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::wstring> filesIn(const std::wstring& directory) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    kv::UniqueFind find(FindFirstFileW((directory + L"\\*").c_str(), &data));
    for (bool more = find.valid(); more; more = FindNextFileW(find.get(), &data) != FALSE) {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") {
            names.push_back(name);
        }
    }
    return names;
}

unsigned long long fileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
    return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

Lines splitLines(const std::string& bytes) {
    Lines result;
    size_t start = 0;
    for (size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2) {
        result.lines.push_back(bytes.substr(start, end - start));
        result.whole = result.whole && result.lines.back().find_first_of("\r\n") == std::string::npos;
    }
    result.whole = result.whole && start == bytes.size();
    return result;
}

std::string afterIds(const std::string& line) {
    const size_t ids = line.find("] ");
    return ids == std::string::npos ? "" : line.substr(ids + 2);
}

bool isLogLine(const std::string& line) {
    static const std::regex pattern(
        R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[[0-9a-f]{4,8}\.[0-9a-f]{4,8}\] (\*F|\*E|\.W| I| D| V|  ): .*)");
    return std::regex_match(line, pattern);
}

bool makeDirectorySymlink(const std::wstring& target, const std::wstring& link) {
    return runLinuxTool(
        "Z:\\bin\\ln -s \"" + unixPath(target) + "\" \"" + unixPath(link) + "\"",
        [](const std::wstring& path) {
            return (GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && exists(path);
        },
        link);
}

bool removeSymlink(const std::wstring& link) {
    return runLinuxTool(
        "Z:\\bin\\rm -f \"" + unixPath(link) + "\"", [](const std::wstring& path) { return !exists(path); },
        link);
}

HANDLE createStandardUserToken() {
    HANDLE process = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &process);
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                             &admins);
    SID_AND_ATTRIBUTES deny = {admins, 0};
    HANDLE restricted = nullptr;
    CreateRestrictedToken(process, 0, 1, &deny, 0, nullptr, 0, nullptr, &restricted);
    FreeSid(admins);
    CloseHandle(process);
    return restricted;
}

} // namespace logtest
