#include <windows.h>

#include "kvtl/Exceptions.h"
#include "kvtl/Str.h"

#include "InstallerTestSupport.h"

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
using Lines = std::vector<std::wstring>;

Lines operator+(Lines lines, const Lines& more) {
    lines.insert(lines.end(), more.begin(), more.end());
    return lines;
}

// The registry flushes and the last line of a run that got as far as the records.
Lines flushAndReturn(int result) {
    return {L" I: flushRegistryKeyByName: Registry SOFTWARE (256) is flushed successfully",
            L" I: flushRegistryKeyByName: Registry SYSTEM (256) is flushed successfully",
            L" I: flushRegistryKeyByName: Registry SOFTWARE (512) is flushed successfully",
            L" I: InstallerMain: Returning: " + std::to_wstring(result)};
}

const std::wstring Root = L"SOFTWARE\\Korvane\\Wisp";
const std::wstring Updates = Root + L"\\updates\\";
const std::wstring RebootKey = Root + L"\\RebootRequested";

// InstallerMain runs in installer-probe.exe with a main logic scripted through the
// environment; each run gets its own module name, log file and record file.
class InstallerMainRun : public testing::Test {
protected:
    kv::test::RegistryTree tree_{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane"};
    kv::test::TempDirectory temp_;
    wpu::test::ScopedEnvironment environment_;
    std::wstring logStem_;

    // Versions 1 ("previous") and 2 ("active") of the module "wpu"; version 1 is the one
    // being installed or uninstalled to.
    void setUpdate() {
        tree_.clear();
        createVersionKey(Updates + L"wpu\\1", L"previous");
        createVersionKey(Updates + L"wpu\\2", L"active");
        environment_.set(L"wp_module", L"wpu");
        environment_.set(L"wp_version", L"1");
        environment_.set(L"wp_title", L"Wisp");
    }
    std::wstring statuses() const {
        return registryString(Updates + L"wpu\\1", L"status") + L" " +
               registryString(Updates + L"wpu\\2", L"status");
    }

    // Starts the probe with that main logic name; its log is deleted first.
    DWORD run(const std::wstring& logic, const std::wstring& arguments = L"", bool uninstall = false,
              bool administrator = true) {
        logStem_ = (uninstall ? L"uninstall-" : L"install-") + logic;
        DeleteFileW(recordPath().c_str());
        DeleteFileW(logPath(administrator).c_str());
        environment_.set(L"KV_PROBE_MODULE", logic);
        environment_.set(L"KV_PROBE_RECORD", recordPath());
        const std::wstring command =
            L"\"" + wpu::test::buildDirectory() + L"\\installer-probe.exe\" " + arguments;
        return administrator ? kv::test::runCommand(command) : wpu::test::runWithoutAdministrators(command);
    }

    std::wstring logPath(bool administrator = true) const {
        return administrator ? wpu::test::machineLogPath(logStem_) : wpu::test::userLogPath(logStem_);
    }

    // The log's messages after the version and crash-hook lines every run starts with,
    // which it checks.
    Lines messages(bool administrator = true) const {
        const Lines all = wpu::test::withoutMarkers(wpu::test::readLogLines(logPath(administrator)));
        const Lines header = {L" I: InstallerMain: Version: 01.02.03.40 (probe-build)",
                              L" I: CrashHandler::RegisterCrashHooks: Hooking crash",
                              L" I: CrashHandler::RegisterCrashHooks: Dump path: '" +
                                  wpu::test::crashDumpFolder() + L"\\" + logStem_ + L".dmp'"};
        EXPECT_TRUE(all.size() >= 3 && std::equal(header.begin(), header.end(), all.begin()));
        return all.size() < 3 ? all : Lines(all.begin() + 3, all.end());
    }

    // The messages after `line`.
    Lines messagesAfter(const std::wstring& line) const {
        const Lines all = messages();
        const auto at = std::find(all.begin(), all.end(), line);
        return at == all.end() ? Lines{L"no " + line} : Lines(at + 1, all.end());
    }

    std::string record() const { return kv::test::readFile(recordPath()); }
    std::wstring recordPath() const { return temp_ / L"record.txt"; }
};

// Which records each result asks for: the reboot request, the registration (version
// statuses and the module path, which an uninstall removes) and the mark to try again.
// An uninstall never keeps the active version as previous.
TEST_F(InstallerMainRun, TheResultDecidesTheRecords) {
    struct Case {
        bool uninstall;
        const wchar_t* result; // of execute() or uninstall(), "" for IMainLogic's own
        int exitCode;
        bool reboot, registration, tryAgain;
        const wchar_t* statuses; // of versions 1 and 2 afterwards
        bool registered = true;  // the module key exists before an uninstall
    };
    const Case cases[] = {
        {false, L"0", 0, false, true, false, L"active previous"},
        {false, L"7", 7, false, false, false, L"previous active"},
        {false, L"13", 13, false, false, true, L"failed-will-retry active"},
        {false, L"100", 100, true, true, false, L"active previous"},
        {false, L"101", 101, true, false, false, L"previous active"},
        {false, L"200", 200, false, true, false, L"active previous"},
        {false, L"201", 201, false, false, false, L"previous active"},
        {false, L"-5", -5, false, false, false, L"previous active"},
        {true, L"", 201, false, false, false, L"previous active"},
        {true, L"0", 0, false, true, false, L"active inactive"},
        {true, L"0", 0, false, true, false, L"active inactive", false},
        {true, L"13", 13, false, false, true, L"failed-will-retry active"},
        {true, L"100", 100, true, true, false, L"active inactive"},
        {true, L"200", 200, false, true, false, L"active inactive"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(testing::Message() << (row.uninstall ? "uninstall " : "install ") << row.exitCode
                                        << (row.registered ? "" : " without registration"));
        setUpdate();
        environment_.set(row.uninstall ? L"KV_PROBE_UNINSTALL" : L"KV_PROBE_RESULT", row.result);
        const std::wstring logic = L"run" + std::to_wstring(&row - cases);
        const std::wstring key = Root + L"\\modules\\" + logic;
        if (row.uninstall && row.registered) {
            createVersionKey(key + L"\\RebootRequested", L"");
        }

        EXPECT_EQ(run(logic, row.uninstall ? L"--uninstall" : L"", row.uninstall),
                  static_cast<DWORD>(row.exitCode));

        Lines expected;
        if (row.reboot) {
            expected.push_back(L" I: kv::wpu::set_reboot_requested: Set reboot requested: 'Wisp' under " +
                               RebootKey);
        }
        if (row.registration) {
            expected = expected +
                       Lines{L" I: wp::markActiveVersion: Activating update 1",
                             L" I: wp::markActiveVersion: Deactivating update 2, current old status=active "
                             L"new status=" +
                                 std::wstring(row.uninstall ? L"inactive" : L"previous")};
        }
        if (row.registration && !row.registered) {
            expected.push_back(L".W: InstallerMain: Cannot remove module registration: 1, path " + key);
        }
        if (row.tryAgain) {
            expected = expected + Lines{L" I: InstallerMain: Set wpu 1 to try again",
                                        L" I: wp::markToTryAgain: Set to try again under 1"};
        }
        EXPECT_THAT(
            messagesAfter(L" I: InstallerMain: Main logic returned: " + std::to_wstring(row.exitCode)),
            ElementsAreArray(expected + flushAndReturn(row.exitCode)));
        EXPECT_EQ(statuses(), row.statuses);
        if (row.uninstall) {
            EXPECT_EQ(registryKeyExists(key), row.registered && !row.registration);
        } else {
            EXPECT_EQ(registryString(key, L"path"),
                      row.registration ? wpu::test::buildDirectory() : L"<missing>");
        }
        EXPECT_EQ(registryString(RebootKey, L"reason"), row.reboot ? L"Wisp" : L"<missing>");
        EXPECT_EQ(record(), row.uninstall ? "uninstall\ndestroyed\n" : "execute\ndestroyed\n");
    }
}

// Records refused by the registry itself (a key whose DACL denies the write): each is an
// Error line, the other records are still written, and 0 and 100 turn into 7.
TEST_F(InstallerMainRun, ARecordThatCannotBeWrittenIsAnErrorAndFailsASuccess) {
    struct Case {
        int result;
        const wchar_t* deniedKey; // below the product root
        DWORD denied;
        DWORD exitCode;
        Lines complaints; // the Warning and Error lines, in order
        const wchar_t* statuses;
    };
    const std::wstring path =
        L"*E: InstallerMain: Record 'path' not written under " + Root + L"\\modules\\rec";
    const std::wstring status = L": Record 'status' not written under " + Updates + L"wpu\\1, error = 5";
    const Lines reboot = {L".W: kv::wpu::set_reboot_requested: Failed to create 'RebootRequested' key " +
                              RebootKey + L" for WPU, error = 5",
                          L"*E: kv::wpu::set_reboot_requested: Record 'RebootRequested' not written under " +
                              RebootKey + L", error = 5"};
    const wchar_t* const version1 = L"\\updates\\wpu\\1";
    const Case cases[] = {
        {0, L"", KEY_CREATE_SUB_KEY, 7, {path + L"0, error = 5"}, L"active previous"},
        {100, L"", KEY_CREATE_SUB_KEY, 7, reboot + Lines{path + L"100, error = 5"}, L"active previous"},
        {101, L"", KEY_CREATE_SUB_KEY, 101, reboot, L"previous active"},
        {200, L"", KEY_CREATE_SUB_KEY, 200, {path + L"200, error = 5"}, L"active previous"},
        {0, version1, KEY_SET_VALUE, 7, {L"*E: wp::markActiveVersion" + status}, L"previous previous"},
        {13, version1, KEY_SET_VALUE, 13, {L"*E: wp::markToTryAgain" + status}, L"previous active"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.result);
        setUpdate();
        wpu::test::denyOnKey(Root + row.deniedKey, row.denied);
        environment_.set(L"KV_PROBE_RESULT", std::to_wstring(row.result));

        EXPECT_EQ(run(L"rec" + std::to_wstring(row.result)), row.exitCode);

        const Lines all = messages();
        Lines complaints;
        std::copy_if(all.begin(), all.end(), std::back_inserter(complaints), [](const std::wstring& line) {
            return line.rfind(L".W:", 0) == 0 || line.rfind(L"*E:", 0) == 0;
        });
        EXPECT_THAT(complaints, ElementsAreArray(row.complaints));
        EXPECT_THAT(Lines(all.end() - 4, all.end()),
                    ElementsAreArray(flushAndReturn(static_cast<int>(row.exitCode))));
        EXPECT_EQ(statuses(), row.statuses);
    }
}

TEST_F(InstallerMainRun, OnlyTheExactFirstArgumentUninstalls) {
    environment_.set(L"KV_PROBE_RESULT", L"42");
    const std::pair<const wchar_t*, bool> cases[] = {
        {L"", false},
        {L"--uninstall", true},
        {L"--uninstall more arguments", true},
        {L"\"--uninstall\"", true},
        {L"--UNINSTALL", false},
        {L"\"--uninstall \"", false},
        {L"install --uninstall", false},
    };
    for (const auto& [arguments, uninstall] : cases) {
        SCOPED_TRACE(kv::str::wideToUtf8(arguments));
        EXPECT_EQ(run(L"cmdline", arguments, uninstall), uninstall ? 201u : 42u);
    }
}

TEST_F(InstallerMainRun, AnExceptionEndsTheRunWithSevenAndWritesNothing) {
    const kv::BaseException scripted(L"scripted reason", L"ScriptedLogic::execute",
                                     L"install-wpu/tests/probe.cpp", 42);
    const std::pair<const wchar_t*, std::string> cases[] = {
        {L"std", "scripted failure"},
        {L"kv", scripted.what()},
        {L"com", "of a non-standard type: COM error 0x80070005"},
        {L"int", "of an unknown non-standard type"},
    };
    for (const auto& [kind, description] : cases) {
        SCOPED_TRACE(kv::str::wideToUtf8(kind));
        setUpdate();
        environment_.set(L"KV_PROBE_THROW", kind);
        environment_.set(L"KV_PROBE_RESULT", L"100");
        EXPECT_EQ(run(L"throws"), 7u);
        EXPECT_THAT(messagesAfter(L" I: InstallerMain: Executing main logic..."),
                    ElementsAreArray(
                        {L"*E: InstallerMain: Exception " + kv::str::multibyteToWide(description, CP_ACP),
                         std::wstring(L" I: InstallerMain: Returning: 7")}));
        EXPECT_EQ(statuses(), L"previous active");
        EXPECT_FALSE(registryKeyExists(Root + L"\\modules"));
        EXPECT_FALSE(registryKeyExists(RebootKey));
        EXPECT_EQ(record(), "execute\ndestroyed\n");
    }
}

// A refused platform and a standard user (whose log is below its own application data)
// end the run before the main logic, with no Returning line.
TEST_F(InstallerMainRun, AnUnsupportedPlatformOrAStandardUserEndsTheRunAtOnce) {
    environment_.set(L"wp_module", L"m");
    environment_.set(L"KV_PROBE_PLATFORM", L"0");
    EXPECT_EQ(run(L"platform"), 0xFFFFFFFFu);
    EXPECT_THAT(messages(),
                ElementsAreArray({L".W: InstallerMain: 32bit installer can't be used on 64bit OS"}));
    EXPECT_EQ(record(), "destroyed\n");

    environment_.set(L"KV_PROBE_PLATFORM", L"1");
    EXPECT_EQ(run(L"restricted", L"", false, false), 1u);
    EXPECT_THAT(messages(false), ElementsAreArray({L"*E: InstallerMain: Not enough rights."}));
    EXPECT_EQ(record(), "destroyed\n");
    EXPECT_FALSE(registryKeyExists(Root));
}

} // namespace
