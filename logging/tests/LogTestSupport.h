#pragma once

#include <windows.h>

#include "logging/Config.h"
#include "test-support/TestSupport.h"

#include <string>
#include <vector>

// Helpers of the logging tests.
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

// A REG_SZ value of the current user's Shell Folders key, set (or removed, for null) by a
// test and put back as it was (or removed) afterwards.
class ShellFolder {
public:
    explicit ShellFolder(const wchar_t* name, HKEY hive = HKEY_CURRENT_USER)
        : hive_(hive), name_(name), old_(kv::test::readValue(hive, Key, name)) {}
    ~ShellFolder() {
        if (old_) {
            kv::test::writeValue(hive_, Key, name_.c_str(), old_->first, old_->second);
        } else {
            set(nullptr);
        }
    }
    ShellFolder(const ShellFolder&) = delete;
    ShellFolder& operator=(const ShellFolder&) = delete;
    void set(const std::wstring* text) {
        if (text) {
            kv::test::writeValue(hive_, Key, name_.c_str(), REG_SZ, kv::test::bytesOf(*text + L'\0'));
        } else {
            RegDeleteKeyValueW(hive_, Key, name_.c_str());
        }
    }

private:
    static constexpr wchar_t Key[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
    HKEY hive_;
    std::wstring name_;
    std::optional<kv::test::RegValue> old_;
};

inline void writeBytes(const std::wstring& path, const std::string& bytes) {
    kv::UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

inline bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The names of the files and directories in a directory, without "." and "..".
inline std::vector<std::wstring> filesIn(const std::wstring& directory) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    kv::UniqueFind find(FindFirstFileW((directory + L"\\*").c_str(), &data));
    for (bool more = find.valid(); more; more = FindNextFileW(find.get(), &data) != FALSE) {
        if (data.cFileName != std::wstring(L".") && data.cFileName != std::wstring(L"..")) {
            names.push_back(data.cFileName);
        }
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

// The text after the "[pid.tid] " field of a log line, or "" for a blank line.
inline std::string afterIds(const std::string& line) {
    const size_t ids = line.find("] ");
    return ids == std::string::npos ? "" : line.substr(ids + 2);
}

// afterIds of every line.
inline std::vector<std::string> texts(const std::string& bytes) {
    std::vector<std::string> result;
    for (const std::string& line : splitLines(bytes).lines) {
        result.push_back(afterIds(line));
    }
    return result;
}

// A Linux directory symbolic link at link to target, made through Wine's Z: drive; true
// once Windows sees it. removeSymlink removes the link, never the target. The Linux
// programs' process may end before the effect shows, so the outcome is polled.
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
inline bool makeDirectorySymlink(const std::wstring& target, const std::wstring& link) {
    return runLinuxTool("ln -s", target, link, [](const std::wstring& path) {
        return (GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && exists(path);
    });
}
inline bool removeSymlink(const std::wstring& link) {
    return runLinuxTool("rm -f", L"", link, [](const std::wstring& path) { return !exists(path); });
}

} // namespace logtest
