#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <vector>

// A user: the Terminal Services session and a copy of the binary SID, as far as they
// could be obtained.
class BaseUser {
public:
    BaseUser() = default;
    virtual ~BaseUser();
    BaseUser(const BaseUser&) = delete;
    BaseUser& operator=(const BaseUser&) = delete;

    // 0xFFFFFFFF until known.
    DWORD sessionId() const { return sessionId_; }
    // The binary SID; empty until known.
    const std::vector<std::uint8_t>& sid() const { return sid_; }
    // The Win32 error of the last attempt to obtain the SID; 0 when it worked.
    DWORD sidError() const { return sidError_; }

    // Whether the caller's effective token (the thread's impersonation token, else the
    // process token) is a member of BUILTIN\Administrators. Deny-only membership, as in
    // the filtered token of a non-elevated administrator, does not count. The object
    // itself is not consulted.
    static bool isAdmin();

protected:
    DWORD sessionId_ = 0xFFFFFFFF;
    std::vector<std::uint8_t> sid_;
    DWORD sidError_ = 0;
};

namespace CurrentUser {

// The user of the current process token.
class CurrentUserPrivate : public BaseUser {
public:
    // Reads the SID from the process token and then the session of the process;
    // a token that cannot be queried leaves both unknown and records the error.
    CurrentUserPrivate();
};

} // namespace CurrentUser

// The user of the current process; a failed query leaves its fields unknown, never throws.
std::unique_ptr<BaseUser> createCurrentUser();

// Whether the token is a member of the BUILTIN group with that relative id (544
// Administrators, 545 Users). Null means the caller's effective token; any other token
// must be an impersonation token. False when the test itself fails.
bool isMemberOfBuiltinGroup(HANDLE token, DWORD rid);
