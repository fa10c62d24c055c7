#include <windows.h>
#include <sddl.h>

#include "kvtl/Handle.h"
#include "logging/Security.h"

#include <gtest/gtest.h>

using namespace KvZarnLogging;

namespace {

// The process token with BUILTIN\Administrators made deny-only: a standard user
// as far as membership checks go.
kv::UniqueHandle standardUserToken() {
    kv::UniqueHandle process;
    OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, process.put());
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                             &admins);
    SID_AND_ATTRIBUTES deny = {admins, 0};
    kv::UniqueHandle restricted;
    CreateRestrictedToken(process.get(), 0, 1, &deny, 0, nullptr, 0, nullptr, restricted.put());
    FreeSid(admins);
    return restricted;
}

struct LabelCase {
    const char* sid;
    bool low;
};

TEST(TokenFacts, OnlyTheLowLabelIsLowIntegrity) {
    const LabelCase rows[] = {{"S-1-16-4096", true},   {"S-1-16-0", false},     {"S-1-16-8192", false},
                              {"S-1-16-12288", false}, {"S-1-16-16384", false}, {"S-1-16-4097", false}};
    for (const LabelCase& row : rows) {
        PSID sid = nullptr;
        ASSERT_TRUE(ConvertStringSidToSidA(row.sid, &sid)) << row.sid;
        EXPECT_EQ(isLowIntegrityLabel(sid), row.low) << row.sid;
        LocalFree(sid);
    }
    EXPECT_FALSE(isLowIntegrityLabel(nullptr));
}

TEST(TokenFacts, AdministratorCheckFollowsTheGivenOrEffectiveToken) {
    kv::UniqueHandle process;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, process.put()));
    ASSERT_TRUE(isAdministrator(process.get())) << "the test prefix runs as an administrator";
    EXPECT_TRUE(readTokenFacts(nullptr).isAdmin);

    kv::UniqueHandle user = standardUserToken();
    ASSERT_TRUE(user.valid());
    const TokenFacts facts = readTokenFacts(user.get());
    EXPECT_FALSE(facts.isAdmin);
    EXPECT_FALSE(facts.isLowIntegrity);

    // While the thread impersonates the standard user, "no token" means that user.
    ASSERT_TRUE(ImpersonateLoggedOnUser(user.get()));
    const bool adminWhileImpersonating = isAdministrator(nullptr);
    RevertToSelf();
    EXPECT_FALSE(adminWhileImpersonating);
}

TEST(TokenFacts, UserSidIsTheTokenUsersSid) {
    const std::wstring sid = userSidString(nullptr);
    ASSERT_EQ(sid.rfind(L"S-1-5-", 0), 0u) << sid.c_str();
    kv::UniqueHandle user = standardUserToken();
    EXPECT_EQ(userSidString(user.get()), sid);
}

TEST(SecurityAttributesOwner, MadeFromSddlNotInheritable) {
    SecurityAttributes attributes(RestrictedLogAcl);
    ASSERT_NE(attributes.get(), nullptr);
    EXPECT_EQ(attributes.get()->nLength, sizeof(SECURITY_ATTRIBUTES));
    EXPECT_FALSE(attributes.get()->bInheritHandle);
    char* text = nullptr;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorA(
        attributes.get()->lpSecurityDescriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr));
    EXPECT_STREQ(text, RestrictedLogAcl);
    LocalFree(text);

    EXPECT_EQ(SecurityAttributes("D:(nonsense").get(), nullptr);
    EXPECT_EQ(SecurityAttributes().get(), nullptr);
}

} // namespace
