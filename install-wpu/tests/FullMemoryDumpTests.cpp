#include <windows.h>

#include "InstallerTestSupport.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>

namespace {

// A full-memory dump is about 100 MB under Wine and takes half a minute or more, so
// this executable holds only this run and CTest runs it alone.
TEST(FullMemoryDump, ACrashDuringAnInstallRunLeavesAFullDumpAndAFatalLineLast) {
    kv::test::RegistryTree tree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane");
    kv::test::TempDirectory temp;
    wpu::test::ScopedEnvironment environment;
    environment.set(L"wp_module", L"m");
    environment.set(L"wp_version", L"1");
    environment.set(L"KV_PROBE_MODULE", L"full-dump");
    environment.set(L"KV_PROBE_CRASH", L"av");
    environment.set(L"KV_PROBE_RECORD", temp / L"record.txt");
    const std::wstring dump = wpu::test::crashDumpFolder() + L"\\install-full-dump.dmp";
    const std::wstring log = wpu::test::machineLogPath(L"install-full-dump");
    DeleteFileW(dump.c_str());

    EXPECT_EQ(wpu::test::runProgram(L"installer-probe.exe", L"", log, 300000), 0xC0000005u);

    const wpu::test::MinidumpInfo info = wpu::test::readMinidump(dump);
    ASSERT_TRUE(info.readable);
    EXPECT_TRUE(info.hasFullMemory);
    EXPECT_EQ(info.exceptionCode, 0xC0000005u);
    const auto lines = wpu::test::readLogLines(log);
    ASSERT_FALSE(lines.empty());
    wchar_t expected[80];
    std::swprintf(expected, 80, L"*F: CrashHandler::HandleCrashCallback: Crash intercepted in thread 0x%04lx",
                  static_cast<unsigned long>(info.exceptionThreadId));
    EXPECT_EQ(lines.back(), expected);
    EXPECT_EQ(kv::test::readFile(temp / L"record.txt"), "execute\n")
        << "a crash ends the process on the spot";
}

} // namespace
