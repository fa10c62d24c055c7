#include <windows.h>
#include <dbghelp.h>
#include <sddl.h>

#include "InstallerTestSupport.h"

#include "kvtl/Handle.h"
#include "kvtl/Str.h"
#include "logging/Log.h"
#include "winenv/ShellFolders.h"

#include <cstring>
#include <cwchar>
#include <sstream>

namespace wpu::test {

namespace {

constexpr wchar_t UnsetMarker[] = L"\x01";

std::wstring typedText(DWORD type, const std::vector<BYTE>& data) {
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
        if (!text.empty() && text.back() == L'\0') {
            text.pop_back();
        }
        return L"sz:" + text;
    }
    if (type == REG_DWORD && data.size() == 4) {
        return L"dword:" + std::to_wstring(*reinterpret_cast<const DWORD*>(data.data()));
    }
    return L"type" + std::to_wstring(type) + L":" + std::to_wstring(data.size()) + L" bytes";
}

void snapshotKey(HKEY key, const std::wstring& relative, std::map<std::wstring, std::wstring>& out) {
    out[relative + L"|"] = L"key";
    for (DWORD index = 0;; ++index) {
        wchar_t name[16384];
        DWORD nameLength = 16384;
        DWORD type = 0;
        DWORD size = 0;
        if (RegEnumValueW(key, index, name, &nameLength, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
            break;
        }
        std::vector<BYTE> data(size);
        DWORD read = size;
        nameLength = 16384;
        RegEnumValueW(key, index, name, &nameLength, nullptr, &type, data.data(), &read);
        data.resize(read);
        out[relative + L"|" + name] = typedText(type, data);
    }
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD nameLength = 256;
        if (RegEnumKeyExW(key, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        kv::UniqueHkey sub;
        if (RegOpenKeyExW(key, name, 0, KEY_READ | KEY_WOW64_64KEY, sub.put()) == ERROR_SUCCESS) {
            snapshotKey(sub.get(), relative.empty() ? name : relative + L"\\" + name, out);
        }
    }
}

} // namespace

std::vector<std::wstring> readLogLines(const std::wstring& path) {
    std::vector<std::wstring> lines;
    std::istringstream in(readFile(path));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const size_t ids = line.find("] ");
        std::wstring text = kv::str::utf8ToWide(ids == std::string::npos ? line : line.substr(ids + 2));
        const size_t marker = text.find(L"***  LOGGING STARTED  ***");
        if (marker != std::wstring::npos) {
            text.resize(marker + 25);
        }
        lines.push_back(text);
    }
    return lines;
}

CapturedLog::CapturedLog(const std::wstring& stem) : path_(machineLogPath(stem)) {
    DeleteFileW(path_.c_str());
    KvZarnLogging::openLog(std::wstring(L"wp_default"), L"Wisp", stem, KvZarnLogging::Info, 0);
}

CapturedLog::~CapturedLog() {
    if (open_) {
        KvZarnLogging::closeLog();
    }
}

std::vector<std::wstring> CapturedLog::messages() {
    if (open_) {
        KvZarnLogging::closeLog();
        open_ = false;
    }
    return withoutMarkers(readLogLines(path_));
}

std::vector<std::wstring> withoutMarkers(const std::vector<std::wstring>& lines) {
    std::vector<std::wstring> messages;
    for (const std::wstring& line : lines) {
        if (!line.empty() && line.find(L": ***  ") == std::wstring::npos) {
            messages.push_back(line);
        }
    }
    return messages;
}

std::wstring machineLogPath(const std::wstring& stem, const std::wstring& productNamespace) {
    const std::wstring tree = productNamespace == L"wp_default"
                                  ? L"\\Korvane\\Log\\Wisp\\"
                                  : L"\\Korvane\\NS\\" + productNamespace + L"\\Log\\Wisp\\";
    return getFolderPath(FolderId::CommonAppData) + tree + stem + L".log";
}

std::wstring userLogPath(const std::wstring& stem) {
    return getFolderPath(FolderId::LocalAppData) + L"\\Korvane\\Log\\Wisp\\" + stem + L".log";
}

std::wstring crashDumpFolder() {
    return getFolderPath(FolderId::CommonAppData) + L"\\Korvane\\CrashDumps";
}

bool fileExists(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string readFile(const std::wstring& path) {
    std::string bytes;
    kv::UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return bytes;
    }
    char chunk[65536];
    DWORD read = 0;
    while (ReadFile(file.get(), chunk, sizeof(chunk), &read, nullptr) && read > 0) {
        bytes.append(chunk, read);
    }
    return bytes;
}

ScopedEnvironment::~ScopedEnvironment() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
        SetEnvironmentVariableW(it->first.c_str(), it->second == UnsetMarker ? nullptr : it->second.c_str());
    }
}

void ScopedEnvironment::remember(const std::wstring& name) {
    std::vector<wchar_t> value(32768);
    const DWORD length = GetEnvironmentVariableW(name.c_str(), value.data(), 32768);
    saved_.emplace_back(name, length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND
                                  ? std::wstring(UnsetMarker)
                                  : std::wstring(value.data(), length));
}

void ScopedEnvironment::set(const std::wstring& name, const std::wstring& value) {
    remember(name);
    SetEnvironmentVariableW(name.c_str(), value.c_str());
}

void ScopedEnvironment::unset(const std::wstring& name) {
    remember(name);
    SetEnvironmentVariableW(name.c_str(), nullptr);
}

namespace {

// A primary token like this process's, with the Administrators group deny-only.
kv::UniqueHandle restrictedToken() {
    kv::UniqueHandle token;
    kv::UniqueHandle restricted;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY | TOKEN_QUERY,
                          token.put())) {
        return restricted;
    }
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    kv::UniqueSid administrators;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                  0, administrators.put())) {
        return restricted;
    }
    SID_AND_ATTRIBUTES denyOnly = {administrators.get(), 0};
    CreateRestrictedToken(token.get(), 0, 1, &denyOnly, 0, nullptr, 0, nullptr, restricted.put());
    return restricted;
}

} // namespace

ScopedNonAdministrator::ScopedNonAdministrator() {
    const kv::UniqueHandle primary = restrictedToken();
    kv::UniqueHandle impersonation;
    active_ = primary && DuplicateToken(primary.get(), SecurityImpersonation, impersonation.put()) &&
              SetThreadToken(nullptr, impersonation.get());
}

ScopedNonAdministrator::~ScopedNonAdministrator() {
    if (active_) {
        RevertToSelf();
    }
}

DWORD runWithoutAdministrators(const std::wstring& commandLine, DWORD timeoutMs) {
    const kv::UniqueHandle restricted = restrictedToken();
    if (!restricted) {
        return ~0u;
    }
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessAsUserW(restricted.get(), nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                              nullptr, &startup, &process)) {
        return ~0u;
    }
    kv::UniqueHandle processHandle(process.hProcess);
    kv::UniqueHandle threadHandle(process.hThread);
    DWORD code = WAIT_TIMEOUT;
    if (WaitForSingleObject(processHandle.get(), timeoutMs) == WAIT_OBJECT_0) {
        GetExitCodeProcess(processHandle.get(), &code);
    } else {
        TerminateProcess(processHandle.get(), WAIT_TIMEOUT);
    }
    return code;
}

std::map<std::wstring, std::wstring> snapshotRegistry(const std::wstring& path) {
    std::map<std::wstring, std::wstring> values;
    kv::UniqueHkey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, key.put()) ==
        ERROR_SUCCESS) {
        snapshotKey(key.get(), L"", values);
    }
    return values;
}

std::wstring registryString(const std::wstring& keyPath, const std::wstring& valueName) {
    kv::UniqueHkey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, key.put()) !=
        ERROR_SUCCESS) {
        return L"<missing>";
    }
    std::vector<wchar_t> buffer(32769, L'\0');
    DWORD type = 0;
    DWORD size = static_cast<DWORD>((buffer.size() - 1) * sizeof(wchar_t));
    if (RegQueryValueExW(key.get(), valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                         &size) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return L"<missing>";
    }
    return std::wstring(buffer.data());
}

bool registryKeyExists(const std::wstring& keyPath) {
    kv::UniqueHkey key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, key.put()) ==
           ERROR_SUCCESS;
}

void createVersionKey(const std::wstring& keyPath, const std::wstring& status) {
    kv::UniqueHkey key;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                    nullptr, key.put(), nullptr);
    if (!status.empty()) {
        RegSetValueExW(key.get(), L"status", 0, REG_SZ, reinterpret_cast<const BYTE*>(status.c_str()),
                       static_cast<DWORD>((status.size() + 1) * sizeof(wchar_t)));
    }
}

void denyOnKey(const std::wstring& keyPath, DWORD denied) {
    kv::UniqueHkey key;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, WRITE_DAC | KEY_WOW64_64KEY, key.put());
    wchar_t sddl[64];
    std::swprintf(sddl, 64, L"D:(D;;0x%lX;;;WD)(A;;KA;;;WD)", static_cast<unsigned long>(denied));
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (key &&
        ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr)) {
        RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, descriptor);
        LocalFree(descriptor);
    }
}

MinidumpInfo readMinidump(const std::wstring& path) {
    MinidumpInfo info;
    kv::UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return info;
    }
    kv::UniqueHandle mapping(CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping) {
        return info;
    }
    void* base = MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0);
    if (base == nullptr) {
        return info;
    }
    PMINIDUMP_DIRECTORY directory = nullptr;
    void* stream = nullptr;
    ULONG size = 0;
    if (std::memcmp(base, "MDMP", 4) == 0 &&
        MiniDumpReadDumpStream(base, ThreadListStream, &directory, &stream, &size) && stream != nullptr) {
        info.readable = true;
        const auto* threads = static_cast<const MINIDUMP_THREAD_LIST*>(stream);
        for (ULONG i = 0; i < threads->NumberOfThreads; ++i) {
            info.threadIds.push_back(threads->Threads[i].ThreadId);
        }
    }
    if (info.readable && MiniDumpReadDumpStream(base, ExceptionStream, &directory, &stream, &size) &&
        stream != nullptr) {
        const auto* exception = static_cast<const MINIDUMP_EXCEPTION_STREAM*>(stream);
        info.hasException = true;
        info.exceptionCode = exception->ExceptionRecord.ExceptionCode;
        info.exceptionThreadId = exception->ThreadId;
    }
    if (info.readable && MiniDumpReadDumpStream(base, Memory64ListStream, &directory, &stream, &size) &&
        stream != nullptr) {
        info.hasFullMemory = static_cast<const MINIDUMP_MEMORY64_LIST*>(stream)->NumberOfMemoryRanges > 0;
    }
    UnmapViewOfFile(base);
    return info;
}

std::wstring buildDirectory() {
    return getModuleDirectory();
}

} // namespace wpu::test
