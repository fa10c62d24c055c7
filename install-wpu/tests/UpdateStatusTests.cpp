#include <windows.h>

#include "install-wpu/UpdateStatus.h"

#include "InstallerTestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

namespace {

using wpu::test::registryString;

const std::wstring ProductRoot = L"SOFTWARE\\Korvane\\Wisp";
const std::wstring ModuleKey = ProductRoot + L"\\updates\\wpu\\";
const std::wstring RebootKey = ProductRoot + L"\\RebootRequested";

class UpdateStatus : public testing::Test {
protected:
    // The whole maker tree, so that a missing product root can be tested too.
    kv::test::RegistryTree tree_{HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane"};
};

// Versions and their statuses, "1:active 2:" ("" for none; "<missing>" afterwards).
void createVersions(const std::wstring& versions) {
    std::wistringstream in(versions);
    for (std::wstring version; in >> version;) {
        wpu::test::createVersionKey(ModuleKey + version.substr(0, version.find(L':')),
                                    version.substr(version.find(L':') + 1));
    }
}

std::wstring statuses(const std::wstring& versions) {
    std::wistringstream in(versions);
    std::wstring result;
    for (std::wstring version; in >> version;) {
        const std::wstring name = version.substr(0, version.find(L':'));
        result += (result.empty() ? L"" : L" ") + name + L":" + registryString(ModuleKey + name, L"status");
    }
    return result;
}

TEST_F(UpdateStatus, MarkActiveVersion) {
    struct Case {
        const char* why;
        const wchar_t* module;
        const wchar_t* before;
        const wchar_t* version;
        bool keepPrevious;
        const wchar_t* after;
    };
    const Case cases[] = {
        {"an earlier previous version becomes inactive", L"wpu", L"1:previous 2:active 3:", L"3", true,
         L"1:inactive 2:previous 3:active"},
        {"without keeping, as an uninstall does", L"wpu", L"1:inactive 2:active 3:", L"3", false,
         L"1:inactive 2:inactive 3:active"},
        {"the installed version's key is missing", L"wpu", L"1:active 2:", L"4", true,
         L"1:previous 2:inactive"},
        {"a key differing only in case is another version", L"wpu", L"1.0A:active", L"1.0a", false,
         L"1.0A:inactive"},
        {"without module", L"", L"1:active", L"1", true, L"1:active"},
        {"another module's key is missing and not created", L"other", L"1:active", L"1", true, L"1:active"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.why);
        tree_.clear();
        createVersions(row.before);
        wp::markActiveVersion(row.module, row.version, row.keepPrevious);
        EXPECT_EQ(statuses(row.after), row.after);
        EXPECT_FALSE(wpu::test::registryKeyExists(ProductRoot + L"\\updates\\other"));
    }
}

TEST_F(UpdateStatus, MarkToTryAgainTouchesOnlyTheExactVersion) {
    createVersions(L"1:active 2:");
    wpu::test::CapturedLog log(L"try-again");
    wp::markToTryAgain(L"wpu", L"2");
    wp::markToTryAgain(L"wpu", L"3");
    wp::markToTryAgain(L"", L"2");
    EXPECT_THAT(log.messages(),
                testing::ElementsAre(L" I: wp::markToTryAgain: Set to try again under 2",
                                     L".W: wp::markToTryAgain: Module is not specified: '' '2'"));
    EXPECT_EQ(statuses(L"1 2"), L"1:active 2:failed-will-retry");
    EXPECT_FALSE(wpu::test::registryKeyExists(ModuleKey + L"3"));
}

// A volatile key accepts only volatile children: that tells it apart from an ordinary one.
LSTATUS createOrdinaryChild(const std::wstring& parent) {
    kv::UniqueHkey key;
    return RegCreateKeyExW(HKEY_LOCAL_MACHINE, (parent + L"\\child").c_str(), 0, nullptr, 0,
                           KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, key.put(), nullptr);
}

// The reboot request is a volatile key with the reason, if any; a missing product root
// is made an ordinary key, so that the module registration after it is still possible.
TEST_F(UpdateStatus, RebootRequestIsAVolatileKeyWithTheReason) {
    for (const std::wstring reason : {L"Wisp 2.8", L""}) {
        for (const bool rootExists : {true, false}) {
            SCOPED_TRACE(testing::Message() << testing::PrintToString(reason) << rootExists);
            tree_.clear();
            if (rootExists) {
                wpu::test::createVersionKey(ProductRoot, L"");
            }
            EXPECT_TRUE(kv::wpu::set_reboot_requested(reason));
            EXPECT_EQ(registryString(RebootKey, L"reason"), reason.empty() ? L"<missing>" : reason);
            EXPECT_EQ(createOrdinaryChild(RebootKey), ERROR_CHILD_MUST_BE_VOLATILE);
            EXPECT_EQ(createOrdinaryChild(ProductRoot + L"\\modules"), ERROR_SUCCESS);
        }
    }
}

// The variables are read whole, however long (InstallerMain's runs show them); an empty
// title falls back like a missing one.
TEST(UpdateEnvironment, AnEmptyTitleFallsBackAndALongValueIsReadWhole) {
    wpu::test::ScopedEnvironment environment;
    const std::wstring longest(32766, L'y'); // Wine keeps only 32766 characters of a value
    environment.set(L"wp_module", longest);
    environment.set(L"wp_version", L"1.0");
    environment.set(L"wp_title", L"");
    EXPECT_EQ(kv::wpu::getModule(), longest);
    EXPECT_EQ(kv::wpu::getTitle(), longest + L" 1.0");
}

} // namespace
