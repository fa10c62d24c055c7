#include <windows.h>

#include "LogTestSupport.h"
#include "logging/FileContext.h"
#include "logging/Log.h"
#include "logging/Logger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <tuple>
#include <vector>

using namespace KvZarnLogging;
using namespace logtest;

namespace {

std::atomic<ULONGLONG> fakeNow{1000};
ULONGLONG WINAPI fakeTick() {
    return fakeNow.load();
}

// What the logger hands its file context, and what the context answers.
struct Captured {
    std::string bytes;
    int level = Info;
    int opens = 0, flushes = 0, created = 0;
    std::wstring nameSpace, fileName;
};

class CapturingContext : public FileContext {
public:
    explicit CapturingContext(Captured& captured)
        : FileContext(std::make_unique<FileSystem::Path>(), L"", L"Wisp", L"x", Info, 0), captured(captured) {
    }
    bool open() override { return captured.opens++ == 0; }
    void write(const char* bytes, size_t count) override { captured.bytes.append(bytes, count); }
    void flush() override { ++captured.flushes; }
    int logLevel() override { return captured.level; }
    bool debugOutputEnabled() override { return false; }
    Captured& captured;
};

// Captured is the first base: it outlives the auto-close marker of the logger's destructor.
struct CapturingLogger : Captured, LoggerWin {
    CapturingLogger() : LoggerWin(&fakeTick) {}
    std::unique_ptr<FileContext> createFileContext(const wchar_t* given, const std::wstring&,
                                                   const std::wstring& file, int, unsigned) override {
        ++created;
        nameSpace = given ? given : L"(null)";
        fileName = file;
        return std::make_unique<CapturingContext>(*this);
    }
};

template <class Char>
void logf(Logger& logger, int level, const char* function, const Char* format, ...) {
    va_list args;
    va_start(args, format);
    logger.logV(level, function, format, args);
    va_end(args);
}

std::string now() {
    SYSTEMTIME time;
    GetLocalTime(&time);
    char text[32];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d.%03d", time.wYear, time.wMonth,
                  time.wDay, time.wHour, time.wMinute, time.wSecond, time.wMilliseconds);
    return text;
}

// A logging root of its own, for the tests that log to a file.
class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        fakeNow = 1000;
        settings.setRoot(root.path());
    }
    std::wstring base(const std::wstring& name = L"install-x") const {
        return root.path() + L"\\Korvane\\Log\\Wisp\\" + name;
    }
    kv::test::TempDirectory root;
    logtest::LoggingSettings settings;
    CapturingLogger logger;
    Captured& captured = logger;
};

TEST(ShortenFunctionName, Table) {
    const std::pair<const char*, const char*> rows[] = {
        {nullptr, ""},
        {"", ""},
        {"GenericApi<class HosterApi>::GenericApi", "GenericApi<class HosterApi>::GenericApi: "},
        {"`anonymous-namespace'::getEnvironmentVariable", "::getEnvironmentVariable: "},
        {"`anonymous-namespace'", ": "},
        {"x`anonymous-namespace'::f", "x`anonymous-namespace'::f: "},
        {"MainLogic::execute::<lambda_9f3e2a1b4c>::operator ()", "MainLogic::execute::<lambda>: "},
        {"`anonymous-namespace'::run::<lambda_1>::operator()", "::run::<lambda>: "},
        {"MainLogic::execute::<lambda_1>::operator()<int>",
         "MainLogic::execute::<lambda_1>::operator()<int>: "},
        {"f::<lambda>::operator()", "f::<lambda>::operator(): "},
        {"()", "(): "},
    };
    for (const auto& [name, prefix] : rows) {
        EXPECT_EQ(shortenFunctionName(name), prefix) << (name ? name : "(null)");
    }
}

TEST_F(LoggerTest, LineFormatTagsAndUtf8) {
    captured.level = Verbose;
    logger.open(L"wp_default", L"Wisp", L"install-x", Info, 0);
    captured.bytes.clear();
    const std::string before = now();
    logf(logger, Info, "InstallerMain", L"Executing %ls %hs %d...", L"main", "logic", 7);
    logf(logger, Warning, nullptr, "narrow %hs %ls %s", "a", L"b", "c");
    logf(logger, Info, nullptr, L"%ls|\u00e9", L"\u20ac\U0001F600");
    logf(logger, Info, nullptr, "caf\xc3\xa9 \xff");
    logf(logger, Info, nullptr, L"%ls", L"a\r\nb\nc\r");
    logf(logger, Info, nullptr, "x\r\n%hs", "y");
    for (const int level : {int{Fatal}, int{Error}, int{Debug}, int{Verbose}, 0, -5}) {
        logf(logger, level, "f", L"%d", level);
    }
    logf(logger, Verbose + 1, "f", L"filtered");
    const std::string after = now();

    char ids[32];
    std::snprintf(ids, sizeof(ids), " [%04x.%04x] ", static_cast<unsigned>(GetCurrentProcessId()),
                  static_cast<unsigned>(GetCurrentThreadId()));
    const Lines lines = splitLines(captured.bytes);
    EXPECT_TRUE(lines.whole);
    ASSERT_EQ(lines.lines.size(), 12u);
    for (const std::string& line : lines.lines) {
        const std::string stamp = line.substr(0, 23);
        EXPECT_TRUE(before <= stamp && stamp <= after) << before << " " << stamp << " " << after;
        EXPECT_EQ(line.substr(23, std::strlen(ids)), ids);
    }
    // clang-format off
    const std::vector<std::string> expected = {
        " I: InstallerMain: Executing main logic 7...", ".W: narrow a b c",
        " I: \xe2\x82\xac\xf0\x9f\x98\x80|\xc3\xa9", " I: caf\xc3\xa9 \xff",
        " I: a  b c ", " I: x  y",
        "*F: f: 1", "*E: f: 2", " D: f: 5", " V: f: 6", "  : f: 0", "  : f: -5"};
    // clang-format on
    EXPECT_EQ(texts(captured.bytes), expected);
}

// The first buffer holds 2047 characters and the NUL, the second 65535.
TEST_F(LoggerTest, LongMessagesUseTheSecondBufferAndTooLongOnesAreReported) {
    logger.open(L"", L"Wisp", L"x", Info, 0);
    for (const size_t length : {2047u, 2048u, 65535u, 65536u, 70000u}) {
        captured.bytes.clear();
        logf(logger, Info, "f", L"%ls", std::wstring(length, L'w').c_str());
        logf(logger, Info, "f", "%hs", std::string(length, 'n').c_str());
        const std::vector<std::string> expected =
            length < 65536
                ? std::vector<std::string>{" I: f: " + std::string(length, 'w'),
                                           " I: f: " + std::string(length, 'n')}
                : std::vector<std::string>{"*E: KV_ZARN_LOG failure: too large message. Format: %ls",
                                           "*E: KV_ZARN_LOG failure: too large message. Format: %hs"};
        EXPECT_EQ(texts(captured.bytes), expected) << length;
    }
}

// Nothing passes before open; a second open changes nothing; after close lines
// reach no file, and another open starts again.
TEST_F(LoggerTest, OpenAndCloseLifecycle) {
    EXPECT_FALSE(logger.isEnabled(Fatal));
    captured.level = Warning;
    logger.open("wp_blue", "Wisp", "install-\xc3\xa9", Info, 0);
    EXPECT_EQ(captured.nameSpace, L"wp_blue");
    EXPECT_EQ(captured.fileName, L"install-\u00e9");
    EXPECT_EQ(logger.threshold(), Warning) << "the configured level replaces the one given to open";
    logger.open(nullptr, L"Other", L"y", Verbose, UtcTimestamps | ForceVerbose);
    EXPECT_EQ(std::make_tuple(captured.created, logger.flags(), logger.threshold()),
              std::make_tuple(1, 0u, int{Warning}));
    logger.close();
    const std::string closed = captured.bytes;
    logf(logger, Error, "f", L"after close");
    logger.flush();
    EXPECT_EQ(std::tie(captured.bytes, captured.flushes), std::make_tuple(closed, 0));
    logger.open(L"", L"Wisp", L"x", Info, 0);
    logger.flush();
    EXPECT_EQ(std::tie(captured.created, captured.flushes), std::make_tuple(2, 1));
}

TEST(StartMarker, OffsetAndText) {
    const std::tuple<DWORD, LONG, LONG, LONG, const char*> rows[] = {
        {TIME_ZONE_ID_STANDARD, -60, 0, -60, "UTC+1:00"},   {TIME_ZONE_ID_UNKNOWN, -345, 0, -60, "UTC+5:45"},
        {TIME_ZONE_ID_STANDARD, 210, 0, -60, "UTC-3:-30"},  {TIME_ZONE_ID_DAYLIGHT, 210, 0, -60, "UTC-2:-30"},
        {TIME_ZONE_ID_STANDARD, 60, -30, -60, "UTC+0:-30"}, {TIME_ZONE_ID_STANDARD, 0, 0, -60, "UTC+0:00"},
        {TIME_ZONE_ID_STANDARD, 720, 0, 0, "UTC-12:00"},    {TIME_ZONE_ID_INVALID, 0, 0, 0, "UTC+59:59"}};
    for (const auto& [result, bias, standard, daylight, text] : rows) {
        TIME_ZONE_INFORMATION zone = {};
        std::tie(zone.Bias, zone.StandardBias, zone.DaylightBias) = std::tie(bias, standard, daylight);
        EXPECT_EQ(startMarkerText(utcOffsetMinutes(result, zone), 1, false),
                  std::string("***  LOGGING STARTED  *** (") + text + ", session: 0x1)");
    }
}

// Run by CTest once per time zone, with TZ and KV_EXPECTED_ZONE set.
TEST(StartMarker, ShowsTheZoneOfTheProcess) {
    char expected[32] = {};
    if (GetEnvironmentVariableA("KV_EXPECTED_ZONE", expected, sizeof(expected)) == 0) {
        GTEST_SKIP() << "KV_EXPECTED_ZONE is not set";
    }
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    char marker[96];
    std::snprintf(marker, sizeof(marker), " I: ***  LOGGING STARTED  *** (%s, session: 0x%x)", expected,
                  static_cast<unsigned>(session));
    CapturingLogger logger;
    logger.open(L"", L"Wisp", L"x", Info, 0);
    EXPECT_EQ(texts(logger.bytes), (std::vector<std::string>{"", marker}))
        << "a blank line before the header";
}

std::string debugOutput;
LONG CALLBACK collectDebugOutput(EXCEPTION_POINTERS* pointers) {
    if (pointers->ExceptionRecord->ExceptionCode == DBG_PRINTEXCEPTION_C) {
        debugOutput += reinterpret_cast<const char*>(pointers->ExceptionRecord->ExceptionInformation[1]);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

// Registry changes apply on the first call after 60000 ms: the level, the size limit and the debugger mirror.
TEST_F(LoggerTest, ConfigurationIsReadAgainAfterTheInterval) {
    settings.setDword(L"", L"LogLevel", Error);
    PVOID handler = AddVectoredExceptionHandler(1, collectDebugOutput);
    debugOutput.clear();
    {
        LoggerWin logger(&fakeTick);
        logger.open(L"", L"Wisp", L"install-x", Info, 0);
        EXPECT_FALSE(logger.isEnabled(Warning));
        settings.setDword(L"Wisp", L"LogLevel", Verbose);
        settings.setDword(L"Wisp", L"LogMaxSizeKB", 1);
        settings.setDword(L"Wisp\\install-x", L"DebugOutputLogging", 1);
        fakeNow += 60000;
        EXPECT_FALSE(logger.isEnabled(Verbose));
        EXPECT_EQ(debugOutput, "");
        fakeNow += 1;
        for (int i = 0; i < 40; ++i) {
            logf(logger, Verbose, "f", L"%040d", i);
        }
    }
    RemoveVectoredExceptionHandler(handler);
    EXPECT_TRUE(exists(base() + L".1.log")) << "the 1 KB limit applies";
    const std::vector<std::string> mirrored = texts(debugOutput);
    ASSERT_EQ(mirrored.size(), 41u) << "every line, the auto-close marker too";
    EXPECT_EQ(mirrored[39], " V: f: 0000000000000000000000000000000000000039");
    const std::string current = readFile(base() + L".log");
    ASSERT_LT(current.size(), debugOutput.size());
    EXPECT_EQ(current, debugOutput.substr(debugOutput.size() - current.size()))
        << "the same bytes as the file";
}

// The free functions drive the process logger (install-free) beside a logger of the test's own.
TEST_F(LoggerTest, EveryEntryPointKeepsTheCallersLastError) {
    settings.setDword(L"", L"DebugOutputLogging", 1); // OutputDebugStringA sets error 2 under Wine
    // A second writer of the file holds its mutex, so creating it sets ERROR_ALREADY_EXISTS.
    FileContext peer(std::make_unique<FileSystem::Path>(), L"", L"Wisp", L"install-x", Info, 0);
    ASSERT_TRUE(peer.open());
    auto logger = std::make_unique<LoggerWin>(&fakeTick);
    const std::pair<const char*, std::function<void()>> calls[] = {
        {"open with ForceVerbose", [&] { logger->open(L"", L"Wisp", L"install-x", Info, ForceVerbose); }},
        {"first log call sets up the file", [&] { logf(*logger, Info, "f", L"%ls", L"first"); }},
        {"narrow log", [&] { logf(*logger, Error, "f", "%hs", "narrow"); }},
        {"filtered log", [&] { logf(*logger, Verbose, "f", L"filtered"); }},
        {"isEnabled with a refresh due",
         [&] {
             fakeNow += 60001;
             logger->isEnabled(Info);
         }},
        {"flush", [&] { logger->flush(); }},
        {"close", [&] { logger->close(); }},
        {"open", [&] { logger->open("", "Wisp", "install-x", Info, 0); }},
        {"destructor", [&] { logger.reset(); }},
        {"openLog", [] { openLog(std::wstring(L"wp_default"), L"Wisp", L"install-free", Info, 0); }},
        {"log", [] { log(Info, "InstallerMain", L"Version: %02u.%02u (%hs)", 2u, 8u, "x64"); }},
        {"narrow log", [] { log(Warning, "wp::markActiveVersion", "narrow %hs", "text"); }},
        {"logs without a function",
         [] {
             log(Error, L"no function %ls", L"wide");
             log(Error, "no function %d", 3);
             log(Debug, "InstallerMain", L"filtered");
         }},
        {"isLogEnabled", [] { EXPECT_TRUE(isLogEnabled(Info) && !isLogEnabled(Debug)); }},
        {"flushLog", [] { flushLog(); }},
        {"closeLog", [] { closeLog(); }},
    };
    DWORD error = 0x20000001;
    for (const auto& [what, call] : calls) {
        SetLastError(++error);
        call();
        EXPECT_EQ(GetLastError(), error) << what;
    }
    const std::string bytes = readFile(base() + L".log");
    EXPECT_NE(bytes.find("f: first"), std::string::npos);
    EXPECT_NE(bytes.find("***  LOG AUTO-CLOSED ***"), std::string::npos);
    const std::string free = readFile(base(L"install-free.log"));
    EXPECT_EQ(free.substr(0, 3), "\r\n2") << "no byte-order mark; the header's blank line first";
    const std::vector<std::string> lines = texts(free);
    ASSERT_EQ(lines.size(), 7u);
    const std::vector<std::string> expected = {
        " I: InstallerMain: Version: 02.08 (x64)", ".W: wp::markActiveVersion: narrow text",
        "*E: no function wide", "*E: no function 3", " I: ***  LOGGING ENDED  ***"};
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 2, lines.end()), expected);
}

} // namespace
