#include <windows.h>

#include "InstallerTestSupport.h"
#include "kvtl/Str.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cwchar>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr DWORD AccessViolation = 0xC0000005;
constexpr DWORD Raised = 0xE0434F4D;
constexpr DWORD RaisedByHooks = 0x80000003;

// crash-probe <scenario> <name> [kind] [folder]; its log <name>.log is deleted first. Answers
// the exit code and the log's lines without empty and marker lines.
std::pair<DWORD, std::vector<std::wstring>> runProbe(const std::wstring& scenario, const std::wstring& name,
                                                     const std::wstring& extra = L"") {
    const std::wstring log = wpu::test::machineLogPath(name);
    const DWORD exitCode =
        wpu::test::runProgram(L"crash-probe.exe", scenario + L" " + name + L" " + extra, log, 300000);
    return {exitCode, wpu::test::withoutMarkers(wpu::test::readLogLines(log))};
}

const std::wstring HookLine = L" I: CrashHandler::RegisterCrashHooks: ";
const std::wstring CrashLine = L"*F: CrashHandler::HandleCrashCallback: Crash intercepted in thread ";

// Every kind of failure this toolchain and Wine can produce ends in one small dump over
// whatever file was there, and the Fatal line of the crashing thread last.
TEST(CrashHandler, EveryHookedCrashLeavesADumpAndAFatalLineLast) {
    struct Case {
        const wchar_t* scenario;
        DWORD exitCode;
        DWORD exceptionCode; // 0: a dump without exception
    };
    const Case cases[] = {
        {L"av", AccessViolation, AccessViolation},
        {L"raise", Raised, Raised},
        {L"abort", RaisedByHooks, RaisedByHooks},
        {L"invalidparameter", RaisedByHooks, RaisedByHooks},
        {L"purecallhook", RaisedByHooks, RaisedByHooks},
        // The second crash only waits for the first one's dump.
        {L"twothreads", AccessViolation, AccessViolation},
        // Windows calls the recovery callback for a hung process.
        {L"recovery", 0, 0},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.scenario);
        const std::wstring name = L"crash-" + std::wstring(row.scenario);
        const std::wstring dumpPath = wpu::test::crashDumpFolder() + L"\\" + name + L".dmp";
        std::filesystem::create_directories(wpu::test::crashDumpFolder());
        std::ofstream(std::filesystem::path(dumpPath)) << "stale";

        const auto [exitCode, lines] = runProbe(row.scenario, name);
        EXPECT_EQ(exitCode, row.exitCode);

        const wpu::test::MinidumpInfo dump = wpu::test::readMinidump(dumpPath);
        ASSERT_TRUE(dump.readable);
        EXPECT_EQ(dump.hasException, row.exceptionCode != 0);
        EXPECT_EQ(dump.exceptionCode, row.exceptionCode);
        if (dump.hasException) {
            EXPECT_THAT(dump.threadIds, testing::Contains(dump.exceptionThreadId));
        }
        EXPECT_FALSE(dump.hasFullMemory) << "kind 0 is the small dump";
        wchar_t threadId[16];
        std::swprintf(threadId, 16, L"0x%04lx", static_cast<unsigned long>(dump.exceptionThreadId));
        EXPECT_THAT(lines,
                    testing::ElementsAre(HookLine + L"Hooking crash",
                                         HookLine + L"Dump path: '" + dumpPath + L"'", CrashLine + threadId));
    }
}

// Where the dump goes: a second registration keeps the first path, whose missing folders
// are made; without a folder there is no file; a folder that cannot be created is a
// second Fatal line.
TEST(CrashHandler, TheDumpGoesToTheFirstFolderThatCanBeMade) {
    kv::test::TempDirectory temp;
    CloseHandle(CreateFileW((temp / L"blocker").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    const std::wstring blocked = temp / L"blocker\\CrashDumps";
    struct Case {
        const wchar_t* scenario;
        std::wstring folder;             // "-" for none
        std::wstring dump;               // "" for none
        std::vector<std::wstring> lines; // the crash line without its thread id
    };
    const Case cases[] = {
        {L"twice",
         temp / L"a\\b",
         temp / L"a\\b\\crash-where.dmp",
         {HookLine + L"Hooking crash", HookLine + L"Dump path: '" + (temp / L"a\\b\\crash-where.dmp") + L"'",
          HookLine + L"Hooking crash", HookLine + L"Dump path: '" + (temp / L"a\\b\\other\\other.dmp") + L"'",
          L"*E: CrashHandler::RegisterCrashHooks: Failed to enable crash dumping", CrashLine}},
        {L"av", L"-", L"", {HookLine + L"Hooking crash", HookLine + L"Dump path: ''", CrashLine}},
        {L"av",
         blocked,
         L"",
         {HookLine + L"Hooking crash", HookLine + L"Dump path: '" + blocked + L"\\crash-where.dmp'",
          CrashLine,
          L"*F: CrashHandler::MakeDumpPath: Failed to create dump path: '" + blocked + L"' : " +
              std::to_wstring(ERROR_ALREADY_EXISTS)}},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(kv::str::wideToUtf8(row.folder));
        auto [exitCode, lines] = runProbe(row.scenario, L"crash-where", L"0 \"" + row.folder + L"\"");
        EXPECT_EQ(exitCode, AccessViolation);
        for (std::wstring& line : lines) {
            line = line.substr(0, line.rfind(CrashLine, 0) == 0 ? CrashLine.size() : std::wstring::npos);
        }
        EXPECT_THAT(lines, testing::ElementsAreArray(row.lines));
        EXPECT_EQ(wpu::test::readMinidump(row.dump).readable, !row.dump.empty());
        EXPECT_TRUE(kv::test::readFile(temp / L"a\\b\\other\\other.dmp").empty());
    }
}

// A hung dump or one that crashes still lets the process end, after the 30 s wait for a
// dump file that does not grow or at once; the crash path allocates nothing (the probe
// then ends with 0xA0000000 plus the count); the probe checks the installed hooks and
// exits with the number of checks that failed, naming them on its stderr.
TEST(CrashHandler, TheHooksAreInstalledAndTheCrashPathAlwaysEnds) {
    struct Case {
        const wchar_t* scenario;
        DWORD exitCode;
        ULONGLONG minimumMs, maximumMs;
    };
    const Case cases[] = {
        {L"installed", 0, 0, 20000},
        {L"noheap", 0xA0000000u, 0, 20000},
        {L"dumpthreadcrash", AccessViolation, 0, 20000},
        {L"hungdump", AccessViolation, 29000, 90000},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.scenario);
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(runProbe(row.scenario, L"crash-path").first, row.exitCode);
        const ULONGLONG elapsed = GetTickCount64() - start;
        EXPECT_GE(elapsed, row.minimumMs);
        EXPECT_LT(elapsed, row.maximumMs);
    }
}

} // namespace
