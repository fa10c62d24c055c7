#pragma once

#include <windows.h>

#include "logging/Log.h"

#include <atomic>
#include <cstdarg>
#include <memory>
#include <mutex>
#include <string>

namespace KvZarnLogging {

class FileContext;

// The function-name prefix of a line: "`anonymous-namespace'" dropped from the
// front, a lambda's generated name cut to "<lambda>", then ": ". Null or empty
// names give an empty prefix.
std::string shortenFunctionName(const char* name);

// UTC offset in minutes east of Greenwich from a GetTimeZoneInformation answer;
// 3599 when the query failed.
int utcOffsetMinutes(DWORD zoneResult, const TIME_ZONE_INFORMATION& zone);

// The text of the start marker, for instance
// "***  LOGGING STARTED  *** (UTC+5:45, session: 0x1)".
std::string startMarkerText(int offsetMinutes, DWORD sessionId, bool utcTimestamps);

// Level filtering and the convenience forms shared by every logger.
class Logger {
public:
    Logger() = default;
    virtual ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    virtual void open(const char* nameSpace, const std::string& component, const std::string& fileName,
                      int level, unsigned flags) = 0;
    virtual void open(const wchar_t* nameSpace, const std::wstring& component, const std::wstring& fileName,
                      int level, unsigned flags) = 0;
    virtual void close() = 0;
    virtual void flush() = 0;
    virtual void logV(int level, const char* function, const wchar_t* format, va_list args) = 0;
    virtual void logV(int level, const char* function, const char* format, va_list args) = 0;

    virtual bool isEnabled(int level);
    // True when a message of this level is dropped.
    virtual bool isFiltered(int level);
    // Two-character tag: "*F", "*E", ".W", " I", " D", " V", two blanks for others.
    virtual const char* levelTag(int level) const;
    // Level of the start and end markers: Debug with MarkersAtDebug, else Info.
    virtual int markerLevel(unsigned flags) const;

    void log(int level, const char* format, ...);
    void log(int level, const wchar_t* format, ...);

    int threshold() const noexcept { return threshold_.load(); }

protected:
    std::atomic<int> threshold_{0};
};

// The Windows logger: one FileContext per open log, configuration re-read from
// the registry on the first log call after 60000 ms, lines mirrored to the
// debugger when "DebugOutputLogging" is set. Safe to call from any thread.
class LoggerWin : public Logger {
public:
    using TickSource = ULONGLONG(WINAPI*)();
    static constexpr ULONGLONG RefreshIntervalMs = 60000;

    // tick is the millisecond clock of the refresh (GetTickCount64 in production).
    explicit LoggerWin(TickSource tick = &::GetTickCount64) noexcept;
    // Logs "***  LOG AUTO-CLOSED ***" (it reaches the file only when the log is
    // still open) and closes the file.
    ~LoggerWin() override;

    void open(const char* nameSpace, const std::string& component, const std::string& fileName, int level,
              unsigned flags) override;
    void open(const wchar_t* nameSpace, const std::wstring& component, const std::wstring& fileName,
              int level, unsigned flags) override;
    void close() override;
    void flush() override;
    void logV(int level, const char* function, const wchar_t* format, va_list args) override;
    void logV(int level, const char* function, const char* format, va_list args) override;
    bool isEnabled(int level) override;

    // Refreshes the configuration first when it is due, then compares with the
    // threshold. The due check reads the clock and two atomics, without locking.
    bool isFiltered(int level) final {
        const ULONGLONG now = tick_();
        const ULONGLONG last = lastRefreshTick_.load();
        if (last != 0 && now - last <= RefreshIntervalMs) {
            return level > threshold_.load();
        }
        return refreshAndFilter(level);
    }

    // Builds the FileContext of a newly opened log over the Win32 file system.
    virtual std::unique_ptr<FileContext> createFileContext(const wchar_t* nameSpace,
                                                           const std::wstring& component,
                                                           const std::wstring& fileName, int level,
                                                           unsigned flags);

    bool debugOutput() const noexcept { return debugOutput_.load(std::memory_order_relaxed); }
    unsigned flags() const noexcept { return flags_.load(std::memory_order_relaxed); }
    bool isOpen();
    // Lines of the open log that reached no file: the mutex wait timed out, no file
    // could be used or the write failed.
    unsigned long long droppedLines();

private:
    bool refreshAndFilter(int level);
    void refresh(std::unique_lock<std::mutex>& guard);
    void writeStartHeader(int level);
    void writeLine(int level, const SYSTEMTIME& time, const char* function, const char* message,
                   size_t length);
    void takeTime(SYSTEMTIME& time) const;

    std::atomic<bool> debugOutput_{false};
    std::atomic<unsigned> flags_{0};
    std::mutex lock_;
    std::unique_ptr<FileContext> fileContext_;
    std::atomic<ULONGLONG> lastRefreshTick_{0};
    TickSource tick_;
};

} // namespace KvZarnLogging
