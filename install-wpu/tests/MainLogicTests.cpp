#include <windows.h>

#include "install-wpu/MainLogic.h"

#include "InstallerTestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using testing::ElementsAre;

// Until the install sequence exists, execute() is its first step: the rights check.
TEST(MainLogic, ExecuteRefusesWithoutAdministratorRights) {
    MainLogic logic;
    wpu::test::CapturedLog log(L"main-logic-rights");
    EXPECT_EQ(logic.execute(), 0);
    {
        wpu::test::ScopedNonAdministrator restricted;
        ASSERT_TRUE(restricted.active());
        EXPECT_EQ(logic.execute(), 1);
    }
    EXPECT_THAT(log.messages(), ElementsAre(L"*E: MainLogic::execute: Not enough rights."));
}

TEST(MainLogic, NamesTheModuleKeepsThePreviousVersionAndUninstallsNothing) {
    MainLogic logic;
    EXPECT_EQ(logic.getModuleName(), L"wpupdater-win-arm64");
    EXPECT_TRUE(logic.keepPreviousVersion());
    EXPECT_TRUE(logic.isPlatformSupported());
    EXPECT_EQ(logic.uninstall(), 201);
}

} // namespace
