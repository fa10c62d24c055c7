#include "StandIn.h"

#include "kvtl/Handle.h"
#include "kvtl/Str.h"

#include <vector>

namespace kv::doubles::standin {

namespace {

bool isAdministrator() {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    kv::UniqueSid administrators;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                  0, administrators.put())) {
        return false;
    }
    BOOL member = FALSE;
    return CheckTokenMembership(nullptr, administrators.get(), &member) && member;
}

std::wstring userName() {
    wchar_t name[257] = {};
    DWORD size = 257;
    return GetUserNameW(name, &size) ? name : L"?";
}

} // namespace

std::wstring ownDirectory() {
    std::vector<wchar_t> path(32768);
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    std::wstring text(path.data(), length);
    return text.substr(0, text.find_last_of(L'\\') + 1);
}

void recordStart(const wchar_t* fileName) {
    const std::wstring line = L"pid=" + std::to_wstring(GetCurrentProcessId()) + L" user=" + userName() +
                              L" admin=" + (isAdministrator() ? L"1" : L"0") + L" cmdline=" +
                              GetCommandLineW() + L"\r\n";
    const std::string bytes = kv::str::wideToUtf8(line);
    kv::UniqueHandle mutex(CreateMutexW(nullptr, FALSE, L"Local\\KvProductStandInRecords"));
    if (mutex) {
        WaitForSingleObject(mutex.get(), 5000);
    }
    kv::UniqueFile file(CreateFileW((ownDirectory() + fileName).c_str(), FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file) {
        DWORD written = 0;
        WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    }
    if (mutex) {
        ReleaseMutex(mutex.get());
    }
}

} // namespace kv::doubles::standin
