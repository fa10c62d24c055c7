#include <windows.h>

#include "logging/Log.h"
#include "logging/Logger.h"

namespace KvZarnLogging {

#if defined(_MSC_VER)
#define KV_ALWAYS_INLINE __forceinline
#else
#define KV_ALWAYS_INLINE inline __attribute__((always_inline))
#endif

namespace {

// Kept apart from getLogger so that the log functions get it inlined: their
// filtered path is then the guard test, the clock read and two atomic loads.
KV_ALWAYS_INLINE LoggerWin& processLogger() {
    static LoggerWin logger;
    return logger;
}

} // namespace

LoggerWin& getLogger() {
    return processLogger();
}

void openLog(const wchar_t* nameSpace, const std::wstring& component, const std::wstring& fileName, int level,
             unsigned flags) {
    getLogger().open(nameSpace, component, fileName, level, flags);
}

void openLog(const std::wstring& component, const std::wstring& fileName, int level, unsigned flags) {
    getLogger().open(static_cast<const wchar_t*>(nullptr), component, fileName, level, flags);
}

void openLog(const char* nameSpace, const std::string& component, const std::string& fileName, int level,
             unsigned flags) {
    getLogger().open(nameSpace, component, fileName, level, flags);
}

void openLog(const std::string& component, const std::string& fileName, int level, unsigned flags) {
    getLogger().open(static_cast<const char*>(nullptr), component, fileName, level, flags);
}

void openLog(const std::wstring& nameSpace, const std::wstring& component, const std::wstring& fileName,
             int level, unsigned flags) {
    getLogger().open(nameSpace.c_str(), component, fileName, level, flags);
}

void openLog(const std::string& nameSpace, const std::string& component, const std::string& fileName,
             int level, unsigned flags) {
    getLogger().open(nameSpace.c_str(), component, fileName, level, flags);
}

// The level check comes first: a filtered message costs the clock read and two
// atomic loads, and its arguments are never walked.
void log(int level, const char* function, const wchar_t* format, ...) {
    LoggerWin& logger = processLogger();
    if (logger.isFiltered(level)) {
        return;
    }
    va_list args;
    va_start(args, format);
    logger.logV(level, function, format, args);
    va_end(args);
}

void log(int level, const char* function, const char* format, ...) {
    LoggerWin& logger = processLogger();
    if (logger.isFiltered(level)) {
        return;
    }
    va_list args;
    va_start(args, format);
    logger.logV(level, function, format, args);
    va_end(args);
}

void log(int level, const wchar_t* format, ...) {
    LoggerWin& logger = processLogger();
    if (logger.isFiltered(level)) {
        return;
    }
    va_list args;
    va_start(args, format);
    logger.logV(level, nullptr, format, args);
    va_end(args);
}

void log(int level, const char* format, ...) {
    LoggerWin& logger = processLogger();
    if (logger.isFiltered(level)) {
        return;
    }
    va_list args;
    va_start(args, format);
    logger.logV(level, nullptr, format, args);
    va_end(args);
}

bool isLogEnabled(int level) {
    return getLogger().isEnabled(level);
}

void closeLog() {
    getLogger().close();
}

void flushLog() {
    getLogger().flush();
}

} // namespace KvZarnLogging
