#include <windows.h>

#include "install-wpu/UpdateStatus.h"

#include "InstallerTestSupport.h"
#include "test-support/TestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

using testing::ElementsAre;
using testing::ElementsAreArray;
using wpu::test::CapturedLog;
using wpu::test::createVersionKey;
using wpu::test::registryKeyExists;
using wpu::test::registryString;

constexpr wchar_t ProductRoot[] = L"SOFTWARE\\Korvane\\Wisp";
constexpr wchar_t ModuleKey[] = L"SOFTWARE\\Korvane\\Wisp\\updates\\wpu";
constexpr wchar_t RebootKey[] = L"SOFTWARE\\Korvane\\Wisp\\RebootRequested";

class UpdateStatus : public testing::Test {
protected:
    // The whole maker tree, so that a missing product root can be tested too.
    kv::test::RegistryTree tree_{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane"};

    static std::wstring status(const std::wstring& version) {
        return registryString(std::wstring(ModuleKey) + L"\\" + version, L"status");
    }
};

using Versions = std::vector<std::pair<const wchar_t*, const wchar_t*>>; // name, status ("" none)

struct MarkCase {
    const char* why;
    Versions before;
    const wchar_t* version;
    bool keepPrevious;
    Versions after; // "<missing>" for no status value
    std::vector<const wchar_t*> lines;
};

const MarkCase markCases[] = {
    {"keeping the formerly active version; an earlier previous one becomes inactive",
     {{L"1", L"previous"}, {L"2", L"active"}, {L"3", L""}},
     L"3",
     true,
     {{L"1", L"inactive"}, {L"2", L"previous"}, {L"3", L"active"}},
     {L" I: wp::markActiveVersion: Deactivating update 1, current old status=previous new status=inactive",
      L" I: wp::markActiveVersion: Deactivating update 2, current old status=active new status=previous",
      L" I: wp::markActiveVersion: Activating update 3"}},
    {"without keeping it, as an uninstall does",
     {{L"1", L"inactive"}, {L"2", L"active"}, {L"3", L""}},
     L"3",
     false,
     {{L"1", L"inactive"}, {L"2", L"inactive"}, {L"3", L"active"}},
     {L" I: wp::markActiveVersion: Deactivating update 1, current old status=inactive new status=inactive",
      L" I: wp::markActiveVersion: Deactivating update 2, current old status=active new status=inactive",
      L" I: wp::markActiveVersion: Activating update 3"}},
    {"the installed version's key is missing",
     {{L"1", L"active"}, {L"2", L""}},
     L"4",
     true,
     {{L"1", L"previous"}, {L"2", L"inactive"}},
     {L" I: wp::markActiveVersion: Deactivating update 1, current old status=active new status=previous",
      L" I: wp::markActiveVersion: Deactivating update 2, current old status= new status=inactive"}},
    {"a key differing only in case is another version",
     {{L"1.0A", L"active"}},
     L"1.0a",
     false,
     {{L"1.0A", L"inactive"}},
     {L" I: wp::markActiveVersion: Deactivating update 1.0A, current old status=active new status=inactive"}},
};

TEST_F(UpdateStatus, MarkActiveVersion) {
    for (const MarkCase& row : markCases) {
        tree_.clear();
        for (const auto& [name, value] : row.before) {
            createVersionKey(std::wstring(ModuleKey) + L"\\" + name, value);
        }
        CapturedLog log(L"mark-active");
        wp::markActiveVersion(L"wpu", row.version, row.keepPrevious);
        EXPECT_THAT(log.messages(), ElementsAreArray(row.lines)) << row.why;
        for (const auto& [name, value] : row.after) {
            EXPECT_EQ(status(name), value)
                << row.why << ": version " << testing::PrintToString(std::wstring(name));
        }
    }
}

TEST_F(UpdateStatus, MarkActiveVersionWithoutModuleOrModuleKey) {
    createVersionKey(std::wstring(ModuleKey) + L"\\1", L"active");
    CapturedLog log(L"mark-active-no-module");
    wp::markActiveVersion(L"", L"1", true);
    wp::markActiveVersion(L"other", L"1", true);
    EXPECT_THAT(log.messages(), ElementsAre(L".W: wp::markActiveVersion: Module is not specified: '' '1'"));
    EXPECT_EQ(status(L"1"), L"active");
    EXPECT_FALSE(registryKeyExists(L"SOFTWARE\\Korvane\\Wisp\\updates\\other")) << "keys are never created";
}

TEST_F(UpdateStatus, MarkToTryAgainTouchesOnlyTheExactVersion) {
    createVersionKey(std::wstring(ModuleKey) + L"\\1", L"active");
    createVersionKey(std::wstring(ModuleKey) + L"\\2", L"");
    CapturedLog log(L"try-again");
    wp::markToTryAgain(L"wpu", L"2");
    wp::markToTryAgain(L"wpu", L"3");
    wp::markToTryAgain(L"", L"2");
    EXPECT_THAT(log.messages(), ElementsAre(L" I: wp::markToTryAgain: Set to try again under 2",
                                            L".W: wp::markToTryAgain: Module is not specified: '' '2'"));
    EXPECT_EQ(status(L"1"), L"active");
    EXPECT_EQ(status(L"2"), L"failed-will-retry");
    EXPECT_FALSE(registryKeyExists(std::wstring(ModuleKey) + L"\\3"));
}

// A volatile key accepts only volatile children: that tells it apart from an ordinary one.
LSTATUS createOrdinaryChild(const std::wstring& parent) {
    HKEY key = nullptr;
    const LSTATUS result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, (parent + L"\\child").c_str(), 0, nullptr, 0,
                                           KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key, nullptr);
    if (key != nullptr) {
        RegCloseKey(key);
    }
    return result;
}

TEST_F(UpdateStatus, RebootRequestIsAVolatileKeyWithTheReason) {
    createVersionKey(ProductRoot, L"");
    CapturedLog log(L"reboot-reason");
    kv::wpu::set_reboot_requested(L"Wisp 2.8");
    EXPECT_THAT(log.messages(),
                ElementsAre(L" I: kv::wpu::set_reboot_requested: Set reboot requested: 'Wisp 2.8' "
                            L"under SOFTWARE\\Korvane\\Wisp\\RebootRequested"));
    EXPECT_EQ(registryString(RebootKey, L"reason"), L"Wisp 2.8");
    EXPECT_EQ(createOrdinaryChild(RebootKey), ERROR_CHILD_MUST_BE_VOLATILE);
}

TEST_F(UpdateStatus, RebootRequestWithoutReasonWritesNoValue) {
    createVersionKey(ProductRoot, L"");
    CapturedLog log(L"reboot-no-reason");
    kv::wpu::set_reboot_requested(L"");
    EXPECT_THAT(log.messages(),
                ElementsAre(L" I: kv::wpu::set_reboot_requested: Set reboot requested: '' under "
                            L"SOFTWARE\\Korvane\\Wisp\\RebootRequested"));
    EXPECT_TRUE(registryKeyExists(RebootKey));
    EXPECT_EQ(registryString(RebootKey, L"reason"), L"<missing>");
}

TEST_F(UpdateStatus, RebootRequestLeavesAMissingProductRootOrdinary) {
    kv::wpu::set_reboot_requested(L"r");
    EXPECT_EQ(registryString(RebootKey, L"reason"), L"r");
    // The module registration that follows a reboot request must still be possible.
    EXPECT_EQ(createOrdinaryChild(L"SOFTWARE\\Korvane\\Wisp\\modules"), ERROR_SUCCESS);
}

TEST(UpdateEnvironment, ReadsTheThreeVariables) {
    wpu::test::ScopedEnvironment environment;
    environment.set(L"wp_module", L"wpu");
    environment.set(L"wp_version", L"2.8.22");
    environment.set(L"wp_title", L"Wisp Updater 2.8");
    EXPECT_EQ(kv::wpu::getModule(), L"wpu");
    EXPECT_EQ(kv::wpu::getVersion(), L"2.8.22");
    EXPECT_EQ(kv::wpu::getTitle(), L"Wisp Updater 2.8");
}

TEST(UpdateEnvironment, UnsetOrEmptyVariablesReadEmptyAndTheTitleFallsBack) {
    wpu::test::ScopedEnvironment environment;
    environment.set(L"wp_module", L"m");
    environment.set(L"wp_version", L"1.0");
    environment.unset(L"wp_title");
    EXPECT_EQ(kv::wpu::getTitle(), L"m 1.0");
    environment.set(L"wp_title", L"");
    EXPECT_EQ(kv::wpu::getTitle(), L"m 1.0");
    environment.unset(L"wp_module");
    environment.set(L"wp_version", L"");
    EXPECT_EQ(kv::wpu::getModule(), L"");
    EXPECT_EQ(kv::wpu::getVersion(), L"");
    EXPECT_EQ(kv::wpu::getTitle(), L" ");
}

TEST(UpdateEnvironment, ReadsTheLongestValue) {
    wpu::test::ScopedEnvironment environment;
    std::wstring longest(32767, L'x');
    longest[0] = L'a';
    environment.set(L"wp_module", longest);
    const std::wstring read = kv::wpu::getModule();
    // Windows answers all 32767 characters; Wine keeps only 32766 of a value this long.
    EXPECT_TRUE(read == longest || read == longest.substr(0, 32766)) << read.size();
    const std::wstring shorter(32766, L'y');
    environment.set(L"wp_module", shorter);
    EXPECT_EQ(kv::wpu::getModule(), shorter);
}

} // namespace
