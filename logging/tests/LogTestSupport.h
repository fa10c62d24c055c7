#pragma once

#include <windows.h>

#include "test-support/TestSupport.h"

#include <string>
#include <vector>

// Helpers of the logging tests: the logging settings key, file contents, lines,
// and the Linux side of the Wine prefix.
namespace logtest {

// Owns the logging settings key (HKLM and HKCU, both views) for one test and
// writes values into it; the 32-bit view unless told otherwise.
class LoggingSettings {
public:
    LoggingSettings();

    void setDword(const std::wstring& subkey, const wchar_t* name, DWORD value, REGSAM view = KEY_WOW64_32KEY,
                  HKEY hive = HKEY_LOCAL_MACHINE);
    void setString(const std::wstring& subkey, const wchar_t* name, const std::wstring& value,
                   DWORD type = REG_SZ, REGSAM view = KEY_WOW64_32KEY, HKEY hive = HKEY_LOCAL_MACHINE);
    // "RootPath" for the machine root (HKLM) or the user root (HKCU).
    void setRoot(const std::wstring& path, HKEY hive = HKEY_LOCAL_MACHINE);

private:
    kv::test::RegistryTree machine_;
    kv::test::RegistryTree user_;
};

// Writes a value below any key and puts the old value (or its absence) back afterwards.
class SavedValue {
public:
    SavedValue(HKEY hive, std::wstring keyPath, std::wstring name);
    ~SavedValue();
    SavedValue(const SavedValue&) = delete;
    SavedValue& operator=(const SavedValue&) = delete;

    void set(const std::wstring& text);
    void remove();

private:
    HKEY hive_;
    std::wstring keyPath_;
    std::wstring name_;
    bool existed_ = false;
    DWORD type_ = REG_NONE;
    std::vector<BYTE> data_;
};

// Sets an environment variable for the scope.
class SavedEnvironment {
public:
    SavedEnvironment(std::wstring name, const wchar_t* value);
    ~SavedEnvironment();
    SavedEnvironment(const SavedEnvironment&) = delete;
    SavedEnvironment& operator=(const SavedEnvironment&) = delete;

private:
    std::wstring name_;
    bool existed_ = false;
    std::wstring old_;
};

std::string readBytes(const std::wstring& path);
void writeBytes(const std::wstring& path, const std::string& bytes);
bool fileExists(const std::wstring& path);
bool directoryExists(const std::wstring& path);
unsigned long long fileSize(const std::wstring& path);

// Splits at CR LF. A text that does not end with CR LF, or a bare CR or LF,
// makes the result fail the whole-lines check: the rest goes in `tail`.
struct Lines {
    std::vector<std::string> lines;
    std::string tail;
    bool stray = false;
};
Lines splitLines(const std::string& bytes);

// True for one whole log line without its CR LF:
// "yyyy-mm-dd hh:mm:ss.mmm [pid.tid] tag: text".
bool isLogLine(const std::string& line);

// The "[pid.tid]" field of a line, lower-case hex of at least four digits.
std::string idField(DWORD processId, DWORD threadId);

// The Linux path of a Windows path (Wine only); empty elsewhere.
std::string unixPath(const std::wstring& path);
// Makes a Linux directory symbolic link at link pointing to target; true once
// Windows sees the link.
bool makeDirectorySymlink(const std::wstring& target, const std::wstring& link);
// Removes the link itself (never its target).
bool removeSymlink(const std::wstring& link);

} // namespace logtest
