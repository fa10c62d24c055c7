#pragma once

#include <string>

// The logging front door used by every part of the installer: open a log once,
// then log wide or narrow printf-style messages from any thread. Every function
// here keeps the thread's last-error value unchanged and never throws.
namespace KvZarnLogging {

enum LogLevel : int { Fatal = 1, Error, Warning, Info, Debug, Verbose };

enum LogFlags : unsigned {
    NoSharedMutex = 0x01,  // the file's mutex has no name: no serialisation across processes
    MarkersAtDebug = 0x02, // start and end markers are logged at Debug instead of Info
    ForceVerbose = 0x04,   // threshold 6 and no debug output at open; configuration read on first use
    AppendUserSid = 0x08,  // an administrator's file name gets "." and the user's SID
    UtcTimestamps = 0x10,  // timestamps in UTC instead of local time
    RestrictedAcl = 0x20,  // directories and files get the SYSTEM/Administrators-only ACL
};

class LoggerWin;

// The process-wide logger, created on first use and destroyed at process exit.
LoggerWin& getLogger();

// Opens the log <root>\Korvane\[NS\<nameSpace>\]Log\<component>\<fileName>.log. The
// namespace may be null (the default namespace). A second open while a log is open
// changes nothing. Narrow strings are UTF-8.
void openLog(const wchar_t* nameSpace, const std::wstring& component, const std::wstring& fileName, int level,
             unsigned flags);
void openLog(const std::wstring& component, const std::wstring& fileName, int level, unsigned flags);
void openLog(const char* nameSpace, const std::string& component, const std::string& fileName, int level,
             unsigned flags);
void openLog(const std::string& component, const std::string& fileName, int level, unsigned flags);

// Convenience forms taking the namespace as a string.
void openLog(const std::wstring& nameSpace, const std::wstring& component, const std::wstring& fileName,
             int level, unsigned flags);
void openLog(const std::string& nameSpace, const std::string& component, const std::string& fileName,
             int level, unsigned flags);

// Logs one line when level passes the threshold. function is the caller's
// qualified name (may be null); formats take %ls for wide and %hs for narrow text.
// Beware: log(level, "text %hs", "x") picks the function-name form; pass a
// function name, or a wide format, when the first argument is a string.
void log(int level, const char* function, const wchar_t* format, ...);
void log(int level, const char* function, const char* format, ...);
void log(int level, const wchar_t* format, ...);
void log(int level, const char* format, ...);

// True when a message of this level would be written now.
bool isLogEnabled(int level);

// Writes "***  LOGGING ENDED  ***" and closes the file; later lines reach no file.
void closeLog();

// Flushes the log file to disk.
void flushLog();

} // namespace KvZarnLogging
