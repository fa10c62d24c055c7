#include <windows.h>

#include "ProbeCodes.h"
#include "kvtl/Handle.h"
#include "winenv/ShellFolders.h"
#include "winenv/SystemLibrary.h"
#include "winenv/UserRights.h"

#include <string>

// A process of its own for what must not happen inside the test executable: a token
// that cannot be queried, a restricted primary token, a decoy shell32.dll beside it.
// The modes and what their exit-code bits mean are listed in ProbeCodes.h.
namespace {

unsigned long bit(bool set, unsigned long value) {
    return set ? value : 0;
}

unsigned long rightsBits() {
    const auto user = createCurrentUser();
    const PSID sid = user->sid().empty() ? nullptr : const_cast<std::uint8_t*>(user->sid().data());
    return bit(user->isAdmin(), probe::IsAdmin) |
           bit(isMemberOfBuiltinGroup(nullptr, DOMAIN_ALIAS_RID_USERS), probe::InUsers) |
           bit(sid != nullptr && IsValidSid(sid), probe::HasSid) |
           bit(user->sessionId() != 0xFFFFFFFF, probe::HasSession) |
           bit(user->sidError() == ERROR_ACCESS_DENIED, probe::SidErrorAccessDenied);
}

// Takes an impersonation copy of the process token, then denies everyone every access
// to the process token itself, and impersonates the copy: the process token can no
// longer be queried while the effective token is unchanged.
unsigned long lockedTokenBits() {
    kv::UniqueHandle process, copy, check;
    SECURITY_DESCRIPTOR descriptor;
    ACL emptyAcl;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | WRITE_DAC, process.put()) ||
        !DuplicateTokenEx(process.get(), TOKEN_QUERY | TOKEN_IMPERSONATE, nullptr, SecurityImpersonation,
                          TokenImpersonation, copy.put()) ||
        !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !InitializeAcl(&emptyAcl, sizeof(emptyAcl), ACL_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, &emptyAcl, FALSE) ||
        !SetKernelObjectSecurity(process.get(), DACL_SECURITY_INFORMATION, &descriptor) ||
        !SetThreadToken(nullptr, copy.get()) ||
        OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, check.put())) {
        return probe::SetupFailed;
    }
    return rightsBits();
}

unsigned long shellFallbackBits() {
    if (GetModuleHandleW(L"shell32.dll") != nullptr) {
        return probe::SetupFailed;
    }
    const std::wstring folder = getFolderPath(FolderId::Favorites);
    unsigned long bits = bit(!folder.empty(), probe::FolderFound) |
                         bit(folder == L"C:\\decoy", probe::FolderFromDecoy) |
                         bit(GetModuleHandleW(L"shell32.dll") == nullptr, probe::ShellReleased);
    // The control: a load by name would have reached the decoy.
    kv::UniqueModule byName(LoadLibraryW(L"shell32.dll"));
    using Function = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR);
    const auto function =
        byName ? reinterpret_cast<Function>(GetProcAddress(byName.get(), "SHGetFolderPathW")) : nullptr;
    wchar_t path[MAX_PATH] = {};
    return bits | bit(function != nullptr && function(nullptr, 6, nullptr, 0, path) == S_OK &&
                          std::wstring(path) == L"C:\\decoy",
                      probe::DecoyByName);
}

// Whether the library and its dependency came from `library` and `dependency`. The
// library is released afterwards, and with it its dependency, so that the next load
// starts afresh (SetupFailed when it does not).
unsigned long originBits(kv::UniqueModule module, const std::wstring& library, unsigned long libraryBit,
                         const std::wstring& dependency, unsigned long dependencyBit) {
    const auto from = [](HMODULE m, const std::wstring& folder) {
        std::wstring directory, name;
        return m != nullptr && splitPath(getModuleFileName(m), directory, name) &&
               _wcsicmp(directory.c_str(), folder.c_str()) == 0;
    };
    const unsigned long bits = bit(from(module.get(), library), libraryBit) |
                               bit(from(GetModuleHandleW(L"kvsysdep.dll"), dependency), dependencyBit);
    module.reset();
    return bits | bit(GetModuleHandleW(L"kvsysdep.dll") != nullptr, probe::SetupFailed);
}

unsigned long systemLibraryBits() {
    wchar_t buffer[MAX_PATH] = {};
    GetSystemDirectoryW(buffer, MAX_PATH);
    const std::wstring system = buffer;
    return originBits(winenv::detail::loadSystemLibrary(L"kvsyslib.dll", true), system,
                      probe::RestrictedLibraryFromSystem, system, probe::RestrictedDependencyFromSystem) |
           originBits(winenv::detail::loadSystemLibrary(L"kvsyslib.dll", false), system,
                      probe::FullPathLibraryFromSystem, system, probe::FullPathDependencyFromSystem) |
           originBits(kv::UniqueModule(LoadLibraryExW((system + L"\\kvsyslib.dll").c_str(), nullptr, 0)),
                      system, 0, getModuleDirectory(), probe::PlainDependencyFromProbe);
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    const unsigned long bits = mode == "rights"           ? rightsBits()
                               : mode == "locked-token"   ? lockedTokenBits()
                               : mode == "shell-fallback" ? shellFallbackBits()
                               : mode == "system-library" ? systemLibraryBits()
                                                          : probe::SetupFailed;
    return static_cast<int>(bits);
}
