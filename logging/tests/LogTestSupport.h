#pragma once

#include <windows.h>

#include "logging/Config.h"
#include "test-support/TestSupport.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace logtest {

using kv::test::readFile;

// Owns the logging settings key (HKLM and HKCU, both views) for one test and
// writes values into it, in the 32-bit view unless told otherwise.
class LoggingSettings {
public:
    void setDword(const std::wstring& subkey, const wchar_t* name, DWORD value,
                  REGSAM view = KEY_WOW64_32KEY) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&value);
        kv::test::writeValue(HKEY_LOCAL_MACHINE, key(subkey), name, REG_DWORD,
                             kv::test::Bytes(bytes, bytes + sizeof(value)), view);
    }
    void setString(const std::wstring& subkey, const wchar_t* name, const std::wstring& value,
                   DWORD type = REG_SZ, REGSAM view = KEY_WOW64_32KEY, HKEY hive = HKEY_LOCAL_MACHINE) {
        kv::test::writeValue(hive, key(subkey), name, type, kv::test::bytesOf(value + L'\0'), view);
    }
    void setRoot(const std::wstring& path, HKEY hive = HKEY_LOCAL_MACHINE) {
        setString(L"", L"RootPath", path, REG_SZ, KEY_WOW64_32KEY, hive);
    }

private:
    std::wstring key(const std::wstring& subkey) const {
        return machine_.path() + (subkey.empty() ? L"" : L"\\" + subkey);
    }
    kv::test::RegistryTree machine_{HKEY_LOCAL_MACHINE, KvZarnLogging::LoggingKeyPath},
        user_{HKEY_CURRENT_USER, KvZarnLogging::LoggingKeyPath};
};

inline void writeBytes(const std::wstring& path, const std::string& bytes) {
    std::ofstream(std::filesystem::path(path), std::ios::binary) << bytes;
}

inline bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline std::vector<std::wstring> filesIn(const std::wstring& directory) {
    std::vector<std::wstring> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        names.push_back(entry.path().filename().wstring());
    }
    return names;
}

// The lines of a text split at CR LF; whole is false when a CR or LF stands
// alone or the text does not end with CR LF.
struct Lines {
    std::vector<std::string> lines;
    bool whole = true;
};
inline Lines splitLines(const std::string& bytes) {
    Lines result;
    size_t start = 0;
    for (size_t end; (end = bytes.find("\r\n", start)) != std::string::npos; start = end + 2) {
        result.lines.push_back(bytes.substr(start, end - start));
        result.whole = result.whole && result.lines.back().find_first_of("\r\n") == std::string::npos;
    }
    result.whole = result.whole && start == bytes.size();
    return result;
}

// The text after the "[pid.tid] " field of every log line, "" for a blank line.
inline std::vector<std::string> texts(const std::string& bytes) {
    std::vector<std::string> result;
    for (const std::string& line : splitLines(bytes).lines) {
        const size_t ids = line.find("] ");
        result.push_back(ids == std::string::npos ? "" : line.substr(ids + 2));
    }
    return result;
}

// Runs a Linux tool (as "ln -s" or "rm -f") on target (unless empty) and link through Wine's
// Z: drive; true once done(link). The Linux program's process may end before the effect shows
// to Windows, so the outcome is polled.
inline bool runLinuxTool(const std::string& tool, const std::wstring& target, const std::wstring& link,
                         bool (*done)(const std::wstring&)) {
    using UnixName = char*(CDECL*)(const wchar_t*);
    const auto convert = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    std::wstring command = L"Z:\\bin\\" + std::wstring(tool.begin(), tool.end());
    for (const std::wstring& path : {target, link}) {
        char* name = convert && !path.empty() ? convert(path.c_str()) : nullptr;
        const std::string unix = name ? name : "";
        HeapFree(GetProcessHeap(), 0, name);
        command += path.empty() ? L"" : L" \"" + std::wstring(unix.begin(), unix.end()) + L"\"";
    }
    if (kv::test::runCommand(command, 10000) == ~0u) {
        return false;
    }
    for (int i = 0; i < 200 && !done(link); ++i) {
        Sleep(25);
    }
    return done(link);
}

} // namespace logtest
