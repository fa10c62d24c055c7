#include <windows.h>

#include "LogTestSupport.h"
#include "logging/FileContext.h"
#include "logging/Log.h"
#include "logging/Logger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <vector>

using namespace KvZarnLogging;
using logtest::exists;
using logtest::readFile;

namespace {

class LogTest : public ::testing::Test {
protected:
    void SetUp() override { settings.setRoot(root.path()); }
    std::wstring base(const std::wstring& stem) const {
        return root.path() + L"\\Korvane\\Log\\Wisp\\" + stem;
    }
    std::wstring writer(const std::wstring& arguments) const {
        return L"\"" + kv::test::besideTestExecutable(L"logging_writer.exe") + L"\" " + arguments;
    }
    // Starts writers of `lines` lines each together, the last with two threads; answers
    // their exit codes, the lines each dropped.
    std::vector<DWORD> runWriters(const std::wstring& stem, int count, int lines) {
        const std::wstring event = L"Local\\kv-logging-start-" + stem;
        kv::UniqueHandle start(CreateEventW(nullptr, TRUE, FALSE, event.c_str()));
        std::vector<kv::UniqueHandle> processes;
        for (int id = 1; id <= count; ++id) {
            std::wstring line = writer(stem + L" " + std::to_wstring(id) + L" " + std::to_wstring(lines) +
                                       L" close " + event + (id == count ? L" 2" : L""));
            STARTUPINFOW startup = {};
            startup.cb = sizeof(startup);
            PROCESS_INFORMATION process = {};
            EXPECT_TRUE(CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                       &startup, &process));
            CloseHandle(process.hThread);
            processes.emplace_back(process.hProcess);
        }
        SetEvent(start.get());
        // One deadline for all; a writer still running then is ended, not left behind.
        const ULONGLONG deadline = GetTickCount64() + 120000;
        std::vector<DWORD> codes;
        for (const kv::UniqueHandle& process : processes) {
            const ULONGLONG now = GetTickCount64();
            DWORD code = ~0u;
            if (WaitForSingleObject(process.get(), static_cast<DWORD>(deadline > now ? deadline - now : 0)) !=
                WAIT_OBJECT_0) {
                TerminateProcess(process.get(), ~0u);
            }
            GetExitCodeProcess(process.get(), &code);
            codes.push_back(code);
        }
        return codes;
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
    EXPECT_TRUE(isLogEnabled(Info) && !isLogEnabled(Debug));
    flushLog();
    closeLog();
    EXPECT_EQ(GetLastError(), 0x20000042u);
    const std::string bytes = readFile(base(L"install-free") + L".log");
    EXPECT_EQ(bytes.substr(0, 3), "\r\n2") << "no byte-order mark; the header's blank line first";
    const std::vector<std::string> texts = logtest::texts(bytes);
    ASSERT_EQ(texts.size(), 7u);
    const std::vector<std::string> expected = {
        " I: InstallerMain: Version: 02.08 (x64)", ".W: wp::markActiveVersion: narrow text",
        "*E: no function wide", "*E: no function 3", " I: ***  LOGGING ENDED  ***"};
    EXPECT_EQ(std::vector<std::string>(texts.begin() + 2, texts.end()), expected);
}

TEST_F(LogTest, AutoClosedMarkerOnlyWhenTheProcessEndsWithTheLogOpen) {
    for (const std::wstring mode : {L"close", L"noclose"}) {
        EXPECT_EQ(kv::test::runCommand(writer(L"exit-" + mode + L" 1 3 " + mode)), 0u);
        const std::vector<std::string> texts = logtest::texts(readFile(base(L"exit-" + mode) + L".log"));
        ASSERT_EQ(texts.size(), 6u) << "blank, header, three lines, end marker";
        EXPECT_EQ(texts.back(),
                  mode == L"close" ? " I: ***  LOGGING ENDED  ***" : " I: ***  LOG AUTO-CLOSED ***");
    }
}

// Per writer, the numbers of its lines in file order; other lines by kind.
struct Tally {
    std::map<int, std::vector<int>> numbers;
    std::map<std::string, int> others;
    bool whole = true;
};

Tally tally(const std::vector<std::wstring>& filesOldestFirst) {
    Tally result;
    const std::regex writerLine(R"( I: Writer::run: writer (\d) line (\d{6}) \.{40})");
    for (const std::wstring& path : filesOldestFirst) {
        const logtest::Lines lines = logtest::splitLines(readFile(path));
        result.whole = result.whole && lines.whole;
        for (const std::string& line : lines.lines) {
            std::smatch match;
            const std::string text = logtest::afterIds(line);
            if (std::regex_match(text, match, writerLine) && logtest::isLogLine(line)) {
                result.numbers[std::stoi(match[1])].push_back(std::stoi(match[2]));
            } else {
                ++result.others[line.empty() ? "blank" : text.substr(0, 26)];
            }
        }
    }
    return result;
}

// Eight processes, the last with two threads, log to one file. With room for
// every line, each line is in the file or counted dropped, and well-behaved
// peers drop none. With a small limit the file rotates hundreds of times: every
// line stays whole, no fourth file appears, no file is over the limit by more
// than one line, and each writer's lines ascend from B.2.log through B.log.
TEST_F(LogTest, EightWritersOnOneRotatingLog) {
    constexpr int Lines = 10000, Writers = 9, LineBytes = 116;
    for (const DWORD limitKb : {20000u, 16u}) {
        const std::wstring stem = L"eight-" + std::to_wstring(limitKb), b = base(stem);
        settings.setDword(L"", L"LogMaxSizeKB", limitKb);
        const DWORD started = GetTickCount();
        const std::vector<DWORD> dropped = runWriters(stem, 8, Lines);
        EXPECT_LT(GetTickCount() - started, 120000u)
            << limitKb << ": about 6 s idle, bounded for a loaded machine";
        EXPECT_FALSE(exists(b + L".3.log")) << limitKb;
        const Tally result = tally({b + L".2.log", b + L".1.log", b + L".log"});
        EXPECT_TRUE(result.whole) << limitKb;
        for (const auto& [writer, numbers] : result.numbers) {
            EXPECT_TRUE(std::adjacent_find(numbers.begin(), numbers.end(), std::greater_equal<int>()) ==
                        numbers.end())
                << "writer " << writer << " limit " << limitKb;
        }
        if (limitKb == 20000u) {
            EXPECT_FALSE(exists(b + L".1.log"));
            EXPECT_EQ(dropped, std::vector<DWORD>(8, 0u));
            EXPECT_EQ(result.numbers.size(), size_t{Writers});
            for (int writer = 1; writer <= Writers; ++writer) {
                EXPECT_EQ(result.numbers.at(writer).size(), size_t{Lines}) << "writer " << writer;
            }
            continue;
        }
        for (const std::wstring& path : {b + L".2.log", b + L".1.log", b + L".log"}) {
            EXPECT_LT(readFile(path).size(), limitKb * 1024 + LineBytes) << "at most one line over";
        }
        for (const auto& [kind, count] : result.others) {
            EXPECT_TRUE(kind == "blank" || kind.rfind(" I: ***  LOGGING ", 0) == 0) << kind;
        }
    }
}

} // namespace
