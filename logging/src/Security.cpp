#include <windows.h>
#include <sddl.h>

#include "logging/Security.h"

#include <vector>

namespace KvZarnLogging {

namespace {

// The effective token: the thread's while it impersonates, else the process's.
kv::UniqueHandle openEffectiveToken(DWORD access) {
    kv::UniqueHandle token;
    if (!::OpenThreadToken(::GetCurrentThread(), access, TRUE, token.put())) {
        ::OpenProcessToken(::GetCurrentProcess(), access, token.put());
    }
    return token;
}

std::vector<BYTE> tokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
    kv::UniqueHandle own;
    if (token == nullptr) {
        own = openEffectiveToken(TOKEN_QUERY);
        token = own.get();
    }
    DWORD size = 0;
    ::GetTokenInformation(token, kind, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size == 0 || !::GetTokenInformation(token, kind, buffer.data(), size, &size)) {
        buffer.clear();
    }
    return buffer;
}

} // namespace

bool isAdministrator(HANDLE token) {
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    kv::UniqueSid administrators;
    if (!::AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0,
                                    0, 0, 0, 0, 0, administrators.put())) {
        return false;
    }
    // CheckTokenMembership wants an impersonation token; a primary one is duplicated.
    kv::UniqueHandle impersonation;
    if (token != nullptr) {
        TOKEN_TYPE type = TokenPrimary;
        DWORD size = 0;
        if (::GetTokenInformation(token, TokenType, &type, sizeof(type), &size) && type == TokenPrimary) {
            if (!::DuplicateToken(token, SecurityIdentification, impersonation.put())) {
                return false;
            }
            token = impersonation.get();
        }
    }
    BOOL member = FALSE;
    return ::CheckTokenMembership(token, administrators.get(), &member) && member;
}

bool isLowIntegrityLabel(PSID label) {
    if (label == nullptr || !::IsValidSid(label)) {
        return false;
    }
    const UCHAR count = *::GetSidSubAuthorityCount(label);
    return count > 0 && *::GetSidSubAuthority(label, count - 1) == SECURITY_MANDATORY_LOW_RID;
}

bool isLowIntegrity(HANDLE token) {
    const std::vector<BYTE> buffer = tokenInformation(token, TokenIntegrityLevel);
    if (buffer.size() < sizeof(TOKEN_MANDATORY_LABEL)) {
        return false;
    }
    return isLowIntegrityLabel(reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(buffer.data())->Label.Sid);
}

TokenFacts readTokenFacts(HANDLE token) {
    TokenFacts facts;
    facts.isAdmin = isAdministrator(token);
    facts.isLowIntegrity = !facts.isAdmin && isLowIntegrity(token);
    return facts;
}

std::wstring userSidString(HANDLE token) {
    const std::vector<BYTE> buffer = tokenInformation(token, TokenUser);
    if (buffer.size() < sizeof(TOKEN_USER)) {
        return {};
    }
    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
        return {};
    }
    kv::UniqueLocal owner(text);
    return text;
}

SecurityAttributes::SecurityAttributes(const char* sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &descriptor, nullptr)) {
        descriptor_.reset(descriptor);
        attributes_.nLength = sizeof(attributes_);
        attributes_.lpSecurityDescriptor = descriptor;
        attributes_.bInheritHandle = FALSE;
    }
}

} // namespace KvZarnLogging
