#include <windows.h>
#include <sddl.h>

#include "LogTestSupport.h"
#include "kvtl/Handle.h"
#include "logging/Security.h"

#include <gtest/gtest.h>

using namespace KvZarnLogging;

namespace {

TEST(TokenFacts, OnlyTheLowLabelIsLowIntegrity) {
    for (const auto& [text, low] : {std::pair<const char*, bool>{"S-1-16-4096", true},
                                    {"S-1-16-0", false},
                                    {"S-1-16-8192", false},
                                    {"S-1-16-12288", false},
                                    {"S-1-16-4097", false}}) {
        PSID sid = nullptr;
        ASSERT_TRUE(ConvertStringSidToSidA(text, &sid));
        EXPECT_EQ(isLowIntegrityLabel(sid), low) << text;
        LocalFree(sid);
    }
    EXPECT_FALSE(isLowIntegrityLabel(nullptr));
}

// The token parameter: a primary token is checked as it is; no token means the
// effective one (the file-context tests impersonate a standard user through it).
TEST(TokenFacts, AdministratorCheckOfAGivenToken) {
    const kv::UniqueHandle user = logtest::standardUserToken();
    EXPECT_FALSE(readTokenFacts(user.get()).isAdmin);
    EXPECT_TRUE(readTokenFacts(nullptr).isAdmin) << "the test prefix runs as an administrator";
    EXPECT_EQ(userSidString(user.get()), userSidString(nullptr));
}

} // namespace
