#include <windows.h>

#include "kvtl/Exceptions.h"
#include "kvtl/Str.h"

#include "InstallerTestSupport.h"
#include "test-support/TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

namespace {

using testing::ElementsAreArray;
using wpu::test::createVersionKey;
using wpu::test::registryKeyExists;
using wpu::test::registryString;

constexpr wchar_t Root[] = L"SOFTWARE\\Korvane\\Wisp";
constexpr wchar_t RebootKey[] = L"SOFTWARE\\Korvane\\Wisp\\RebootRequested";
constexpr wchar_t FlushLines[][80] = {
    L" I: flushRegistryKeyByName: Registry SOFTWARE (256) is flushed successfully",
    L" I: flushRegistryKeyByName: Registry SYSTEM (256) is flushed successfully",
    L" I: flushRegistryKeyByName: Registry SOFTWARE (512) is flushed successfully",
};

// InstallerMain runs in installer-probe.exe with a main logic scripted through the
// environment; each run gets its own module names, log file and record file.
class InstallerMainRun : public testing::Test {
protected:
    kv::test::RegistryTree tree_{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane"};
    kv::test::TempDirectory temp_;
    wpu::test::ScopedEnvironment environment_;

    // Starts the probe with that main logic name and arguments; the log of the run
    // (install- or uninstall- + logic) is deleted first.
    DWORD run(const std::wstring& logic, const std::wstring& arguments, bool uninstallLog = false) {
        logic_ = logic;
        logStem_ = (uninstallLog ? L"uninstall-" : L"install-") + logic;
        DeleteFileW(wpu::test::machineLogPath(logStem_).c_str());
        DeleteFileW(recordPath().c_str());
        environment_.set(L"KV_PROBE_MODULE", logic);
        environment_.set(L"KV_PROBE_RECORD", recordPath());
        const std::wstring probe = wpu::test::buildDirectory() + L"\\installer-probe.exe";
        return kv::test::runCommand(L"\"" + probe + L"\"" + (arguments.empty() ? L"" : L" " + arguments));
    }

    void setUpdate(const std::wstring& module, const std::wstring& version, const std::wstring& title) {
        environment_.set(L"wp_module", module);
        environment_.set(L"wp_version", version);
        environment_.set(L"wp_title", title);
    }

    std::vector<std::wstring> logLines() const {
        return wpu::test::readLogLines(wpu::test::machineLogPath(logStem_));
    }
    std::string record() const { return wpu::test::readFile(recordPath()); }
    std::wstring recordPath() const { return temp_ / L"record.txt"; }

    // The lines every run starts with.
    std::vector<std::wstring> header() const {
        return {L"", L" I: ***  LOGGING STARTED  ***",
                L" I: InstallerMain: Version: 01.02.03.40 (probe-build)",
                L" I: CrashHandler::RegisterCrashHooks: Hooking crash",
                L" I: CrashHandler::RegisterCrashHooks: Dump path: '" + wpu::test::crashDumpFolder() + L"\\" +
                    logStem_ + L".dmp'"};
    }

    static void append(std::vector<std::wstring>& lines, std::initializer_list<std::wstring> more) {
        lines.insert(lines.end(), more.begin(), more.end());
    }

    static void appendEnd(std::vector<std::wstring>& lines, int result, bool flushed) {
        if (flushed) {
            lines.insert(lines.end(), std::begin(FlushLines), std::end(FlushLines));
        }
        append(lines,
               {L" I: InstallerMain: Returning: " + std::to_wstring(result), L" I: ***  LOGGING ENDED  ***"});
    }

    std::wstring moduleKey() const { return std::wstring(Root) + L"\\modules\\" + logic_; }

    std::wstring logic_;
    std::wstring logStem_;
};

struct ResultCase {
    int result;
    bool rebootRequest;
    bool registration;
    bool tryAgain;
};

// What each result of execute() records.
const ResultCase resultCases[] = {
    {0, false, true, false},   {1, false, false, false},   {7, false, false, false},
    {13, false, false, true},  {100, true, true, false},   {101, true, false, false},
    {200, false, true, false}, {201, false, false, false}, {55, false, false, false},
    {-5, false, false, false},
};

TEST_F(InstallerMainRun, InstallRecordsWhatTheResultAsksFor) {
    for (const ResultCase& row : resultCases) {
        SCOPED_TRACE(row.result);
        tree_.clear();
        const std::wstring code = std::to_wstring(row.result);
        const std::wstring module = L"mod" + code;
        createVersionKey(std::wstring(Root) + L"\\updates\\" + module + L"\\1", L"active");
        createVersionKey(std::wstring(Root) + L"\\updates\\" + module + L"\\2", L"");
        setUpdate(module, L"2", L"Title " + code);
        environment_.set(L"KV_PROBE_RESULT", code);

        EXPECT_EQ(run(L"logic" + code, L""), static_cast<DWORD>(row.result));

        std::vector<std::wstring> expected = header();
        append(expected, {L" I: InstallerMain: WPU registry root: SOFTWARE\\Korvane\\Wisp, module=" + module +
                              L", title=Title " + code + L", version=2",
                          L" I: InstallerMain: Installing " + module + L", version 2. title: Title " + code,
                          L" I: InstallerMain: Executing main logic...",
                          L" I: InstallerMain: Main logic returned: " + code});
        if (row.rebootRequest) {
            append(expected, {L" I: kv::wpu::set_reboot_requested: Set reboot requested: 'Title " + code +
                              L"' under SOFTWARE\\Korvane\\Wisp\\RebootRequested"});
        }
        if (row.registration) {
            append(expected, {L" I: wp::markActiveVersion: Deactivating update 1, current old status=active "
                              L"new status=previous",
                              L" I: wp::markActiveVersion: Activating update 2"});
        }
        if (row.tryAgain) {
            append(expected, {L" I: InstallerMain: Set " + module + L" 2 to try again",
                              L" I: wp::markToTryAgain: Set to try again under 2"});
        }
        appendEnd(expected, row.result, true);
        EXPECT_THAT(logLines(), ElementsAreArray(expected));

        const std::wstring updates = std::wstring(Root) + L"\\updates\\" + module;
        EXPECT_EQ(registryString(updates + L"\\1", L"status"), row.registration ? L"previous" : L"active");
        EXPECT_EQ(registryString(updates + L"\\2", L"status"), row.registration ? L"active"
                                                               : row.tryAgain   ? L"failed-will-retry"
                                                                                : L"<missing>");
        EXPECT_EQ(registryString(moduleKey(), L"path"),
                  row.registration ? wpu::test::buildDirectory() : std::wstring(L"<missing>"));
        EXPECT_EQ(registryString(RebootKey, L"reason"), row.rebootRequest ? L"Title " + code : L"<missing>");
        EXPECT_EQ(record(), "execute\ndestroyed\n");
    }
}

struct RecordFailureCase {
    const char* why;
    int result;
    const wchar_t* deniedKey; // below the product root ("" for the root itself)
    DWORD denied;
    DWORD exitCode;
    std::vector<std::wstring> complaints; // the Warning and Error lines, in order
    const wchar_t* status2;               // status of version 2 afterwards
};

// Records refused by the registry itself (a key whose DACL denies the write).
TEST_F(InstallerMainRun, ARecordThatCannotBeWrittenIsAnErrorAndFailsASuccess) {
    const std::wstring modules = L"SOFTWARE\\Korvane\\Wisp\\modules\\rec";
    const std::wstring reboot = L"SOFTWARE\\Korvane\\Wisp\\RebootRequested";
    const std::wstring updates = L"SOFTWARE\\Korvane\\Wisp\\updates\\wpu\\";
    const std::wstring pathError = L"*E: InstallerMain: Record 'path' not written under " + modules;
    const std::wstring rebootLines[] = {
        L".W: kv::wpu::set_reboot_requested: Failed to create 'RebootRequested' key " + reboot +
            L" for WPU, error = 5",
        L"*E: kv::wpu::set_reboot_requested: Record 'RebootRequested' not written under " + reboot +
            L", error = 5"};
    const RecordFailureCase cases[] = {
        {"no module path", 0, L"", KEY_CREATE_SUB_KEY, 7, {pathError + L"0, error = 5"}, L"active"},
        {"neither reboot request nor module path",
         100,
         L"",
         KEY_CREATE_SUB_KEY,
         7,
         {rebootLines[0], rebootLines[1], pathError + L"100, error = 5"},
         L"active"},
        {"no reboot request: other codes pass",
         101,
         L"",
         KEY_CREATE_SUB_KEY,
         101,
         {rebootLines[0], rebootLines[1]},
         L"<missing>"},
        {"200 passes with its Error line",
         200,
         L"",
         KEY_CREATE_SUB_KEY,
         200,
         {pathError + L"200, error = 5"},
         L"active"},
        {"one status refused, the next still written",
         0,
         L"\\updates\\wpu\\1",
         KEY_SET_VALUE,
         7,
         {L"*E: wp::markActiveVersion: Record 'status' not written under " + updates + L"1, error = 5"},
         L"active"},
        {"try-again mark refused",
         13,
         L"\\updates\\wpu\\2",
         KEY_SET_VALUE,
         13,
         {L"*E: wp::markToTryAgain: Record 'status' not written under " + updates + L"2, error = 5"},
         L"<missing>"},
    };
    for (const RecordFailureCase& row : cases) {
        SCOPED_TRACE(row.why);
        tree_.clear();
        createVersionKey(std::wstring(Root) + L"\\updates\\wpu\\1", L"active");
        createVersionKey(std::wstring(Root) + L"\\updates\\wpu\\2", L"");
        wpu::test::denyOnKey(std::wstring(Root) + row.deniedKey, row.denied);
        setUpdate(L"wpu", L"2", L"Wisp");
        environment_.set(L"KV_PROBE_RESULT", std::to_wstring(row.result));

        EXPECT_EQ(run(L"rec" + std::to_wstring(row.result), L""), row.exitCode);

        const auto lines = logLines();
        std::vector<std::wstring> complaints;
        std::copy_if(lines.begin(), lines.end(), std::back_inserter(complaints),
                     [](const std::wstring& line) {
                         return line.rfind(L".W:", 0) == 0 || line.rfind(L"*E:", 0) == 0;
                     });
        EXPECT_THAT(complaints, ElementsAreArray(row.complaints));
        EXPECT_THAT(lines, testing::Contains(FlushLines[2]));
        EXPECT_EQ(lines[lines.size() - 2], L" I: InstallerMain: Returning: " + std::to_wstring(row.exitCode));
        EXPECT_EQ(registryString(std::wstring(Root) + L"\\updates\\wpu\\2", L"status"), row.status2);
    }
}

struct UninstallCase {
    const char* why;
    const wchar_t* result; // KV_PROBE_UNINSTALL, empty for IMainLogic's own
    int exitCode;
    bool moduleKeyBefore;
    bool reboot;
    bool removal;
};

const UninstallCase uninstallCases[] = {
    {"the default uninstall records nothing", L"", 201, true, false, false},
    {"0 removes the registration and activates without keeping", L"0", 0, true, false, true},
    {"100 also requests a reboot", L"100", 100, true, true, true},
    {"200 removes the registration", L"200", 200, true, false, true},
    {"a missing registration is a warning", L"0", 0, false, false, true},
    {"13 marks the version to try again and removes nothing", L"13", 13, true, false, false},
};

TEST_F(InstallerMainRun, UninstallRemovesTheRegistrationOnlyWhenAsked) {
    for (const UninstallCase& row : uninstallCases) {
        SCOPED_TRACE(row.why);
        tree_.clear();
        const std::wstring updates = std::wstring(Root) + L"\\updates\\wpu";
        createVersionKey(updates + L"\\1", L"previous");
        createVersionKey(updates + L"\\2", L"active");
        setUpdate(L"wpu", L"1", L"Wisp");
        environment_.set(L"KV_PROBE_UNINSTALL", row.result);
        environment_.set(L"KV_PROBE_KEEP", L"1");
        const std::wstring logic =
            L"un" + std::to_wstring(row.exitCode) + (row.moduleKeyBefore ? L"" : L"missing");
        const std::wstring key = std::wstring(Root) + L"\\modules\\" + logic;
        if (row.moduleKeyBefore) {
            createVersionKey(key + L"\\RebootRequested", L"");
        }

        EXPECT_EQ(run(logic, L"--uninstall", true), static_cast<DWORD>(row.exitCode));

        std::vector<std::wstring> expected = header();
        append(expected,
               {L" I: InstallerMain: WPU registry root: SOFTWARE\\Korvane\\Wisp, module=wpu, title=Wisp, "
                L"version=1",
                L" I: InstallerMain: Uninstalling wpu", L" I: InstallerMain: Executing main logic...",
                L" I: InstallerMain: Main logic returned: " + std::to_wstring(row.exitCode)});
        if (row.reboot) {
            append(expected, {L" I: kv::wpu::set_reboot_requested: Set reboot requested: 'Wisp' under "
                              L"SOFTWARE\\Korvane\\Wisp\\RebootRequested"});
        }
        if (row.removal) {
            append(expected,
                   {L" I: wp::markActiveVersion: Activating update 1",
                    L" I: wp::markActiveVersion: Deactivating update 2, current old status=active new "
                    L"status=inactive"});
            if (!row.moduleKeyBefore) {
                append(expected, {L".W: InstallerMain: Cannot remove module registration: 1, path " + key});
            }
        }
        if (row.exitCode == 13) {
            append(expected, {L" I: InstallerMain: Set wpu 1 to try again",
                              L" I: wp::markToTryAgain: Set to try again under 1"});
        }
        appendEnd(expected, row.exitCode, true);
        EXPECT_THAT(logLines(), ElementsAreArray(expected));

        EXPECT_EQ(registryKeyExists(key), row.moduleKeyBefore && !row.removal);
        EXPECT_EQ(registryString(updates + L"\\1", L"status"), row.removal          ? L"active"
                                                               : row.exitCode == 13 ? L"failed-will-retry"
                                                                                    : L"previous");
        EXPECT_EQ(registryString(updates + L"\\2", L"status"), row.removal ? L"inactive" : L"active");
        EXPECT_EQ(registryKeyExists(RebootKey), row.reboot);
        EXPECT_EQ(record(), "uninstall\ndestroyed\n");
    }
}

struct CommandLineCase {
    const wchar_t* arguments;
    bool uninstall;
};

const CommandLineCase commandLineCases[] = {
    {L"", false},
    {L"--uninstall", true},
    {L"--uninstall more arguments", true},
    {L"\"--uninstall\"", true},
    {L"--UNINSTALL", false},
    {L"\"--uninstall \"", false},
    {L"/uninstall", false},
    {L"-uninstall", false},
    {L"install --uninstall", false},
};

TEST_F(InstallerMainRun, OnlyTheExactFirstArgumentUninstalls) {
    environment_.set(L"KV_PROBE_RESULT", L"42");
    for (const CommandLineCase& row : commandLineCases) {
        SCOPED_TRACE(kv::str::wideToUtf8(row.arguments));
        EXPECT_EQ(run(L"cmdline", row.arguments, row.uninstall), row.uninstall ? 201u : 42u);
        EXPECT_EQ(record(), row.uninstall ? "uninstall\ndestroyed\n" : "execute\ndestroyed\n");
        EXPECT_FALSE(logLines().empty()) << "the log is named after the operation";
    }
}

struct MissingIdentityCase {
    const wchar_t* module;  // nullptr: unset
    const wchar_t* version; // nullptr: unset
    bool uninstall;
    const wchar_t* rootLine;
    std::vector<std::wstring> logicLines; // from the registry root line to "Main logic returned"
};

// Without module or version the install line is left out; without module the uninstall
// line. The main logic runs all the same.
TEST_F(InstallerMainRun, AMissingModuleOrVersionLeavesOutItsLine) {
    const std::wstring run0[] = {L" I: InstallerMain: Executing main logic...",
                                 L" I: InstallerMain: Main logic returned: 0"};
    const MissingIdentityCase cases[] = {
        {nullptr, nullptr, false, L"module=, title= , version=", {run0[0], run0[1]}},
        {L"m", nullptr, false, L"module=m, title=m , version=", {run0[0], run0[1]}},
        {nullptr, L"1", false, L"module=, title= 1, version=1", {run0[0], run0[1]}},
        {nullptr, L"1", true, L"module=, title= 1, version=1", {run0[0], run0[1]}},
        {L"m",
         nullptr,
         true,
         L"module=m, title=m , version=",
         {L" I: InstallerMain: Uninstalling m", run0[0], run0[1]}},
    };
    environment_.unset(L"wp_title");
    environment_.set(L"KV_PROBE_RESULT", L"0");
    environment_.set(L"KV_PROBE_UNINSTALL", L"0");
    for (const MissingIdentityCase& row : cases) {
        SCOPED_TRACE(kv::str::wideToUtf8(row.rootLine));
        row.module ? environment_.set(L"wp_module", row.module) : environment_.unset(L"wp_module");
        row.version ? environment_.set(L"wp_version", row.version) : environment_.unset(L"wp_version");
        EXPECT_EQ(run(L"noenv", row.uninstall ? L"--uninstall" : L"", row.uninstall), 0u);
        std::vector<std::wstring> expected = header();
        append(expected, {L" I: InstallerMain: WPU registry root: SOFTWARE\\Korvane\\Wisp, " +
                          std::wstring(row.rootLine)});
        expected.insert(expected.end(), row.logicLines.begin(), row.logicLines.end());
        const auto lines = logLines();
        ASSERT_GE(lines.size(), expected.size());
        EXPECT_THAT(std::vector<std::wstring>(lines.begin(), lines.begin() + expected.size()),
                    ElementsAreArray(expected));
        EXPECT_EQ(record(), row.uninstall ? "uninstall\ndestroyed\n" : "execute\ndestroyed\n");
    }
}

struct ExceptionCase {
    const wchar_t* kind;
    std::string description;
};

TEST_F(InstallerMainRun, AnExceptionEndsTheRunWithSevenAndWritesNothing) {
    const kv::BaseException scripted(L"scripted reason", L"ScriptedLogic::execute",
                                     L"install-wpu/tests/probe.cpp", 42);
    const ExceptionCase cases[] = {
        {L"std", "scripted failure"},
        {L"kv", scripted.what()},
        {L"com", "of a non-standard type: COM error 0x80070005"},
        {L"int", "of an unknown non-standard type"},
    };
    for (const ExceptionCase& row : cases) {
        SCOPED_TRACE(kv::str::wideToUtf8(row.kind));
        tree_.clear();
        createVersionKey(std::wstring(Root) + L"\\updates\\m\\1", L"");
        setUpdate(L"m", L"1", L"t");
        environment_.set(L"KV_PROBE_THROW", row.kind);
        environment_.set(L"KV_PROBE_RESULT", L"100");
        EXPECT_EQ(run(L"throws", L""), 7u);
        std::vector<std::wstring> expected = header();
        append(
            expected,
            {L" I: InstallerMain: WPU registry root: SOFTWARE\\Korvane\\Wisp, module=m, title=t, version=1",
             L" I: InstallerMain: Installing m, version 1. title: t",
             L" I: InstallerMain: Executing main logic...",
             L"*E: InstallerMain: Exception " + kv::str::multibyteToWide(row.description, CP_ACP)});
        appendEnd(expected, 7, false);
        EXPECT_THAT(logLines(), ElementsAreArray(expected));
        EXPECT_EQ(registryString(std::wstring(Root) + L"\\updates\\m\\1", L"status"), L"<missing>");
        EXPECT_FALSE(registryKeyExists(std::wstring(Root) + L"\\modules"));
        EXPECT_FALSE(registryKeyExists(RebootKey));
        EXPECT_EQ(record(), "execute\ndestroyed\n");
    }
}

// The marker lines the logger itself adds at exit are not InstallerMain's.
std::vector<std::wstring> withoutLoggerMarkers(std::vector<std::wstring> lines) {
    while (!lines.empty() && lines.back().find(L": ***  ") != std::wstring::npos) {
        lines.pop_back();
    }
    return lines;
}

TEST_F(InstallerMainRun, AnUnsupportedPlatformEndsWithMinusOneAndNoReturningLine) {
    setUpdate(L"m", L"1", L"t");
    environment_.set(L"KV_PROBE_PLATFORM", L"0");
    EXPECT_EQ(run(L"platform", L""), 0xFFFFFFFFu);
    std::vector<std::wstring> expected = header();
    append(expected, {L".W: InstallerMain: 32bit installer can't be used on 64bit OS"});
    EXPECT_THAT(withoutLoggerMarkers(logLines()), ElementsAreArray(expected));
    EXPECT_EQ(record(), "destroyed\n");
    EXPECT_FALSE(registryKeyExists(Root));
}

TEST_F(InstallerMainRun, WithoutAdministratorRightsTheRunEndsWithOne) {
    setUpdate(L"m", L"1", L"t");
    environment_.set(L"KV_PROBE_MODULE", L"restricted");
    environment_.set(L"KV_PROBE_RECORD", recordPath());
    logStem_ = L"install-restricted";
    const std::wstring userLog = wpu::test::userLogPath(logStem_);
    DeleteFileW(userLog.c_str());
    const std::wstring probe = wpu::test::buildDirectory() + L"\\installer-probe.exe";
    EXPECT_EQ(wpu::test::runWithoutAdministrators(L"\"" + probe + L"\""), 1u);
    // A standard user logs below its own application-data folder.
    std::vector<std::wstring> expected = header();
    append(expected, {L"*E: InstallerMain: Not enough rights."});
    EXPECT_THAT(withoutLoggerMarkers(wpu::test::readLogLines(userLog)), ElementsAreArray(expected));
    EXPECT_EQ(record(), "destroyed\n");
    EXPECT_FALSE(registryKeyExists(Root));
}

} // namespace
