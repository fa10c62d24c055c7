#include <windows.h>
#include <dbghelp.h>
#include <sddl.h>

#include "InstallerTestSupport.h"

#include "kvtl/Str.h"
#include "logging/Log.h"
#include "winenv/ShellFolders.h"

#include <cstring>
#include <cwchar>
#include <sstream>

namespace wpu::test {

namespace {

constexpr wchar_t UnsetMarker[] = L"\x01";

std::wstring textOf(const kv::test::Bytes& data) {
    const std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
    return text.substr(0, text.find(L'\0'));
}

} // namespace

std::vector<std::wstring> readLogLines(const std::wstring& path) {
    std::vector<std::wstring> lines;
    std::istringstream in(kv::test::readFile(path));
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

std::vector<std::wstring> withoutMarkers(const std::vector<std::wstring>& lines) {
    std::vector<std::wstring> messages;
    for (const std::wstring& line : lines) {
        if (!line.empty() && line.find(L": ***  ") == std::wstring::npos) {
            messages.push_back(line);
        }
    }
    return messages;
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

std::wstring machineLogPath(const std::wstring& stem) {
    return getFolderPath(FolderId::CommonAppData) + L"\\Korvane\\Log\\Wisp\\" + stem + L".log";
}

std::wstring userLogPath(const std::wstring& stem) {
    return getFolderPath(FolderId::LocalAppData) + L"\\Korvane\\Log\\Wisp\\" + stem + L".log";
}

std::wstring crashDumpFolder() {
    return getFolderPath(FolderId::CommonAppData) + L"\\Korvane\\CrashDumps";
}

std::wstring buildDirectory() {
    return getModuleDirectory();
}

DWORD runProgram(const std::wstring& program, const std::wstring& arguments, const std::wstring& log,
                 DWORD timeoutMs) {
    DeleteFileW(log.c_str());
    return kv::test::runCommand(L"\"" + buildDirectory() + L"\\" + program + L"\" " + arguments, timeoutMs);
}

ScopedEnvironment::~ScopedEnvironment() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
        SetEnvironmentVariableW(it->first.c_str(), it->second == UnsetMarker ? nullptr : it->second.c_str());
    }
}

void ScopedEnvironment::set(const std::wstring& name, const std::wstring& value) {
    std::vector<wchar_t> old(32768);
    const DWORD length = GetEnvironmentVariableW(name.c_str(), old.data(), 32768);
    saved_.emplace_back(name, length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND
                                  ? std::wstring(UnsetMarker)
                                  : std::wstring(old.data(), length));
    SetEnvironmentVariableW(name.c_str(), value.c_str());
}

DWORD runWithoutAdministrators(const std::wstring& commandLine, DWORD timeoutMs) {
    kv::UniqueHandle token;
    OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY | TOKEN_QUERY, token.put());
    const kv::UniqueHandle restricted =
        token ? kv::test::withoutAdministrators(token.get()) : kv::UniqueHandle();
    return restricted ? kv::test::runCommand(commandLine, timeoutMs, restricted.get()) : ~0u;
}

std::wstring registryString(const std::wstring& keyPath, const std::wstring& valueName) {
    const auto value = kv::test::readValue(HKEY_LOCAL_MACHINE, keyPath, valueName);
    return value && value->first == REG_SZ ? textOf(value->second) : L"<missing>";
}

bool registryKeyExists(const std::wstring& keyPath) {
    kv::UniqueHkey key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, key.put()) ==
           ERROR_SUCCESS;
}

void createVersionKey(const std::wstring& keyPath, const std::wstring& status) {
    kv::test::writeValue(HKEY_LOCAL_MACHINE, keyPath, status.empty() ? nullptr : L"status", REG_SZ,
                         kv::test::bytesOf(status + L'\0'));
}

void denyOnKey(const std::wstring& keyPath, DWORD denied) {
    kv::UniqueHkey key;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, WRITE_DAC | KEY_WOW64_64KEY, key.put());
    wchar_t sddl[64] = L"D:(A;;KA;;;WD)"; // nothing denied: everything allowed again
    if (denied != 0) {
        std::swprintf(sddl, 64, L"D:(D;;0x%lX;;;WD)(A;;KA;;;WD)", static_cast<unsigned long>(denied));
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (key &&
        ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, nullptr)) {
        RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, descriptor);
        LocalFree(descriptor);
    }
}

MinidumpInfo readMinidump(const std::wstring& path) {
    MinidumpInfo info;
    std::string bytes = kv::test::readFile(path);
    void* stream = nullptr;
    ULONG size = 0;
    const auto read = [&](ULONG kind) {
        return MiniDumpReadDumpStream(bytes.data(), kind, nullptr, &stream, &size) && stream != nullptr;
    };
    if (bytes.size() < 32 || std::memcmp(bytes.data(), "MDMP", 4) != 0 || !read(ThreadListStream)) {
        return info;
    }
    info.readable = true;
    const auto* threads = static_cast<const MINIDUMP_THREAD_LIST*>(stream);
    for (ULONG i = 0; i < threads->NumberOfThreads; ++i) {
        info.threadIds.push_back(threads->Threads[i].ThreadId);
    }
    if (read(ExceptionStream)) {
        const auto* exception = static_cast<const MINIDUMP_EXCEPTION_STREAM*>(stream);
        info.hasException = true;
        info.exceptionCode = exception->ExceptionRecord.ExceptionCode;
        info.exceptionThreadId = exception->ThreadId;
    }
    info.hasFullMemory = read(Memory64ListStream) &&
                         static_cast<const MINIDUMP_MEMORY64_LIST*>(stream)->NumberOfMemoryRanges > 0;
    return info;
}

} // namespace wpu::test
