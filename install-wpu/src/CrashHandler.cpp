#include <windows.h>

#include "install-wpu/CrashHandler.h"

#include "install-wpu/CrashHooks.h"
#include "logging/Log.h"
#include "winenv/ShellFolders.h"

CrashHandler& CrashHandler::instance() {
    // Never destroyed: a crash during static destruction still finds it.
    static CrashHandler* const handler = new CrashHandler();
    return *handler;
}

void CrashHandler::RegisterCrashHooks(const std::wstring& folder, const std::wstring& fileName,
                                      unsigned int dumpKind) {
    const char* const function = "CrashHandler::RegisterCrashHooks";
    KvZarnLogging::log(KvZarnLogging::Info, function, L"Hooking crash");
    std::wstring dumpFilePath;
    if (!folder.empty() && !fileName.empty()) {
        dumpFilePath = joinPath(folder, fileName);
        dumpFolder_ = folder;
    }
    KvZarnLogging::log(KvZarnLogging::Info, function, L"Dump path: '%ls'", dumpFilePath.c_str());
    if (!kv::crash::installCrashHooks(kv::crash::AllHooks, dumpKind & 0xFFu, dumpFilePath,
                                      HandleCrashCallback, this)) {
        KvZarnLogging::log(KvZarnLogging::Error, function, L"Failed to enable crash dumping");
    }
}

bool CrashHandler::HandleCrashCallback(void* context, DWORD crashingThreadId) noexcept {
    KvZarnLogging::log(KvZarnLogging::Fatal, "CrashHandler::HandleCrashCallback",
                       L"Crash intercepted in thread 0x%04x", static_cast<unsigned>(crashingThreadId));
    bool created = false;
    DWORD error = ERROR_SUCCESS;
    std::wstring folder;
    try {
        folder = static_cast<const CrashHandler*>(context)->dumpFolder_;
        created = createDirectoryRecursive(folder, nullptr);
        error = GetLastError();
    } catch (...) {
        error = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (!created) {
        KvZarnLogging::log(KvZarnLogging::Fatal, "CrashHandler::MakeDumpPath",
                           L"Failed to create dump path: '%ls' : %lu", folder.c_str(),
                           static_cast<unsigned long>(error));
    }
    KvZarnLogging::flushLog();
    return created;
}

bool createDirectoryRecursive(const std::wstring& path, SECURITY_ATTRIBUTES* attributes) {
    if (path.empty()) {
        return true;
    }
    const DWORD attributesOfPath = GetFileAttributesW(path.c_str());
    if (attributesOfPath != INVALID_FILE_ATTRIBUTES && (attributesOfPath & FILE_ATTRIBUTE_DIRECTORY)) {
        return true;
    }
    std::wstring parent;
    std::wstring name;
    if (!splitPath(path, parent, name)) {
        SetLastError(ERROR_BAD_PATHNAME);
        return false;
    }
    if (!createDirectoryRecursive(parent, attributes)) {
        return false;
    }
    return CreateDirectoryW(path.c_str(), attributes) != FALSE;
}
