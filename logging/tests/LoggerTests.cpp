#include <windows.h>

#include "LogTestSupport.h"
#include "logging/FileContext.h"
#include "logging/Logger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using namespace KvZarnLogging;

namespace {

std::atomic<ULONGLONG> fakeNow{1000};
ULONGLONG WINAPI fakeTick() {
    return fakeNow.load();
}

// What the logger handed to its file context, and what the context answers.
struct Captured {
    std::string bytes;
    int level = Info;
    bool debug = false;
    int opens = 0;
    int flushes = 0;
    int created = 0;
    bool destroyed = false;
    std::wstring nameSpace = L"(null)";
    std::wstring component;
    std::wstring fileName;
    int openLevel = 0;
    unsigned flags = 0;
};

class CapturingContext : public FileContext {
public:
    CapturingContext(Captured& captured, int level, unsigned flags)
        : FileContext(std::make_unique<FileSystem::Path>(), L"", L"Wisp", L"x", level, flags),
          captured_(captured) {}
    ~CapturingContext() override { captured_.destroyed = true; }
    bool open() override { return captured_.opens++ == 0; }
    void write(const char* bytes, size_t count) override { captured_.bytes.append(bytes, count); }
    void flush() override { ++captured_.flushes; }
    int logLevel() override { return captured_.level; }
    bool debugOutputEnabled() override { return captured_.debug; }

private:
    Captured& captured_;
};

class CapturingLogger : public LoggerWin {
public:
    explicit CapturingLogger(Captured& captured) : LoggerWin(&fakeTick), captured_(captured) {}
    ~CapturingLogger() override = default;
    std::unique_ptr<FileContext> createFileContext(const wchar_t* nameSpace, const std::wstring& component,
                                                   const std::wstring& fileName, int level,
                                                   unsigned flags) override {
        ++captured_.created;
        captured_.destroyed = false;
        captured_.nameSpace = nameSpace ? nameSpace : L"(null)";
        captured_.component = component;
        captured_.fileName = fileName;
        captured_.openLevel = level;
        captured_.flags = flags;
        return std::make_unique<CapturingContext>(captured_, level, flags);
    }

private:
    Captured& captured_;
};

void logWide(Logger& logger, int level, const char* function, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    logger.logV(level, function, format, args);
    va_end(args);
}

void logNarrow(Logger& logger, int level, const char* function, const char* format, ...) {
    va_list args;
    va_start(args, format);
    logger.logV(level, function, format, args);
    va_end(args);
}

std::string timestamp(const SYSTEMTIME& time) {
    char text[32];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d.%03d", time.wYear, time.wMonth,
                  time.wDay, time.wHour, time.wMinute, time.wSecond, time.wMilliseconds);
    return text;
}

std::string localNow() {
    SYSTEMTIME time;
    GetLocalTime(&time);
    return timestamp(time);
}

std::string utcNow() {
    SYSTEMTIME time;
    GetSystemTime(&time);
    return timestamp(time);
}

// The part of each line after the level tag's ": ".
std::vector<std::string> messages(const std::string& bytes) {
    std::vector<std::string> result;
    for (const std::string& line : logtest::splitLines(bytes).lines) {
        result.push_back(line.empty() ? "" : line.substr(line.find("] ") + 6));
    }
    return result;
}

std::string sessionText() {
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    char text[16];
    std::snprintf(text, sizeof(text), "0x%x", static_cast<unsigned>(session));
    return text;
}

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override { fakeNow = 1000; }
    Captured captured;
    CapturingLogger logger{captured};
};

struct NameCase {
    const char* name;
    const char* prefix;
};

TEST(ShortenFunctionName, Table) {
    const NameCase rows[] = {
        {nullptr, ""},
        {"", ""},
        {"InstallerMain", "InstallerMain: "},
        {"GenericApi<class HosterApi>::GenericApi", "GenericApi<class HosterApi>::GenericApi: "},
        {"`anonymous-namespace'::getEnvironmentVariable", "::getEnvironmentVariable: "},
        {"`anonymous-namespace'", ": "},
        {"x`anonymous-namespace'::f", "x`anonymous-namespace'::f: "},
        {"MainLogic::execute::<lambda_9f3e2a1b4c>::operator ()", "MainLogic::execute::<lambda>: "},
        {"`anonymous-namespace'::run::<lambda_1>::operator()", "::run::<lambda>: "},
        {"MainLogic::execute::<lambda_1>::operator()<int>",
         "MainLogic::execute::<lambda_1>::operator()<int>: "},
        {"MainLogic::execute::<lambda>::operator()", "MainLogic::execute::<lambda>::operator(): "},
        {"f()", "f(): "},
        {"()", "(): "},
    };
    for (const NameCase& row : rows) {
        EXPECT_EQ(shortenFunctionName(row.name), row.prefix) << (row.name ? row.name : "(null)");
    }
}

TEST_F(LoggerTest, LinesHaveTheExactFormat) {
    logger.open(L"wp_default", L"Wisp", L"install-x", Info, 0);
    captured.bytes.clear();
    const std::string before = localNow();
    logWide(logger, Info, "InstallerMain", L"Executing %ls %hs %d...", L"main", "logic", 7);
    logNarrow(logger, Warning, nullptr, "narrow %hs %ls %s", "a", L"b", "c");
    const std::string after = localNow();

    const logtest::Lines lines = logtest::splitLines(captured.bytes);
    ASSERT_EQ(lines.lines.size(), 2u);
    EXPECT_FALSE(lines.stray);
    const std::string id = logtest::idField(GetCurrentProcessId(), GetCurrentThreadId());
    for (const std::string& line : lines.lines) {
        const std::string stamp = line.substr(0, 23);
        EXPECT_TRUE(before <= stamp && stamp <= after) << before << " " << stamp << " " << after;
        EXPECT_EQ(line.substr(23, id.size() + 2), " " + id + " ");
    }
    EXPECT_EQ(lines.lines[0].substr(25 + id.size()), " I: InstallerMain: Executing main logic 7...");
    EXPECT_EQ(lines.lines[1].substr(25 + id.size()), ".W: narrow a b c");
}

TEST_F(LoggerTest, EveryLevelHasItsTag) {
    captured.level = Verbose;
    logger.open(L"", L"Wisp", L"x", Verbose, 0);
    captured.bytes.clear();
    const std::pair<int, const char*> rows[] = {{Fatal, "*F"}, {Error, "*E"},   {Warning, ".W"}, {Info, " I"},
                                                {Debug, " D"}, {Verbose, " V"}, {0, "  "},       {-5, "  "}};
    for (const auto& [level, tag] : rows) {
        captured.bytes.clear();
        logWide(logger, level, "f", L"m");
        const std::string line = logtest::splitLines(captured.bytes).lines.at(0);
        EXPECT_TRUE(logtest::isLogLine(line)) << line;
        EXPECT_EQ(line.substr(line.find("] ") + 2), std::string(tag) + ": f: m") << level;
    }
    captured.bytes.clear();
    logWide(logger, Verbose + 1, "f", L"m");
    EXPECT_EQ(captured.bytes, "");
}

TEST_F(LoggerTest, TextIsUtf8WithoutConversionOfNarrowMessages) {
    logger.open(L"", L"Wisp", L"x", Info, 0);
    captured.bytes.clear();
    logWide(logger, Info, nullptr, L"%ls|\u00e9", L"\u20ac\U0001F600");
    logNarrow(logger, Info, nullptr, "caf\xc3\xa9 \xff");
    EXPECT_EQ(messages(captured.bytes),
              (std::vector<std::string>{"\xe2\x82\xac\xf0\x9f\x98\x80|\xc3\xa9", "caf\xc3\xa9 \xff"}));
}

struct SizeCase {
    size_t characters;
    bool written;
};

// The first buffer holds 2047 characters and its NUL, the second 65535.
TEST_F(LoggerTest, LongMessagesUseTheSecondBufferAndTooLongOnesAreReported) {
    logger.open(L"", L"Wisp", L"x", Info, 0);
    const SizeCase rows[] = {{2047, true}, {2048, true}, {65535, true}, {65536, false}, {70000, false}};
    for (const SizeCase& row : rows) {
        const std::wstring wide(row.characters, L'w');
        const std::string narrow(row.characters, 'n');
        captured.bytes.clear();
        logWide(logger, Info, "f", L"%ls", wide.c_str());
        logNarrow(logger, Info, "f", "%hs", narrow.c_str());
        const std::vector<std::string> lines = messages(captured.bytes);
        ASSERT_EQ(lines.size(), 2u) << row.characters;
        if (row.written) {
            EXPECT_EQ(lines[0], "f: " + std::string(row.characters, 'w'));
            EXPECT_EQ(lines[1], "f: " + narrow);
        } else {
            EXPECT_EQ(lines[0], "KV_ZARN_LOG failure: too large message. Format: %ls");
            EXPECT_EQ(lines[1], "KV_ZARN_LOG failure: too large message. Format: %hs");
            EXPECT_NE(captured.bytes.find("] *E: KV_ZARN"), std::string::npos);
        }
    }
}

TEST_F(LoggerTest, NothingPassesBeforeOpenAndASecondOpenChangesNothing) {
    for (int level = Fatal; level <= Verbose; ++level) {
        EXPECT_FALSE(logger.isEnabled(level)) << level;
    }
    logWide(logger, Fatal, "f", L"dropped");
    EXPECT_EQ(captured.created, 0);

    captured.level = Warning;
    logger.open("wp_blue", "Wisp", "install-\xc3\xa9", Info, 0);
    EXPECT_EQ(captured.created, 1);
    EXPECT_EQ(captured.nameSpace, L"wp_blue");
    EXPECT_EQ(captured.fileName, L"install-\u00e9");
    EXPECT_EQ(captured.openLevel, Info);
    EXPECT_EQ(logger.threshold(), Warning) << "the configured level replaces the one given to open";

    logger.open(nullptr, L"Other", L"y", Verbose, UtcTimestamps | ForceVerbose);
    EXPECT_EQ(captured.created, 1);
    EXPECT_EQ(logger.flags(), 0u);
    EXPECT_EQ(logger.threshold(), Warning);
    EXPECT_EQ(captured.opens, 1);
}

TEST_F(LoggerTest, ConfigurationIsReadAgainOnlyAfterSixtySeconds) {
    logger.open(L"", L"Wisp", L"x", Info, 0);
    EXPECT_EQ(captured.opens, 1);
    captured.level = Verbose;
    captured.debug = true;
    fakeNow += LoggerWin::RefreshIntervalMs;
    EXPECT_FALSE(logger.isEnabled(Verbose));
    EXPECT_FALSE(logger.debugOutput());
    fakeNow += 1;
    EXPECT_TRUE(logger.isEnabled(Verbose));
    EXPECT_TRUE(logger.debugOutput());
    EXPECT_TRUE(logger.isEnabled(Verbose));
    EXPECT_EQ(captured.opens, 2);
}

TEST_F(LoggerTest, ForceVerboseDefersTheConfigurationToTheFirstCheck) {
    captured.level = Info;
    captured.debug = true;
    logger.open(L"", L"Wisp", L"x", Info, ForceVerbose);
    EXPECT_EQ(logger.threshold(), Verbose);
    EXPECT_FALSE(logger.debugOutput());
    EXPECT_EQ(captured.opens, 0);
    EXPECT_EQ(captured.bytes, "");

    logWide(logger, Verbose, "f", L"first");
    EXPECT_EQ(captured.opens, 1);
    EXPECT_EQ(logger.threshold(), Info);
    const std::vector<std::string> lines = messages(captured.bytes);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[1].rfind("***  LOGGING STARTED  *** (UTC", 0), 0u);
}

struct MarkerCase {
    unsigned flags;
    int threshold;
    const char* tag;
};

TEST_F(LoggerTest, MarkersFrameTheLogAtTheMarkerLevel) {
    const MarkerCase rows[] = {
        {0, Info, " I"}, {MarkersAtDebug, Info, nullptr}, {MarkersAtDebug, Debug, " D"}};
    const std::regex start(R"(\*\*\*  LOGGING STARTED  \*\*\* \(UTC[+-]\d+:-?\d\d, session: 0x[0-9a-f]+\))");
    for (const MarkerCase& row : rows) {
        Captured own;
        own.level = row.threshold;
        {
            CapturingLogger local(own);
            local.open(L"", L"Wisp", L"x", row.threshold, row.flags);
            logWide(local, Info, "f", L"body");
            local.close();
            EXPECT_TRUE(own.destroyed);
        }
        const logtest::Lines lines = logtest::splitLines(own.bytes);
        if (row.tag == nullptr) {
            EXPECT_EQ(messages(own.bytes), std::vector<std::string>{"f: body"});
            continue;
        }
        ASSERT_EQ(lines.lines.size(), 4u) << own.bytes;
        EXPECT_EQ(lines.lines[0], "") << "a blank line before every header";
        const std::string tagged = std::string("] ") + row.tag + ": ";
        EXPECT_NE(lines.lines[1].find(tagged + "***  LOGGING STARTED  ***"), std::string::npos);
        EXPECT_TRUE(std::regex_match(messages(own.bytes)[1], start)) << lines.lines[1];
        EXPECT_NE(lines.lines[1].find("session: " + sessionText() + ")"), std::string::npos);
        EXPECT_EQ(lines.lines[3].substr(lines.lines[3].find("] ")), tagged + "***  LOGGING ENDED  ***");
    }
}

TEST_F(LoggerTest, AfterCloseLinesReachNoFileAndAnotherOpenStartsAgain) {
    logger.open(L"", L"Wisp", L"x", Info, 0);
    logger.close();
    const std::string closed = captured.bytes;
    logWide(logger, Error, "f", L"after close");
    logger.flush();
    EXPECT_EQ(captured.bytes, closed);
    EXPECT_EQ(captured.flushes, 0);

    logger.open(L"", L"Wisp", L"x", Info, 0);
    EXPECT_EQ(captured.created, 2);
    logger.flush();
    EXPECT_EQ(captured.flushes, 1);
}

TEST_F(LoggerTest, UtcTimestampsAndTheUtcMarker) {
    if (localNow().substr(11, 5) == utcNow().substr(11, 5)) {
        GTEST_SKIP() << "local time equals UTC here (the test runs with TZ=NPT-5:45)";
    }
    const std::string before = utcNow();
    logger.open(L"", L"Wisp", L"x", Info, UtcTimestamps);
    logWide(logger, Info, "f", L"m");
    const std::string after = utcNow();
    const logtest::Lines lines = logtest::splitLines(captured.bytes);
    ASSERT_EQ(lines.lines.size(), 3u);
    for (size_t i = 1; i < 3; ++i) {
        const std::string stamp = lines.lines[i].substr(0, 23);
        EXPECT_TRUE(before <= stamp && stamp <= after) << stamp;
    }
    EXPECT_TRUE(std::regex_match(
        messages(captured.bytes)[1],
        std::regex(
            R"(\*\*\*  LOGGING STARTED  \*\*\* \(UTC\+00:00, local:[+-]\d+:-?\d\d, session: 0x[0-9a-f]+\))")));
}

struct ZoneCase {
    DWORD result;
    LONG bias;
    LONG standardBias;
    LONG daylightBias;
    int offset;
};

TEST(StartMarker, OffsetFromTheZoneQuery) {
    const ZoneCase rows[] = {{TIME_ZONE_ID_STANDARD, -345, 0, -60, 345},
                             {TIME_ZONE_ID_UNKNOWN, 210, 0, -60, -210},
                             {TIME_ZONE_ID_DAYLIGHT, 210, 0, -60, -150},
                             {TIME_ZONE_ID_STANDARD, 60, -30, -60, -30},
                             {TIME_ZONE_ID_INVALID, 0, 0, 0, 3599}};
    for (const ZoneCase& row : rows) {
        TIME_ZONE_INFORMATION zone = {};
        zone.Bias = row.bias;
        zone.StandardBias = row.standardBias;
        zone.DaylightBias = row.daylightBias;
        EXPECT_EQ(utcOffsetMinutes(row.result, zone), row.offset) << row.bias;
    }
}

TEST(StartMarker, TextForOffsetsAndSessions) {
    const std::pair<int, const char*> rows[] = {
        {60, "***  LOGGING STARTED  *** (UTC+1:00, session: 0x1)"},
        {345, "***  LOGGING STARTED  *** (UTC+5:45, session: 0x1)"},
        {-210, "***  LOGGING STARTED  *** (UTC-3:-30, session: 0x1)"},
        {-30, "***  LOGGING STARTED  *** (UTC+0:-30, session: 0x1)"},
        {0, "***  LOGGING STARTED  *** (UTC+0:00, session: 0x1)"},
        {3599, "***  LOGGING STARTED  *** (UTC+59:59, session: 0x1)"},
        {-720, "***  LOGGING STARTED  *** (UTC-12:00, session: 0x1)"}};
    for (const auto& [offset, text] : rows) {
        EXPECT_EQ(startMarkerText(offset, 1, false), text);
    }
    EXPECT_EQ(startMarkerText(345, 0xDEADBEEF, true),
              "***  LOGGING STARTED  *** (UTC+00:00, local:+5:45, session: 0xdeadbeef)");
}

// Run by CTest once per time zone, with TZ and KV_EXPECTED_ZONE set.
TEST(StartMarker, ShowsTheZoneOfTheProcess) {
    char expected[32] = {};
    if (GetEnvironmentVariableA("KV_EXPECTED_ZONE", expected, sizeof(expected)) == 0) {
        GTEST_SKIP() << "KV_EXPECTED_ZONE is not set";
    }
    Captured captured;
    CapturingLogger logger(captured);
    logger.open(L"", L"Wisp", L"x", Info, 0);
    EXPECT_NE(captured.bytes.find(std::string("(") + expected + ", session: "), std::string::npos)
        << captured.bytes;
}

LONG CALLBACK collectDebugOutput(EXCEPTION_POINTERS* pointers);
std::string debugOutput;

LONG CALLBACK collectDebugOutput(EXCEPTION_POINTERS* pointers) {
    if (pointers->ExceptionRecord->ExceptionCode == DBG_PRINTEXCEPTION_C) {
        debugOutput += reinterpret_cast<const char*>(pointers->ExceptionRecord->ExceptionInformation[1]);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

TEST_F(LoggerTest, DebugOutputMirrorsEveryLineWhenSwitchedOn) {
    PVOID handler = AddVectoredExceptionHandler(1, collectDebugOutput);
    debugOutput.clear();
    captured.debug = true;
    logger.open(L"", L"Wisp", L"x", Info, 0);
    logWide(logger, Info, "f", L"mirrored");
    captured.debug = false;
    fakeNow += LoggerWin::RefreshIntervalMs + 1;
    logWide(logger, Info, "f", L"not mirrored");
    RemoveVectoredExceptionHandler(handler);
    const std::vector<std::string> lines = logtest::splitLines(captured.bytes).lines;
    ASSERT_EQ(lines.size(), 4u) << "blank line, header, two messages";
    EXPECT_EQ(debugOutput, lines[1] + "\r\n" + lines[2] + "\r\n");
}

// The real file context, its registry settings and a clock the test moves.
class LoggerFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        fakeNow = 1000;
        settings.setRoot(root.path());
    }
    std::wstring current() const { return root.path() + L"\\Korvane\\Log\\Wisp\\install-x.log"; }

    kv::test::TempDirectory root;
    logtest::LoggingSettings settings;
};

TEST_F(LoggerFileTest, RegistryChangesApplyOnTheFirstCallAfterTheInterval) {
    settings.setDword(L"", L"LogLevel", Error);
    LoggerWin logger(&fakeTick);
    logger.open(L"", L"Wisp", L"install-x", Info, 0);
    EXPECT_FALSE(logger.isEnabled(Warning));

    settings.setDword(L"Wisp", L"LogLevel", Verbose);
    settings.setDword(L"Wisp", L"LogMaxSizeKB", 1);
    settings.setDword(L"Wisp\\install-x", L"DebugOutputLogging", 1);
    fakeNow += LoggerWin::RefreshIntervalMs;
    EXPECT_FALSE(logger.isEnabled(Verbose));
    fakeNow += 1;
    EXPECT_TRUE(logger.isEnabled(Verbose));
    EXPECT_TRUE(logger.debugOutput());
    for (int i = 0; i < 40; ++i) {
        logWide(logger, Verbose, "f", L"%040d", i);
    }
    logger.close();
    EXPECT_TRUE(logtest::fileExists(root.path() + L"\\Korvane\\Log\\Wisp\\install-x.1.log"))
        << "the 1 KB limit was read again";
}

TEST_F(LoggerFileTest, EveryEntryPointKeepsTheCallersLastError) {
    settings.setDword(L"", L"DebugOutputLogging", 1); // OutputDebugStringA sets error 2 under Wine
    std::wstring mutexName;
    {
        FileContext probe(std::make_unique<FileSystem::Path>(), L"", L"Wisp", L"install-x", Info, 0);
        probe.open();
        mutexName = probe.mutexName(false);
    }
    // With the mutex already there, creating it sets ERROR_ALREADY_EXISTS.
    kv::UniqueHandle existing(CreateMutexW(nullptr, FALSE, mutexName.c_str()));
    auto logger = std::make_unique<LoggerWin>(&fakeTick);
    const std::pair<const char*, std::function<void()>> calls[] = {
        {"open with ForceVerbose", [&] { logger->open(L"", L"Wisp", L"install-x", Info, ForceVerbose); }},
        {"first log call sets up the file", [&] { logWide(*logger, Info, "f", L"%ls", L"first"); }},
        {"narrow log", [&] { logNarrow(*logger, Error, "f", "%hs", "narrow"); }},
        {"filtered log", [&] { logWide(*logger, Verbose, "f", L"filtered"); }},
        {"isEnabled with a refresh due",
         [&] {
             fakeNow += LoggerWin::RefreshIntervalMs + 1;
             logger->isEnabled(Info);
         }},
        {"flush", [&] { logger->flush(); }},
        {"close", [&] { logger->close(); }},
        {"open", [&] { logger->open("", "Wisp", "install-x", Info, 0); }},
        {"destructor", [&] { logger.reset(); }},
    };
    DWORD error = 0x20000001;
    for (const auto& [what, call] : calls) {
        SetLastError(++error);
        call();
        EXPECT_EQ(GetLastError(), error) << what;
    }
    const std::string bytes = logtest::readBytes(current());
    EXPECT_NE(bytes.find("f: first"), std::string::npos);
    EXPECT_NE(bytes.find("***  LOG AUTO-CLOSED ***"), std::string::npos);
}

TEST_F(LoggerFileTest, ThreadsLoggingAtOnceWriteWholeLines) {
    settings.setDword(L"", L"LogMaxSizeKB", 4096);
    LoggerWin logger;
    logger.open(L"", L"Wisp", L"install-x", Info, 0);
    constexpr int Threads = 8;
    constexpr int Lines = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&logger, t] {
            for (int i = 0; i < Lines; ++i) {
                logWide(logger, Info, "worker", L"thread %d line %04d %ls", t, i,
                        std::wstring(60, L'.').c_str());
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    logger.close();
    const std::string bytes = logtest::readBytes(current());
    EXPECT_EQ(bytes.substr(0, 3), "\r\n2") << "no byte-order mark, the header's blank line first";
    const logtest::Lines lines = logtest::splitLines(bytes);
    EXPECT_FALSE(lines.stray);
    std::vector<int> next(Threads, 0);
    for (const std::string& line : lines.lines) {
        int thread = -1;
        int number = -1;
        if (line.find("worker: ") == std::string::npos) {
            continue;
        }
        ASSERT_TRUE(logtest::isLogLine(line)) << line;
        ASSERT_EQ(std::sscanf(line.substr(line.find("worker: ")).c_str(), "worker: thread %d line %d",
                              &thread, &number),
                  2);
        ASSERT_TRUE(thread >= 0 && thread < Threads);
        EXPECT_EQ(number, next[thread]++);
        EXPECT_EQ(line.size(), line.find("worker: ") + 8 + 19 + 60);
    }
    EXPECT_EQ(next, std::vector<int>(Threads, Lines));
}

} // namespace
