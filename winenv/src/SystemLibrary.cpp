#include <windows.h>

#include "winenv/SystemLibrary.h"

#include <cwchar>
#include <iterator>

namespace {

// Newer than the headers' target version, hence the number.
constexpr DWORD LoadLibrarySearchSystem32 = 0x800;

} // namespace

kv::UniqueModule loadSystemLibrary(const wchar_t* name) noexcept {
    const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    return winenv::detail::loadSystemLibrary(
        name, kernel32 != nullptr && GetProcAddress(kernel32, "AddDllDirectory") != nullptr);
}

namespace winenv::detail {

kv::UniqueModule loadSystemLibrary(const wchar_t* name, bool loaderCanRestrictSearch) noexcept {
    if (loaderCanRestrictSearch) {
        return kv::UniqueModule(LoadLibraryExW(name, nullptr, LoadLibrarySearchSystem32));
    }
    // Without the restricted search a bare name would be looked for in the program's
    // folder first, and so would the library's dependencies after a load by full path
    // with no flags: the altered search path starts theirs in the system folder.
    wchar_t path[MAX_PATH * 2];
    const size_t nameLength = std::wcslen(name);
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || length + 1 + nameLength >= std::size(path)) {
        if (length != 0) {
            SetLastError(ERROR_BUFFER_OVERFLOW);
        }
        return kv::UniqueModule();
    }
    path[length] = L'\\';
    std::wmemcpy(path + length + 1, name, nameLength + 1);
    return kv::UniqueModule(LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
}

} // namespace winenv::detail
