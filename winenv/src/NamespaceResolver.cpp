#include <windows.h>

#include "winenv/NamespaceResolver.h"

#include "kvtl/Handle.h"
#include "winenv/Registry.h"

#include <algorithm>
#include <mutex>

namespace {

constexpr wchar_t NamespacesKey[] = L"SOFTWARE\\Korvane\\NS";
constexpr wchar_t InstallPathSubKey[] = L"\\Corelane";
constexpr wchar_t InstallPathValue[] = L"InstallPath";
constexpr wchar_t NamespaceFileName[] = L"namespace.txt";
constexpr DWORD NamespaceFileReadLimit = 512;

bool startsWithNoCase(const std::wstring& text, const std::wstring& prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    const int length = static_cast<int>(prefix.size());
    return CompareStringOrdinal(text.data(), length, prefix.data(), length, TRUE) == CSTR_EQUAL;
}

void addTrailingBackslash(std::wstring& path) {
    if (!path.empty() && path.back() != L'\\') {
        path += L'\\';
    }
}

// A namespace becomes a registry key name and a directory name: path separators,
// periods and control characters (a NUL or line break from the file) cannot be part of it.
bool isUsableNamespace(const std::wstring& name) {
    return std::none_of(name.begin(), name.end(),
                        [](wchar_t c) { return c == L'\\' || c == L'/' || c == L'.' || c < 0x20; });
}

} // namespace

NamespaceResolver::~NamespaceResolver() = default;

std::map<std::wstring, std::wstring> NamespaceResolver::getInstallPaths() {
    std::map<std::wstring, std::wstring> paths;
    Win32Registry registry;
    registry.setRoot(HKEY_LOCAL_MACHINE);
    registry.setSamFlags(KEY_WOW64_32KEY);
    std::vector<std::wstring> names;
    registry.enumSubKeys(NamespacesKey, names);
    for (const std::wstring& name : names) {
        std::wstring installPath;
        registry.getString(std::wstring(NamespacesKey) + L"\\" + name + InstallPathSubKey, InstallPathValue,
                           installPath);
        if (installPath.empty()) {
            continue;
        }
        addTrailingBackslash(installPath);
        paths.emplace(name, installPath);
    }
    return paths;
}

std::wstring NamespaceResolver::findNamespace(const std::wstring& startPath,
                                              const std::wstring& stopDirectory) {
    std::wstring current = startPath;
    for (;;) {
        const size_t backslash = current.find_last_of(L'\\');
        if (backslash == std::wstring::npos) {
            return std::wstring();
        }
        current.resize(backslash);
        std::wstring name = readNamespaceFile(current);
        if (!name.empty() || current == stopDirectory) {
            return name;
        }
    }
}

std::wstring NamespaceResolver::readNamespaceFile(const std::wstring& directory) {
    const std::wstring path = directory + L"\\" + NamespaceFileName;
    kv::UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return std::wstring();
    }
    unsigned char buffer[NamespaceFileReadLimit];
    DWORD read = 0;
    if (!ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) || read < 3 || buffer[0] != 0xFF ||
        buffer[1] != 0xFE) {
        return std::wstring();
    }
    std::wstring name((read - 2) / 2, L'\0');
    std::copy(buffer + 2, buffer + 2 + name.size() * sizeof(wchar_t),
              reinterpret_cast<unsigned char*>(&name[0]));
    return name;
}

std::wstring NamespaceResolver::getProgramFilesDir() {
    LightWin32Registry registry;
    registry.setSamFlags(KEY_WOW64_64KEY);
    std::wstring directory;
    registry.getString(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", L"ProgramFilesDir", directory);
    return directory;
}

std::wstring NamespaceResolver::getProgramFilesX86Dir() {
    return getFolderPath(FolderId::ProgramFilesX86);
}

bool NamespaceResolver::isUnderProgramFiles(const std::wstring& path, FolderId kind,
                                            std::wstring& baseDirectory) {
    std::wstring base = kind == FolderId::ProgramFiles ? getProgramFilesDir() : getProgramFilesX86Dir();
    if (base.empty()) {
        return false;
    }
    addTrailingBackslash(base);
    if (!startsWithNoCase(path, base)) {
        return false;
    }
    baseDirectory = base;
    return true;
}

std::wstring NamespaceResolver::resolveNamespace(HMODULE module) {
    const std::wstring path = getModuleFileName(module);
    if (path.empty()) {
        return std::wstring();
    }
    return namespaceForPath(path);
}

std::wstring NamespaceResolver::namespaceForPath(const std::wstring& path) {
    std::wstring name = namespaceFromInstallPaths(path);
    if (name.empty()) {
        name = namespaceFromProgramFiles(path);
    }
    return isUsableNamespace(name) ? name : std::wstring();
}

std::wstring NamespaceResolver::namespaceFromInstallPaths(const std::wstring& path) {
    std::wstring bestName;
    size_t bestLength = 0;
    for (const auto& [name, installPath] : getInstallPaths()) {
        // Strictly longer only: of equally long directories the first name in order wins.
        if (installPath.size() > bestLength && startsWithNoCase(path, installPath)) {
            bestName = name;
            bestLength = installPath.size();
        }
    }
    return bestName;
}

std::wstring NamespaceResolver::namespaceFromProgramFiles(const std::wstring& path) {
    std::wstring base;
    if (!isUnderProgramFiles(path, FolderId::ProgramFiles, base) &&
        !isUnderProgramFiles(path, FolderId::ProgramFilesX86, base)) {
        return std::wstring();
    }
    // The search stops at the first directory below the program files folder, so
    // the program files folder itself is never searched.
    const size_t backslash = path.find(L'\\', base.size());
    if (backslash == std::wstring::npos) {
        return std::wstring();
    }
    return findNamespace(path, path.substr(0, backslash));
}

std::wstring getCurrentNamespace(HMODULE module) {
    static std::mutex mutex;
    static std::wstring cached;
    std::lock_guard<std::mutex> lock(mutex);
    if (cached.empty()) {
        NamespaceResolver resolver;
        cached = resolver.resolveNamespace(module);
    }
    return cached;
}
