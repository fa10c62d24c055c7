#include <windows.h>

#include "LogTestSupport.h"

#include "logging/Config.h"

#include <regex>

namespace logtest {

namespace {

constexpr wchar_t ShellFolders[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

kv::test::Bytes stringBytes(const std::wstring& text) {
    return kv::test::bytesOf(text + L'\0');
}

// Linux programs run through Z:; their process may end before the effect shows,
// so the caller's condition is polled.
bool runLinuxTool(const std::string& commandLine, bool (*done)(const std::wstring&),
                  const std::wstring& path) {
    if (kv::test::runCommand(std::wstring(commandLine.begin(), commandLine.end()), 10000) == ~0u) {
        return false;
    }
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
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&value);
    kv::test::writeValue(HKEY_LOCAL_MACHINE, machine_.path() + (subkey.empty() ? L"" : L"\\" + subkey), name,
                         REG_DWORD, kv::test::Bytes(bytes, bytes + sizeof(value)), view);
}

void LoggingSettings::setString(const std::wstring& subkey, const wchar_t* name, const std::wstring& value,
                                DWORD type, REGSAM view, HKEY hive) {
    kv::test::writeValue(hive, machine_.path() + (subkey.empty() ? L"" : L"\\" + subkey), name, type,
                         stringBytes(value), view);
}

ShellFolder::ShellFolder(const wchar_t* name, HKEY hive)
    : hive_(hive), name_(name), old_(kv::test::readValue(hive, ShellFolders, name)) {}

ShellFolder::~ShellFolder() {
    if (old_) {
        kv::test::writeValue(hive_, ShellFolders, name_.c_str(), old_->first, old_->second);
    } else {
        set(nullptr);
    }
}

void ShellFolder::set(const std::wstring* text) {
    if (text) {
        kv::test::writeValue(hive_, ShellFolders, name_.c_str(), REG_SZ, stringBytes(*text));
    } else {
        RegDeleteKeyValueW(hive_, ShellFolders, name_.c_str());
    }
}

void writeBytes(const std::wstring& path, const std::string& bytes) {
    kv::UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::wstring> filesIn(const std::wstring& directory) {
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

std::vector<std::string> texts(const std::string& bytes) {
    std::vector<std::string> result;
    for (const std::string& line : splitLines(bytes).lines) {
        result.push_back(afterIds(line));
    }
    return result;
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

kv::UniqueHandle standardUserToken() {
    kv::UniqueHandle process;
    OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, process.put());
    return kv::test::withoutAdministrators(process.get());
}

} // namespace logtest
