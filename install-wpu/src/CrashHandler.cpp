#include <windows.h>

#include "install-wpu/CrashHandler.h"

#include "install-wpu/CrashHooks.h"
#include "logging/Log.h"
#include "winenv/ShellFolders.h"

#include <vector>

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
        // The crash callback creates the folder in this buffer: it allocates nothing.
        folderBuffer_.assign(folder.c_str(), folder.c_str() + folder.size() + 1);
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
    std::vector<wchar_t>& folder = static_cast<CrashHandler*>(context)->folderBuffer_;
    const bool created = folder.empty() || createDirectoryInPlace(folder.data(), folder.size() - 1, nullptr);
    if (!created) {
        const DWORD error = GetLastError();
        KvZarnLogging::log(KvZarnLogging::Fatal, "CrashHandler::MakeDumpPath",
                           L"Failed to create dump path: '%ls' : %lu", folder.data(),
                           static_cast<unsigned long>(error));
    }
    KvZarnLogging::flushLog();
    return created;
}

bool createDirectoryRecursive(const std::wstring& path, SECURITY_ATTRIBUTES* attributes) {
    std::vector<wchar_t> buffer(path.c_str(), path.c_str() + path.size() + 1);
    return createDirectoryInPlace(buffer.data(), path.size(), attributes);
}

bool createDirectoryInPlace(wchar_t* path, size_t length, SECURITY_ATTRIBUTES* attributes) {
    if (length == 0) {
        return true;
    }
    // Each level is the text up to one of its backslashes, cut there while it is made.
    const wchar_t cut = path[length];
    path[length] = L'\0';
    const DWORD attributesOfPath = GetFileAttributesW(path);
    bool created =
        attributesOfPath != INVALID_FILE_ATTRIBUTES && (attributesOfPath & FILE_ATTRIBUTE_DIRECTORY);
    if (!created) {
        // The parent ends at the last backslash before one trailing backslash.
        size_t end = path[length - 1] == L'\\' ? length - 1 : length;
        while (end > 0 && path[end - 1] != L'\\') {
            --end;
        }
        if (end == 1 || (end == 0 && path[0] == L'\\')) {
            SetLastError(ERROR_BAD_PATHNAME);
        } else {
            created = createDirectoryInPlace(path, end == 0 ? 0 : end - 1, attributes) &&
                      CreateDirectoryW(path, attributes) != FALSE;
        }
    }
    path[length] = cut;
    return created;
}
