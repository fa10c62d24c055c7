#pragma once

#include <windows.h>

#include "kvtl/Handle.h"

#include <string>

// What the log location depends on in the caller's token, and the security
// descriptors of log directories, files and mutexes.
namespace KvZarnLogging {

// Inheritable: SYSTEM and Administrators full control, authenticated users read and execute.
inline constexpr char InheritableLogAcl[] = "D:(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICI;GRGX;;;AU)";
// Restricted (RestrictedAcl), also the DACL of an administrator's named mutex.
inline constexpr char RestrictedLogAcl[] = "D:(A;;GA;;;SY)(A;;GA;;;BA)";

struct TokenFacts {
    bool isAdmin = false;
    bool isLowIntegrity = false;
};

// Membership in BUILTIN\Administrators. A null token means the caller's effective
// token (the thread's impersonation token, else the process token).
bool isAdministrator(HANDLE token);
// True for the integrity label SID of a low-integrity token (S-1-16-4096).
bool isLowIntegrityLabel(PSID label);
// Integrity of the token (null: the effective token); false when it cannot be read.
bool isLowIntegrity(HANDLE token);
// isAdmin, and isLowIntegrity only for a non-administrator.
TokenFacts readTokenFacts(HANDLE token);
// The token user's SID as text ("S-1-5-21-..."); empty on failure.
std::wstring userSidString(HANDLE token);

// SECURITY_ATTRIBUTES (not inheritable) owning a descriptor made from SDDL.
class SecurityAttributes {
public:
    SecurityAttributes() = default;
    // Empty (get() null) when the SDDL cannot be converted.
    explicit SecurityAttributes(const char* sddl);

    SECURITY_ATTRIBUTES* get() noexcept { return descriptor_ ? &attributes_ : nullptr; }
    PSECURITY_DESCRIPTOR descriptor() const noexcept { return descriptor_.get(); }
    explicit operator bool() const noexcept { return descriptor_.valid(); }

private:
    SECURITY_ATTRIBUTES attributes_ = {};
    kv::UniqueLocal descriptor_;
};

} // namespace KvZarnLogging
