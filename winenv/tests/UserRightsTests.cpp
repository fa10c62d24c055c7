#include "WinenvTest.h"
#include "probe/ProbeCodes.h"
#include "winenv/UserRights.h"

namespace {

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

TEST(UserRights, ProcessesAnswerFromTheirOwnTokens) {
    kv::UniqueHandle process;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY,
                                 process.put()));
    // Administrators for deny only is no membership.
    const kv::UniqueHandle restricted = kv::test::withoutAdministrators(process.get());
    ASSERT_TRUE(restricted);
    EXPECT_EQ(runProbe(L"rights", restricted.get()), probe::InUsers | probe::HasSid | probe::HasSession);

    // A process token that cannot be queried: no SID, no session, and the effective
    // (impersonation) token still decides.
    EXPECT_EQ(runProbe(L"locked-token", process.get()),
              probe::IsAdmin | probe::InUsers | probe::SidErrorAccessDenied);
}

} // namespace
