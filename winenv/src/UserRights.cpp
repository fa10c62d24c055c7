#include <windows.h>

#include "winenv/UserRights.h"

#include "kvtl/Handle.h"

namespace {

// Copies the user SID out of the process token, or answers the error of the step that failed.
DWORD readProcessUserSid(std::vector<std::uint8_t>& sid) {
    kv::UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) {
        return ::GetLastError();
    }
    DWORD size = 0;
    if (::GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size) ||
        ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        const DWORD error = ::GetLastError();
        return error != ERROR_SUCCESS ? error : ERROR_INVALID_PARAMETER;
    }
    // TOKEN_USER holds pointers: keep the buffer aligned for them.
    std::vector<void*> buffer((size + sizeof(void*) - 1) / sizeof(void*));
    if (!::GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) {
        return ::GetLastError();
    }
    const PSID user = reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid;
    if (!::IsValidSid(user)) {
        return ERROR_INVALID_PARAMETER;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(user);
    sid.assign(bytes, bytes + ::GetLengthSid(user));
    return ERROR_SUCCESS;
}

} // namespace

BaseUser::~BaseUser() = default;

bool BaseUser::isAdmin() {
    return isMemberOfBuiltinGroup(nullptr, DOMAIN_ALIAS_RID_ADMINS);
}

CurrentUser::CurrentUserPrivate::CurrentUserPrivate() {
    sidError_ = readProcessUserSid(sid_);
    if (!sid_.empty()) {
        DWORD session = 0;
        if (::ProcessIdToSessionId(::GetCurrentProcessId(), &session)) {
            sessionId_ = session;
        }
    }
}

std::unique_ptr<BaseUser> createCurrentUser() {
    return std::make_unique<CurrentUser::CurrentUserPrivate>();
}

bool isMemberOfBuiltinGroup(HANDLE token, DWORD rid) {
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    kv::UniqueSid group;
    if (!::AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, rid, 0, 0, 0, 0, 0, 0,
                                    group.put())) {
        return false;
    }
    BOOL member = FALSE;
    return ::CheckTokenMembership(token, group.get(), &member) && member;
}
