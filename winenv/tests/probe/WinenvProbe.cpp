#include <windows.h>

#include "ProbeCodes.h"
#include "kvtl/Handle.h"
#include "winenv/ShellFolders.h"
#include "winenv/SystemLibrary.h"
#include "winenv/UserRights.h"

#include <string>

// A process of its own for what must not happen inside the test executable: a token
// that cannot be queried, a restricted primary token, a decoy shell32.dll beside it.
//   winenv_probe rights          rights of this process's token
//   winenv_probe locked-token    the same after locking the process token, impersonating
//   winenv_probe shell-fallback  getFolderPath(Favorites) when its registry value is missing
//   winenv_probe system-library  kvsyslib.dll through each route of loadSystemLibrary
namespace {

unsigned long rightsBits() {
    const auto user = createCurrentUser();
    unsigned long bits = 0;
    bits |= user->isAdmin() ? probe::IsAdmin : 0;
    bits |= isMemberOfBuiltinGroup(nullptr, DOMAIN_ALIAS_RID_ADMINS) ? probe::InAdministrators : 0;
    bits |= isMemberOfBuiltinGroup(nullptr, DOMAIN_ALIAS_RID_USERS) ? probe::InUsers : 0;
    bits |=
        !user->sid().empty() && IsValidSid(const_cast<std::uint8_t*>(user->sid().data())) ? probe::HasSid : 0;
    bits |= user->sessionId() != 0xFFFFFFFF ? probe::HasSession : 0;
    bits |= user->sidError() == ERROR_ACCESS_DENIED ? probe::SidErrorAccessDenied : 0;
    return bits;
}

// Takes an impersonation copy of the process token, then denies everyone every access
// to the process token itself, and impersonates the copy: the process token can no
// longer be queried while the effective token is unchanged.
unsigned long lockedTokenBits() {
    kv::UniqueHandle process;
    kv::UniqueHandle copy;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | WRITE_DAC, process.put()) ||
        !DuplicateTokenEx(process.get(), TOKEN_QUERY | TOKEN_IMPERSONATE, nullptr, SecurityImpersonation,
                          TokenImpersonation, copy.put())) {
        return probe::SetupFailed;
    }
    SECURITY_DESCRIPTOR descriptor;
    ACL emptyAcl;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !InitializeAcl(&emptyAcl, sizeof(emptyAcl), ACL_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, &emptyAcl, FALSE) ||
        !SetKernelObjectSecurity(process.get(), DACL_SECURITY_INFORMATION, &descriptor) ||
        !SetThreadToken(nullptr, copy.get())) {
        return probe::SetupFailed;
    }
    kv::UniqueHandle check;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, check.put())) {
        return probe::SetupFailed;
    }
    return rightsBits();
}

unsigned long shellFallbackBits() {
    if (GetModuleHandleW(L"shell32.dll") != nullptr) {
        return probe::SetupFailed;
    }
    const std::wstring folder = getFolderPath(FolderId::Favorites);
    unsigned long bits = 0;
    bits |= !folder.empty() ? probe::FolderFound : 0;
    bits |= folder == L"C:\\decoy" ? probe::FolderFromDecoy : 0;
    bits |= GetModuleHandleW(L"shell32.dll") == nullptr ? probe::ShellReleased : 0;

    // The control: a load by name would have reached the decoy.
    kv::UniqueModule byName(LoadLibraryW(L"shell32.dll"));
    using Function = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR);
    const auto function =
        byName ? reinterpret_cast<Function>(GetProcAddress(byName.get(), "SHGetFolderPathW")) : nullptr;
    wchar_t path[MAX_PATH] = {};
    if (function != nullptr && function(nullptr, 6, nullptr, 0, path) == S_OK &&
        std::wstring(path) == L"C:\\decoy") {
        bits |= probe::DecoyByName;
    }
    return bits;
}

std::wstring directoryOf(HMODULE module) {
    std::wstring directory;
    std::wstring name;
    splitPath(module == nullptr ? std::wstring() : getModuleFileName(module), directory, name);
    return directory;
}

bool sameDirectory(const std::wstring& first, const std::wstring& second) {
    return !first.empty() && _wcsicmp(first.c_str(), second.c_str()) == 0;
}

// The folders the library and its dependency came from. The library is released
// afterwards, and with it its dependency, so that the next load starts afresh.
struct Origins {
    std::wstring library;
    std::wstring dependency;
    bool released;
};
Origins originsOf(kv::UniqueModule library) {
    Origins origins{directoryOf(library.get()), directoryOf(GetModuleHandleW(L"kvsysdep.dll")), false};
    library.reset();
    origins.released = GetModuleHandleW(L"kvsysdep.dll") == nullptr;
    return origins;
}

unsigned long systemLibraryBits() {
    wchar_t buffer[MAX_PATH] = {};
    GetSystemDirectoryW(buffer, MAX_PATH);
    const std::wstring system = buffer;
    const Origins restricted = originsOf(winenv::detail::loadSystemLibrary(L"kvsyslib.dll", true));
    const Origins fullPath = originsOf(winenv::detail::loadSystemLibrary(L"kvsyslib.dll", false));
    const Origins plain =
        originsOf(kv::UniqueModule(LoadLibraryExW((system + L"\\kvsyslib.dll").c_str(), nullptr, 0)));
    if (!restricted.released || !fullPath.released || !plain.released) {
        return probe::SetupFailed;
    }
    unsigned long bits = 0;
    bits |= sameDirectory(restricted.library, system) ? probe::RestrictedLibraryFromSystem : 0;
    bits |= sameDirectory(restricted.dependency, system) ? probe::RestrictedDependencyFromSystem : 0;
    bits |= sameDirectory(fullPath.library, system) ? probe::FullPathLibraryFromSystem : 0;
    bits |= sameDirectory(fullPath.dependency, system) ? probe::FullPathDependencyFromSystem : 0;
    bits |= sameDirectory(plain.dependency, getModuleDirectory()) ? probe::PlainDependencyFromProbe : 0;
    return bits;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "rights") {
        return static_cast<int>(rightsBits());
    }
    if (mode == "locked-token") {
        return static_cast<int>(lockedTokenBits());
    }
    if (mode == "shell-fallback") {
        return static_cast<int>(shellFallbackBits());
    }
    if (mode == "system-library") {
        return static_cast<int>(systemLibraryBits());
    }
    return static_cast<int>(probe::SetupFailed);
}
