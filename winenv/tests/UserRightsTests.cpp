#include <windows.h>
#include <sddl.h>

#include "WinenvTest.h"
#include "kvtl/Handle.h"
#include "probe/ProbeCodes.h"
#include "test-support/TestSupport.h"
#include "winenv/UserRights.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

constexpr unsigned long kAllRights =
    probe::IsAdmin | probe::InAdministrators | probe::InUsers | probe::HasSid | probe::HasSession;

TEST(UserRights, CurrentUserCarriesTheTokenSidAndSession) {
    const auto user = createCurrentUser();
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(user->sidError(), 0u);

    wchar_t* text = nullptr;
    ASSERT_TRUE(ConvertSidToStringSidW(const_cast<std::uint8_t*>(user->sid().data()), &text));
    const kv::UniqueLocal owner(text);
    EXPECT_EQ(text, kv::test::currentUserSid());
    EXPECT_EQ(user->sid().size(), GetLengthSid(const_cast<std::uint8_t*>(user->sid().data())));

    DWORD session = 0xFFFFFFFF;
    ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &session));
    EXPECT_EQ(user->sessionId(), session);
    EXPECT_TRUE(user->isAdmin());
}

TEST(UserRights, DenyOnlyAdministratorsIsNotMembership) {
    kv::UniqueHandle process;
    kv::UniqueHandle impersonation;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, process.put()));
    ASSERT_TRUE(DuplicateTokenEx(process.get(), MAXIMUM_ALLOWED, nullptr, SecurityImpersonation,
                                 TokenImpersonation, impersonation.put()));
    const kv::UniqueHandle restricted = kv::test::withoutAdministrators(impersonation.get());
    ASSERT_TRUE(restricted);

    EXPECT_TRUE(isMemberOfBuiltinGroup(impersonation.get(), DOMAIN_ALIAS_RID_ADMINS));
    EXPECT_FALSE(isMemberOfBuiltinGroup(restricted.get(), DOMAIN_ALIAS_RID_ADMINS));
    EXPECT_TRUE(isMemberOfBuiltinGroup(restricted.get(), DOMAIN_ALIAS_RID_USERS));
    EXPECT_FALSE(isMemberOfBuiltinGroup(impersonation.get(), DOMAIN_ALIAS_RID_GUESTS));

    // isAdmin answers from the thread's effective token, whatever the user object says.
    const auto user = createCurrentUser();
    bool whileImpersonating = true;
    bool afterRevert = false;
    std::thread([&] {
        if (SetThreadToken(nullptr, restricted.get())) {
            whileImpersonating = user->isAdmin() || isMemberOfBuiltinGroup(nullptr, DOMAIN_ALIAS_RID_ADMINS);
            RevertToSelf();
            afterRevert = user->isAdmin();
        }
    }).join();
    EXPECT_FALSE(whileImpersonating);
    EXPECT_TRUE(afterRevert);
    EXPECT_TRUE(BaseUser::isAdmin());
}

TEST(UserRights, ProcessesAnswerFromTheirOwnTokens) {
    kv::UniqueHandle process;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY,
                                 process.put()));
    EXPECT_EQ(runProbe(L"rights", process.get()), kAllRights);

    const kv::UniqueHandle restricted = kv::test::withoutAdministrators(process.get());
    ASSERT_TRUE(restricted);
    EXPECT_EQ(runProbe(L"rights", restricted.get()),
              kAllRights & ~(probe::IsAdmin | probe::InAdministrators));

    // A process token that cannot be queried: no SID, no session, and the effective
    // (impersonation) token still decides.
    EXPECT_EQ(runProbe(L"locked-token", process.get()),
              probe::IsAdmin | probe::InAdministrators | probe::InUsers | probe::SidErrorAccessDenied);
}

} // namespace
