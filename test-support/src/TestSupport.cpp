#include "test-support/TestSupport.h"

#include <sddl.h>

#include <atomic>
#include <vector>

namespace kv::test {

namespace {

std::wstring directoryOf(const std::wstring& path) {
    return path.substr(0, path.find_last_of(L'\\'));
}

} // namespace

TempDirectory::TempDirectory() {
    static std::atomic<unsigned> counter{0};
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    path_ = std::wstring(temp) + L"kvtest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(counter++);
    CreateDirectoryW(path_.c_str(), nullptr);
}

TempDirectory::~TempDirectory() {
    removeDirectoryTree(path_);
}

bool removeDirectoryTree(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return true;
    }
    // A link is removed, never followed.
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = data.cFileName;
                if (name != L"." && name != L"..") {
                    removeDirectoryTree(path + L"\\" + name);
                }
            } while (FindNextFileW(find, &data));
            FindClose(find);
        }
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        return RemoveDirectoryW(path.c_str()) != FALSE;
    }
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    return DeleteFileW(path.c_str()) != FALSE;
}

RegistryTree::RegistryTree(HKEY root, std::wstring path) : root_(root), path_(std::move(path)) {
    clear();
}

RegistryTree::~RegistryTree() {
    clear();
}

void RegistryTree::clear() const {
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        const std::wstring parent = directoryOf(path_);
        const std::wstring name = path_.substr(parent.size() + 1);
        HKEY key = nullptr;
        if (RegOpenKeyExW(root_, parent.c_str(), 0, KEY_ALL_ACCESS | view, &key) == ERROR_SUCCESS) {
            RegDeleteTreeW(key, name.c_str());
            RegCloseKey(key);
        }
    }
}

std::wstring besideTestExecutable(const std::wstring& name) {
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    return directoryOf(std::wstring(buffer.data(), length)) + L"\\" + name;
}

DWORD runCommand(const std::wstring& commandLine, DWORD timeoutMs, HANDLE token) {
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    // Under load Wine now and then refuses a start with ERROR_INTERNAL_ERROR; a moment later
    // the same start succeeds.
    BOOL started = FALSE;
    for (int attempt = 0; attempt < 5 && !started; ++attempt) {
        Sleep(attempt == 0 ? 0 : 200);
        started = token == nullptr ? CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                                    nullptr, &startup, &process)
                                   : CreateProcessAsUserW(token, nullptr, line.data(), nullptr, nullptr,
                                                          FALSE, 0, nullptr, nullptr, &startup, &process);
        if (!started && GetLastError() != ERROR_INTERNAL_ERROR) {
            break;
        }
    }
    if (!started) {
        return ~0u;
    }
    const kv::UniqueHandle processOwner(process.hProcess);
    const kv::UniqueHandle threadOwner(process.hThread);
    DWORD code = WAIT_TIMEOUT;
    if (WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.hProcess, &code);
    } else {
        TerminateProcess(process.hProcess, WAIT_TIMEOUT);
    }
    return code;
}

Bytes bytesOf(const std::wstring& text) {
    const auto* begin = reinterpret_cast<const std::uint8_t*>(text.data());
    return Bytes(begin, begin + text.size() * sizeof(wchar_t));
}

bool writeValue(HKEY root, const std::wstring& key, const wchar_t* name, DWORD type, const Bytes& data,
                REGSAM view) {
    kv::UniqueHkey handle;
    if (RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, handle.put(),
                        nullptr) != ERROR_SUCCESS) {
        return false;
    }
    return name == nullptr || RegSetValueExW(handle.get(), name, 0, type, data.data(),
                                             static_cast<DWORD>(data.size())) == ERROR_SUCCESS;
}

std::optional<RegValue> readValue(HKEY root, const std::wstring& key, const std::wstring& name, REGSAM view) {
    kv::UniqueHkey handle;
    DWORD type = 0;
    DWORD size = 0;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_QUERY_VALUE | view, handle.put()) != ERROR_SUCCESS ||
        RegQueryValueExW(handle.get(), name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    Bytes data(size);
    if (RegQueryValueExW(handle.get(), name.c_str(), nullptr, &type, data.data(), &size) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    data.resize(size);
    return RegValue{type, data};
}

std::string readFile(const std::wstring& path) {
    std::string content;
    kv::UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    char buffer[8192];
    DWORD got = 0;
    while (file.valid() && ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) {
        content.append(buffer, got);
    }
    return content;
}

kv::UniqueHandle withoutAdministrators(HANDLE token) {
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    kv::UniqueSid administrators;
    kv::UniqueHandle restricted;
    if (AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                 0, administrators.put())) {
        SID_AND_ATTRIBUTES denyOnly = {administrators.get(), 0};
        CreateRestrictedToken(token, 0, 1, &denyOnly, 0, nullptr, 0, nullptr, restricted.put());
    }
    return restricted;
}

std::wstring currentUserSid() {
    kv::UniqueHandle token;
    std::vector<void*> buffer(256);
    DWORD size = 0;
    wchar_t* text = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()) ||
        !GetTokenInformation(token.get(), TokenUser, buffer.data(),
                             static_cast<DWORD>(buffer.size() * sizeof(void*)), &size) ||
        !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
        return L"";
    }
    const kv::UniqueLocal owner(text);
    return text;
}

} // namespace kv::test
