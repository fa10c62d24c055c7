#include <windows.h>

#include "kvtl/Handle.h"
#include "probe/ProbeCodes.h"
#include "test-support/TestSupport.h"
#include "winenv/UserRights.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr unsigned long kAllRights =
    probe::IsAdmin | probe::InAdministrators | probe::InUsers | probe::HasSid | probe::HasSession;

// The Administrators group turned deny-only, as in the filtered token of an
// administrator who did not elevate.
kv::UniqueHandle withoutAdministrators(HANDLE token) {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    kv::UniqueSid administrators;
    EXPECT_TRUE(AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0,
                                         0, 0, 0, 0, administrators.put()));
    SID_AND_ATTRIBUTES disable = {administrators.get(), 0};
    kv::UniqueHandle restricted;
    EXPECT_TRUE(CreateRestrictedToken(token, 0, 1, &disable, 0, nullptr, 0, nullptr, restricted.put()));
    return restricted;
}

DWORD runProbe(const char* mode, HANDLE token) {
    std::wstring line = L"\"" + kv::test::besideTestExecutable(L"probe\\winenv_probe.exe") + L"\" ";
    line += std::wstring(mode, mode + strlen(mode));
    std::vector<wchar_t> buffer(line.begin(), line.end());
    buffer.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessAsUserW(token, nullptr, buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                              &startup, &process)) {
        return ~0u;
    }
    kv::UniqueHandle processHandle(process.hProcess);
    kv::UniqueHandle threadHandle(process.hThread);
    DWORD code = ~0u;
    if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.hProcess, &code);
    }
    return code;
}

TEST(UserRights, CurrentUserCarriesTheTokenSidAndSession) {
    const auto user = createCurrentUser();
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(user->sidError(), 0u);

    kv::UniqueHandle token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()));
    std::vector<void*> buffer(256);
    DWORD size = 0;
    ASSERT_TRUE(GetTokenInformation(token.get(), TokenUser, buffer.data(),
                                    static_cast<DWORD>(buffer.size() * sizeof(void*)), &size));
    const PSID expected = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    ASSERT_EQ(user->sid().size(), GetLengthSid(expected));
    EXPECT_TRUE(EqualSid(const_cast<std::uint8_t*>(user->sid().data()), expected));

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
    const kv::UniqueHandle restricted = withoutAdministrators(impersonation.get());
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
    EXPECT_EQ(runProbe("rights", process.get()), kAllRights);

    const kv::UniqueHandle restricted = withoutAdministrators(process.get());
    ASSERT_TRUE(restricted);
    EXPECT_EQ(runProbe("rights", restricted.get()), kAllRights & ~(probe::IsAdmin | probe::InAdministrators));

    // A process token that cannot be queried: no SID, no session, and the effective
    // (impersonation) token still decides.
    EXPECT_EQ(runProbe("locked-token", process.get()),
              probe::IsAdmin | probe::InAdministrators | probe::InUsers | probe::SidErrorAccessDenied);
}

} // namespace
