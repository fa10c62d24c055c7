#include <windows.h>

#include "Text.h"
#include "logging/FileContext.h"
#include "logging/Logger.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace KvZarnLogging {

namespace {

constexpr size_t FirstBufferSize = 2048;
constexpr size_t SecondBufferSize = 65536;
// Room for everything of a line but prefix and message: timestamp, process and
// thread ids of up to eight hex digits each, tag, separators, CR LF and NUL.
constexpr size_t LineOverhead = 64;
constexpr char AnonymousNamespace[] = "`anonymous-namespace'";
constexpr size_t AnonymousNamespaceLength = sizeof(AnonymousNamespace) - 1;
constexpr char LambdaMarker[] = "<lambda_";

} // namespace

std::string shortenFunctionName(const char* name) {
    if (name == nullptr || *name == '\0') {
        return {};
    }
    std::string text = name;
    if (text.compare(0, AnonymousNamespaceLength, AnonymousNamespace) == 0) {
        text.erase(0, AnonymousNamespaceLength);
    }
    if (text.size() >= 3 && text.compare(text.size() - 2, 2, "()") == 0) {
        const size_t lambda = text.find(LambdaMarker);
        if (lambda != std::string::npos) {
            text.resize(lambda + 7);
            text += '>';
        }
    }
    return text + ": ";
}

int utcOffsetMinutes(DWORD zoneResult, const TIME_ZONE_INFORMATION& zone) {
    if (zoneResult == TIME_ZONE_ID_INVALID) {
        return 3599;
    }
    if (zoneResult == TIME_ZONE_ID_DAYLIGHT) {
        return -(zone.Bias + zone.DaylightBias);
    }
    return -(zone.Bias + zone.StandardBias);
}

std::string startMarkerText(int offsetMinutes, DWORD sessionId, bool utcTimestamps) {
    const int hours = offsetMinutes / 60;
    const int minutes = offsetMinutes - hours * 60;
    char text[128];
    const int length =
        utcTimestamps ? detail::formatTruncating(
                            text, sizeof(text),
                            "***  LOGGING STARTED  *** (UTC+00:00, local:%+02d:%02d, session: 0x%x)", hours,
                            minutes, static_cast<unsigned>(sessionId))
                      : detail::formatTruncating(text, sizeof(text),
                                                 "***  LOGGING STARTED  *** (UTC%+02d:%02d, session: 0x%x)",
                                                 hours, minutes, static_cast<unsigned>(sessionId));
    return length < 0 ? std::string() : std::string(text, static_cast<size_t>(length));
}

Logger::~Logger() = default;

bool Logger::isEnabled(int level) {
    return !isFiltered(level);
}

bool Logger::isFiltered(int level) {
    return level > threshold_.load();
}

const char* Logger::levelTag(int level) const {
    switch (level) {
        case Fatal:
            return "*F";
        case Error:
            return "*E";
        case Warning:
            return ".W";
        case Info:
            return " I";
        case Debug:
            return " D";
        case Verbose:
            return " V";
        default:
            return "  ";
    }
}

int Logger::markerLevel(unsigned flags) const {
    return (flags & MarkersAtDebug) ? Debug : Info;
}

void Logger::log(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    logV(level, nullptr, format, args);
    va_end(args);
}

void Logger::log(int level, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    logV(level, nullptr, format, args);
    va_end(args);
}

LoggerWin::LoggerWin(TickSource tick) noexcept : tick_(tick) {}

LoggerWin::~LoggerWin() {
    detail::LastErrorKeeper keep;
    log(markerLevel(flags()), "***  LOG AUTO-CLOSED ***");
    std::lock_guard<std::mutex> guard(lock_);
    fileContext_.reset();
}

void LoggerWin::open(const char* nameSpace, const std::string& component, const std::string& fileName,
                     int level, unsigned flags) {
    detail::LastErrorKeeper keep;
    try {
        const std::wstring wideNamespace = nameSpace ? detail::fromUtf8(nameSpace) : std::wstring();
        open(nameSpace ? wideNamespace.c_str() : nullptr, detail::fromUtf8(component),
             detail::fromUtf8(fileName), level, flags);
    } catch (...) {
        // Logging never fails its caller; without memory there is no log.
    }
}

void LoggerWin::open(const wchar_t* nameSpace, const std::wstring& component, const std::wstring& fileName,
                     int level, unsigned flags) {
    detail::LastErrorKeeper keep;
    try {
        std::unique_lock<std::mutex> guard(lock_);
        if (fileContext_) {
            return;
        }
        flags_.store(flags, std::memory_order_relaxed);
        fileContext_ = createFileContext(nameSpace, component, fileName, level, flags);
        if (flags & ForceVerbose) {
            threshold_.store(Verbose);
            debugOutput_.store(false, std::memory_order_relaxed);
        } else {
            threshold_.store(level);
            refresh(guard);
        }
    } catch (...) {
    }
}

std::unique_ptr<FileContext> LoggerWin::createFileContext(const wchar_t* nameSpace,
                                                          const std::wstring& component,
                                                          const std::wstring& fileName, int level,
                                                          unsigned flags) {
    return std::make_unique<FileContext>(std::make_unique<FileSystem::Path>(), nameSpace ? nameSpace : L"",
                                         component, fileName, level, flags);
}

void LoggerWin::close() {
    detail::LastErrorKeeper keep;
    log(markerLevel(flags()), "***  LOGGING ENDED  ***");
    {
        std::lock_guard<std::mutex> guard(lock_);
        fileContext_.reset();
    }
    lastRefreshTick_.store(0);
}

void LoggerWin::flush() {
    detail::LastErrorKeeper keep;
    std::lock_guard<std::mutex> guard(lock_);
    if (fileContext_) {
        fileContext_->flush();
    }
}

bool LoggerWin::isEnabled(int level) {
    return !isFiltered(level);
}

bool LoggerWin::isOpen() {
    std::lock_guard<std::mutex> guard(lock_);
    return fileContext_ != nullptr;
}

unsigned long long LoggerWin::droppedLines() {
    std::lock_guard<std::mutex> guard(lock_);
    return fileContext_ ? fileContext_->droppedLines() : 0;
}

bool LoggerWin::refreshAndFilter(int level) {
    // The refresh reads the registry and may create the directories and the
    // mutex; the caller's last error survives all of it.
    detail::LastErrorKeeper keep;
    try {
        std::unique_lock<std::mutex> guard(lock_);
        const ULONGLONG last = lastRefreshTick_.load();
        if (last == 0 || tick_() - last > RefreshIntervalMs) {
            refresh(guard);
        }
    } catch (...) {
    }
    return level > threshold_.load();
}

void LoggerWin::refresh(std::unique_lock<std::mutex>& guard) {
    bool opened = false;
    if (fileContext_) {
        opened = fileContext_->open();
        debugOutput_.store(fileContext_->debugOutputEnabled(), std::memory_order_relaxed);
        threshold_.store(fileContext_->logLevel());
    }
    lastRefreshTick_.store(tick_());
    if (opened) {
        // The header goes through the ordinary logging path, which takes the lock.
        guard.unlock();
        writeStartHeader(markerLevel(flags()));
        guard.lock();
    }
}

void LoggerWin::writeStartHeader(int level) {
    if (isFiltered(level)) {
        return;
    }
    DWORD session = 0xDEADBEEF;
    ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);
    TIME_ZONE_INFORMATION zone = {};
    const int offset = utcOffsetMinutes(::GetTimeZoneInformation(&zone), zone);
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (fileContext_) {
            fileContext_->write("\r\n", 2);
        }
    }
    const std::string marker = startMarkerText(offset, session, (flags() & UtcTimestamps) != 0);
    log(level, "%hs", marker.c_str());
}

void LoggerWin::takeTime(SYSTEMTIME& time) const {
    if (flags() & UtcTimestamps) {
        ::GetSystemTime(&time);
    } else {
        ::GetLocalTime(&time);
    }
}

namespace {

int formatInto(std::vector<wchar_t>& buffer, const wchar_t* format, va_list args) {
    return detail::formatTruncating(buffer.data(), buffer.size(), format, args);
}

int formatInto(std::vector<char>& buffer, const char* format, va_list args) {
    return detail::formatTruncatingV(buffer.data(), buffer.size(), format, args);
}

// Formats a message into 2048 characters, or into 65536 when that is too small;
// answers its length, or -1 when it does not fit either.
template <class Char>
int formatMessage(const Char* format, va_list args, std::vector<Char>& buffer) {
    for (const size_t size : {FirstBufferSize, SecondBufferSize}) {
        buffer.resize(size);
        va_list attempt;
        va_copy(attempt, args);
        const int length = formatInto(buffer, format, attempt);
        va_end(attempt);
        if (length >= 0) {
            return length;
        }
    }
    return -1;
}

} // namespace

void LoggerWin::logV(int level, const char* function, const wchar_t* format, va_list args) {
    if (isFiltered(level)) {
        return;
    }
    SYSTEMTIME time;
    takeTime(time);
    detail::LastErrorKeeper keep;
    try {
        if (format == nullptr) {
            writeLine(level, time, function, "", 0);
            return;
        }
        std::vector<wchar_t> buffer;
        const int length = formatMessage(format, args, buffer);
        if (length < 0) {
            // The format goes in as UTF-8, like every other text of the file.
            const std::string text = detail::toUtf8(format, std::wcslen(format));
            log(Error, "KV_ZARN_LOG failure: too large message. Format: %hs", text.c_str());
            return;
        }
        const std::string message = detail::toUtf8(buffer.data(), static_cast<size_t>(length));
        writeLine(level, time, function, message.data(), message.size());
    } catch (...) {
    }
}

void LoggerWin::logV(int level, const char* function, const char* format, va_list args) {
    if (isFiltered(level)) {
        return;
    }
    SYSTEMTIME time;
    takeTime(time);
    detail::LastErrorKeeper keep;
    try {
        if (format == nullptr) {
            writeLine(level, time, function, "", 0);
            return;
        }
        std::vector<char> buffer;
        const int length = formatMessage(format, args, buffer);
        if (length < 0) {
            log(Error, "KV_ZARN_LOG failure: too large message. Format: %hs", format);
            return;
        }
        writeLine(level, time, function, buffer.data(), static_cast<size_t>(length));
    } catch (...) {
    }
}

void LoggerWin::writeLine(int level, const SYSTEMTIME& time, const char* function, const char* message,
                          size_t length) {
    const std::string prefix = shortenFunctionName(function);
    std::vector<char> line(prefix.size() + length + LineOverhead);
    const int written = detail::formatTruncating(
        line.data(), line.size(), "%04d-%02d-%02d %02d:%02d:%02d.%03d [%04x.%04x] %s: %s%.*s\r\n", time.wYear,
        time.wMonth, time.wDay, time.wHour, time.wMinute, time.wSecond, time.wMilliseconds,
        static_cast<unsigned>(::GetCurrentProcessId()), static_cast<unsigned>(::GetCurrentThreadId()),
        levelTag(level), prefix.c_str(), static_cast<int>(length), message);
    if (written < 0) {
        return;
    }
    // One message, one line: a line break in outside data (a registry value, a system
    // text) must not start a line that reads as an entry of its own.
    std::replace_if(
        line.begin(), line.begin() + (written - 2), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    if (debugOutput()) {
        ::OutputDebugStringA(line.data());
    }
    std::lock_guard<std::mutex> guard(lock_);
    if (fileContext_) {
        fileContext_->write(line.data(), static_cast<size_t>(written));
    }
}

} // namespace KvZarnLogging
