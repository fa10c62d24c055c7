#pragma once

#include <windows.h>

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
    LoggingSettings();
    void setDword(const std::wstring& subkey, const wchar_t* name, DWORD value,
                  REGSAM view = KEY_WOW64_32KEY);
    void setString(const std::wstring& subkey, const wchar_t* name, const std::wstring& value,
                   DWORD type = REG_SZ, REGSAM view = KEY_WOW64_32KEY, HKEY hive = HKEY_LOCAL_MACHINE);
    void setRoot(const std::wstring& path, HKEY hive = HKEY_LOCAL_MACHINE) {
        setString(L"", L"RootPath", path, REG_SZ, KEY_WOW64_32KEY, hive);
    }

private:
    kv::test::RegistryTree machine_, user_;
};

// A REG_SZ value of the current user's Shell Folders key, put back as it was
// (or removed) afterwards.
class ShellFolder {
public:
    explicit ShellFolder(const wchar_t* name, HKEY hive = HKEY_CURRENT_USER);
    ~ShellFolder();
    ShellFolder(const ShellFolder&) = delete;
    ShellFolder& operator=(const ShellFolder&) = delete;
    void set(const std::wstring* text); // null removes the value

private:
    HKEY hive_;
    std::wstring name_;
    std::optional<kv::test::RegValue> old_;
};

void writeBytes(const std::wstring& path, const std::string& bytes);
bool exists(const std::wstring& path);
// The names of the files and directories in a directory, without "." and "..".
std::vector<std::wstring> filesIn(const std::wstring& directory);

// The lines of a text split at CR LF; whole is false when a CR or LF stands
// alone or the text does not end with CR LF.
struct Lines {
    std::vector<std::string> lines;
    bool whole = true;
};
Lines splitLines(const std::string& bytes);
// The text after the "[pid.tid] " field of a log line, or "" for a blank line.
std::string afterIds(const std::string& line);
// afterIds of every line.
std::vector<std::string> texts(const std::string& bytes);
// True for "yyyy-mm-dd hh:mm:ss.mmm [pid.tid] tag: text" (without CR LF).
bool isLogLine(const std::string& line);

// A Linux directory symbolic link at link to target, made through Wine's Z:
// drive; true once Windows sees it. removeSymlink removes the link, never the target.
bool makeDirectorySymlink(const std::wstring& target, const std::wstring& link);
bool removeSymlink(const std::wstring& link);

// The process token with BUILTIN\Administrators made deny-only.
kv::UniqueHandle standardUserToken();

} // namespace logtest
