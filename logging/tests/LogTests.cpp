#include <windows.h>

#include "LogTestSupport.h"
#include "logging/FileContext.h"
#include "logging/Log.h"
#include "logging/Logger.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

using namespace KvZarnLogging;

namespace {

// Writer processes started together and waited for.
class Writers {
public:
    ~Writers() {
        for (PROCESS_INFORMATION& process : processes_) {
            TerminateProcess(process.hProcess, 1);
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
    }

    bool start(const std::wstring& arguments) {
        std::wstring line =
            L"\"" + kv::test::besideTestExecutable(L"logging_writer.exe") + L"\" " + arguments;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                            &process)) {
            return false;
        }
        processes_.push_back(process);
        return true;
    }

    // Exit codes in start order; ~0u for a writer that did not end in time.
    std::vector<DWORD> wait() {
        std::vector<DWORD> codes;
        for (PROCESS_INFORMATION& process : processes_) {
            DWORD code = ~0u;
            if (WaitForSingleObject(process.hProcess, 120000) == WAIT_OBJECT_0) {
                GetExitCodeProcess(process.hProcess, &code);
            }
            codes.push_back(code);
        }
        return codes;
    }

private:
    std::vector<PROCESS_INFORMATION> processes_;
};

class LogTest : public ::testing::Test {
protected:
    void SetUp() override { settings.setRoot(root.path()); }

    std::wstring base(const std::wstring& stem) const {
        return root.path() + L"\\Korvane\\Log\\Wisp\\" + stem;
    }
    std::wstring mutexName(const std::wstring& stem) {
        FileContext probe(std::make_unique<FileSystem::Path>(), L"", L"Wisp", stem, Info, 0);
        probe.open();
        return probe.mutexName(false);
    }

    kv::test::TempDirectory root;
    logtest::LoggingSettings settings;
};

TEST_F(LogTest, FreeFunctionsDriveTheProcessLogger) {
    EXPECT_FALSE(isLogEnabled(Fatal)) << "nothing passes before openLog";
    SetLastError(0x20000042);
    openLog(std::wstring(L"wp_default"), L"Wisp", L"install-free", Info, 0);
    log(Info, "InstallerMain", L"Version: %02u.%02u (%hs)", 2u, 8u, "x64");
    log(Warning, "wp::markActiveVersion", "narrow %hs", "text");
    log(Error, L"no function %ls", L"wide");
    log(Error, "no function %d", 3);
    log(Debug, "InstallerMain", L"filtered");
    EXPECT_TRUE(isLogEnabled(Info));
    EXPECT_FALSE(isLogEnabled(Debug));
    flushLog();
    closeLog();
    EXPECT_EQ(GetLastError(), 0x20000042u);
    EXPECT_FALSE(isLogEnabled(Fatal + 10));

    const std::vector<std::string> lines =
        logtest::splitLines(logtest::readBytes(base(L"install-free") + L".log")).lines;
    std::vector<std::string> texts;
    for (const std::string& line : lines) {
        texts.push_back(line.empty() ? "" : line.substr(line.find("] ") + 2));
    }
    ASSERT_EQ(texts.size(), 7u);
    EXPECT_EQ(texts[2], " I: InstallerMain: Version: 02.08 (x64)");
    EXPECT_EQ(texts[3], ".W: wp::markActiveVersion: narrow text");
    EXPECT_EQ(texts[4], "*E: no function wide");
    EXPECT_EQ(texts[5], "*E: no function 3");
    EXPECT_EQ(texts[6], " I: ***  LOGGING ENDED  ***");
}

TEST_F(LogTest, AutoClosedMarkerOnlyWhenTheProcessEndsWithTheLogOpen) {
    for (const wchar_t* mode : {L"close", L"noclose"}) {
        const std::wstring stem = std::wstring(L"exit-") + mode;
        EXPECT_EQ(kv::test::runCommand(L"\"" + kv::test::besideTestExecutable(L"logging_writer.exe") +
                                       L"\" " + stem + L" 1 3 " + mode),
                  0u);
        const std::vector<std::string> lines =
            logtest::splitLines(logtest::readBytes(base(stem) + L".log")).lines;
        ASSERT_EQ(lines.size(), 6u) << "blank, header, three lines, end marker";
        const std::string last = lines.back().substr(lines.back().find("] ") + 2);
        EXPECT_EQ(last, std::wstring(mode) == L"close" ? " I: ***  LOGGING ENDED  ***"
                                                       : " I: ***  LOG AUTO-CLOSED ***");
    }
}

struct Tally {
    int blanks = 0;
    int starts = 0;
    int ends = 0;
    std::map<int, std::vector<int>> numbers; // writer id -> line numbers in file order
    bool whole = true;
};

Tally tally(const std::vector<std::wstring>& filesOldestFirst) {
    Tally result;
    for (const std::wstring& path : filesOldestFirst) {
        const logtest::Lines lines = logtest::splitLines(logtest::readBytes(path));
        result.whole = result.whole && !lines.stray;
        for (const std::string& line : lines.lines) {
            if (line.empty()) {
                ++result.blanks;
                continue;
            }
            result.whole = result.whole && logtest::isLogLine(line);
            int writer = 0;
            int number = 0;
            const size_t text = line.find("Writer::run: ");
            if (text != std::string::npos &&
                std::sscanf(line.c_str() + text, "Writer::run: writer %d line %d", &writer, &number) == 2) {
                result.numbers[writer].push_back(number);
            } else if (line.find("***  LOGGING STARTED  ***") != std::string::npos) {
                ++result.starts;
            } else if (line.find("***  LOGGING ENDED  ***") != std::string::npos) {
                ++result.ends;
            } else {
                result.whole = false;
            }
        }
    }
    return result;
}

constexpr int WriterCount = 4;

std::wstring startEventName() {
    return L"Local\\kv-logging-start-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(GetTickCount64());
}

// Four processes append to one file and rotate it while they do. Every line is
// whole, each writer's lines are all there in order across the three files, and
// well-behaved peers never make a line wait long enough to be dropped.
TEST_F(LogTest, ProcessesLoggingToOneFileTogether) {
    constexpr int Lines = 3000;
    settings.setDword(L"", L"LogMaxSizeKB", 550); // lines of 116 bytes: two rotations, nothing lost
    const std::wstring event = startEventName();
    kv::UniqueHandle start(CreateEventW(nullptr, TRUE, FALSE, event.c_str()));
    Writers writers;
    for (int id = 1; id <= WriterCount; ++id) {
        ASSERT_TRUE(writers.start(L"shared " + std::to_wstring(id) + L" " + std::to_wstring(Lines) +
                                  L" close " + event));
    }
    SetEvent(start.get());
    const std::vector<DWORD> dropped = writers.wait();
    EXPECT_EQ(dropped, std::vector<DWORD>(WriterCount, 0u));

    const std::wstring b = base(L"shared");
    EXPECT_FALSE(logtest::fileExists(b + L".3.log"));
    Tally result = tally({b + L".2.log", b + L".1.log", b + L".log"});
    EXPECT_TRUE(result.whole);
    for (int id = 1; id <= WriterCount; ++id) {
        const std::vector<int>& numbers = result.numbers[id];
        ASSERT_EQ(numbers.size(), static_cast<size_t>(Lines)) << id;
        for (int i = 0; i < Lines; ++i) {
            ASSERT_EQ(numbers[i], i) << "writer " << id;
        }
    }
    EXPECT_EQ(result.starts, WriterCount);
    EXPECT_EQ(result.blanks, WriterCount);
    EXPECT_EQ(result.ends, WriterCount);
    for (const std::wstring& path : {b + L".2.log", b + L".1.log"}) {
        EXPECT_GE(logtest::fileSize(path), 550u * 1024) << "rotated only when full";
        EXPECT_LT(logtest::fileSize(path), 550u * 1024 + 200) << "over the limit by at most one line";
    }
}

// A peer that holds the file's mutex for 1.5 s makes each writer drop the lines
// that waited 500 ms in vain; every other line arrives, whole.
TEST_F(LogTest, LinesWaitingTooLongForAStuckPeerAreDroppedAndCounted) {
    constexpr int Lines = 1000;
    settings.setDword(L"", L"LogMaxSizeKB", 4096);
    const std::wstring event = startEventName();
    kv::UniqueHandle start(CreateEventW(nullptr, TRUE, FALSE, event.c_str()));
    kv::UniqueHandle mutex(CreateMutexW(nullptr, FALSE, mutexName(L"stuck").c_str()));
    ASSERT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0);
    Writers writers;
    for (int id = 1; id <= WriterCount; ++id) {
        ASSERT_TRUE(writers.start(L"stuck " + std::to_wstring(id) + L" " + std::to_wstring(Lines) +
                                  L" close " + event));
    }
    SetEvent(start.get());
    Sleep(1500);
    ReleaseMutex(mutex.get());
    const std::vector<DWORD> dropped = writers.wait();

    Tally result = tally({base(L"stuck") + L".log"});
    EXPECT_TRUE(result.whole);
    int totalDropped = 0;
    int present = result.blanks + result.starts;
    for (int id = 1; id <= WriterCount; ++id) {
        EXPECT_GE(dropped[id - 1], 1u) << id;
        EXPECT_LE(dropped[id - 1], 4u) << "about one line per 500 ms of the 1.5 s" << id;
        totalDropped += static_cast<int>(dropped[id - 1]);
        present += static_cast<int>(result.numbers[id].size());
        for (size_t i = 1; i < result.numbers[id].size(); ++i) {
            EXPECT_LT(result.numbers[id][i - 1], result.numbers[id][i]);
        }
    }
    // Each writer wrote a blank line, the start marker and its lines before counting.
    EXPECT_EQ(present + totalDropped, WriterCount * (Lines + 2));
}

} // namespace
