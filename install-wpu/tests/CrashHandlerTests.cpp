#include <windows.h>

#include "InstallerTestSupport.h"
#include "test-support/TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using testing::Contains;
using wpu::test::crashDumpFolder;
using wpu::test::MinidumpInfo;
using wpu::test::readMinidump;

constexpr DWORD AccessViolation = 0xC0000005;
constexpr DWORD RaisedByHooks = 0x80000003;

struct ProbeResult {
    DWORD exitCode;
    std::vector<std::wstring> lines; // without empty and marker lines
};

// crash-probe <scenario> <name> [kind] [folder]; its log <name>.log is deleted first.
ProbeResult runProbe(const std::string& scenario, const std::wstring& name, const std::wstring& extra = L"") {
    const std::wstring log = wpu::test::machineLogPath(name);
    DeleteFileW(log.c_str());
    const std::wstring probe = wpu::test::buildDirectory() + L"\\crash-probe.exe";
    const std::wstring command = L"\"" + probe + L"\" " + std::wstring(scenario.begin(), scenario.end()) +
                                 L" " + name + (extra.empty() ? L"" : L" " + extra);
    ProbeResult result;
    result.exitCode = kv::test::runCommand(command, 300000);
    result.lines = wpu::test::withoutMarkers(wpu::test::readLogLines(log));
    return result;
}

std::wstring crashLine(DWORD threadId) {
    wchar_t id[16];
    std::swprintf(id, 16, L"0x%04lx", static_cast<unsigned long>(threadId));
    return std::wstring(L"*F: CrashHandler::HandleCrashCallback: Crash intercepted in thread ") + id;
}

std::wstring dumpPath(const std::wstring& name) {
    return crashDumpFolder() + L"\\" + name + L".dmp";
}

size_t countCrashLines(const std::vector<std::wstring>& lines) {
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [](const std::wstring& line) {
        return line.find(L"Crash intercepted") != std::wstring::npos;
    }));
}

struct CrashCase {
    const char* scenario;
    DWORD exitCode;
    DWORD exceptionCode;
};

// Every kind of failure this toolchain and Wine can produce ends in one dump.
const CrashCase crashCases[] = {
    {"av", AccessViolation, AccessViolation},
    {"raise", 0xE0434F4D, 0xE0434F4D},
    {"abort", RaisedByHooks, RaisedByHooks},
    {"purevirtual", RaisedByHooks, RaisedByHooks},
    {"invalidparameter", RaisedByHooks, RaisedByHooks},
    {"purecallhook", RaisedByHooks, RaisedByHooks},
};

TEST(CrashHandler, EveryHookedCrashLeavesADumpAndAFatalLineLast) {
    for (const CrashCase& row : crashCases) {
        SCOPED_TRACE(row.scenario);
        const std::wstring name =
            L"crash-" + std::wstring(row.scenario, row.scenario + std::strlen(row.scenario));
        DeleteFileW(dumpPath(name).c_str());
        const ProbeResult result = runProbe(row.scenario, name);
        EXPECT_EQ(result.exitCode, row.exitCode);

        const MinidumpInfo dump = readMinidump(dumpPath(name));
        ASSERT_TRUE(dump.readable);
        ASSERT_TRUE(dump.hasException);
        EXPECT_EQ(dump.exceptionCode, row.exceptionCode);
        EXPECT_THAT(dump.threadIds, Contains(dump.exceptionThreadId));
        EXPECT_FALSE(dump.hasFullMemory) << "kind 0 is the small dump";

        ASSERT_EQ(result.lines.size(), 3u);
        EXPECT_EQ(result.lines[0], L" I: CrashHandler::RegisterCrashHooks: Hooking crash");
        EXPECT_EQ(result.lines[1],
                  L" I: CrashHandler::RegisterCrashHooks: Dump path: '" + dumpPath(name) + L"'");
        EXPECT_EQ(result.lines[2], crashLine(dump.exceptionThreadId));
    }
}

// The probe names each check that fails on its stderr and exits with their number.
TEST(CrashHandler, EveryHookIsInstalledWithItsSettings) {
    EXPECT_EQ(runProbe("installed", L"crash-installed").exitCode, 0u);
}

// The probe's operator new counts from the crash on; its crash callback ends the
// process with 0xA0000000 plus that count.
TEST(CrashHandler, TheCrashPathAllocatesNothing) {
    EXPECT_EQ(runProbe("noheap", L"crash-noheap").exitCode, 0xA0000000u);
}

TEST(CrashHandler, ACrashOnTheDumpThreadEndsTheProcessAtOnce) {
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(runProbe("dumpthreadcrash", L"crash-dump-thread").exitCode, AccessViolation);
    EXPECT_LT(GetTickCount64() - start, 20000u) << "not after the 30 s wait for the dump thread";
}

TEST(CrashHandler, ASecondCrashOverwritesTheDump) {
    const std::wstring name = L"crash-again";
    ASSERT_EQ(runProbe("av", name).exitCode, AccessViolation);
    const std::wstring path = dumpPath(name);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, "stale", 5, &written, nullptr);
    CloseHandle(file);

    ASSERT_EQ(runProbe("raise", name).exitCode, 0xE0434F4Du);
    const MinidumpInfo dump = readMinidump(path);
    ASSERT_TRUE(dump.readable);
    EXPECT_EQ(dump.exceptionCode, 0xE0434F4Du);
}

TEST(CrashHandler, TwoThreadsCrashingAtOnceGiveOneDump) {
    const std::wstring name = L"crash-two-threads";
    DeleteFileW(dumpPath(name).c_str());
    const ProbeResult result = runProbe("twothreads", name);
    EXPECT_EQ(result.exitCode, AccessViolation);
    EXPECT_EQ(countCrashLines(result.lines), 1u) << "the second crash only waits for the first dump";
    const MinidumpInfo dump = readMinidump(dumpPath(name));
    ASSERT_TRUE(dump.readable);
    EXPECT_EQ(dump.exceptionCode, AccessViolation);
    ASSERT_FALSE(result.lines.empty());
    EXPECT_EQ(result.lines.back(), crashLine(dump.exceptionThreadId));
}

TEST(CrashHandler, ApplicationRecoveryWritesADumpWithoutException) {
    const std::wstring name = L"crash-recovery";
    DeleteFileW(dumpPath(name).c_str());
    const ProbeResult result = runProbe("recovery", name);
    EXPECT_EQ(result.exitCode, 0u);
    const MinidumpInfo dump = readMinidump(dumpPath(name));
    EXPECT_TRUE(dump.readable);
    EXPECT_FALSE(dump.hasException);
    EXPECT_THAT(result.lines, Contains(crashLine(0)));
}

TEST(CrashHandler, ASecondRegistrationKeepsTheFirstDumpPath) {
    kv::test::TempDirectory temp;
    const std::wstring name = L"crash-twice";
    const ProbeResult result = runProbe("twice", name, L"0 " + temp.path());
    EXPECT_EQ(result.exitCode, AccessViolation);
    EXPECT_THAT(result.lines,
                Contains(L"*E: CrashHandler::RegisterCrashHooks: Failed to enable crash dumping"));
    EXPECT_TRUE(readMinidump(temp / (name + L".dmp")).readable);
    EXPECT_FALSE(wpu::test::fileExists(temp / L"other\\other.dmp"));
}

TEST(CrashHandler, WithoutAFolderTheHooksWriteNoFile) {
    const std::wstring name = L"crash-no-folder";
    DeleteFileW(dumpPath(name).c_str());
    const ProbeResult result = runProbe("av", name, L"0 -");
    EXPECT_EQ(result.exitCode, AccessViolation);
    ASSERT_EQ(result.lines.size(), 3u);
    EXPECT_EQ(result.lines[1], L" I: CrashHandler::RegisterCrashHooks: Dump path: ''");
    EXPECT_NE(result.lines[2].find(L"Crash intercepted"), std::wstring::npos);
    EXPECT_FALSE(wpu::test::fileExists(dumpPath(name)));
}

TEST(CrashHandler, AnUncreatableFolderGivesTwoFatalLinesAndNoDump) {
    kv::test::TempDirectory temp;
    const std::wstring blocker = temp / L"blocker";
    HANDLE file =
        CreateFileW(blocker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    const std::wstring folder = blocker + L"\\CrashDumps";
    const ProbeResult result = runProbe("av", L"crash-uncreatable", L"0 \"" + folder + L"\"");
    EXPECT_EQ(result.exitCode, AccessViolation);
    ASSERT_EQ(result.lines.size(), 4u);
    EXPECT_NE(result.lines[2].find(L"*F: CrashHandler::HandleCrashCallback: Crash intercepted"),
              std::wstring::npos);
    EXPECT_EQ(result.lines[3], L"*F: CrashHandler::MakeDumpPath: Failed to create dump path: '" + folder +
                                   L"' : " + std::to_wstring(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(wpu::test::fileExists(folder + L"\\crash-uncreatable.dmp"));
}

TEST(CrashHandler, AHungDumpStillLetsTheProcessEnd) {
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(runProbe("hungdump", L"crash-hung").exitCode, AccessViolation);
    const ULONGLONG elapsed = GetTickCount64() - start;
    EXPECT_GE(elapsed, 29000u) << "the filter waits 30 s for the dump";
    EXPECT_LT(elapsed, 90000u) << "and no longer when the dump file does not grow";
}

} // namespace
