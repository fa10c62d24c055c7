#include <windows.h>

#include "winenv/NamespaceResolver.h"

#include "kvtl/Handle.h"
#include "winenv/Registry.h"

#include <algorithm>
#include <cwchar>
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

// A refused name as a log line can hold it: control characters as \xNN.
std::wstring printable(const std::wstring& name) {
    std::wstring text;
    for (const wchar_t c : name) {
        if (c < 0x20 || c == 0x7F) {
            wchar_t escaped[8];
            (void)swprintf(escaped, 8, L"\\x%02X", static_cast<unsigned>(c));
            text += escaped;
        } else {
            text += c;
        }
    }
    return text;
}

} // namespace

NamespaceResolver::~NamespaceResolver() = default;

std::map<std::wstring, std::wstring> NamespaceResolver::getInstallPaths() {
    std::map<std::wstring, std::wstring> paths;
    Win32Registry registry;
    registry.setRoot(HKEY_LOCAL_MACHINE);
    registry.setSamFlags(KEY_WOW64_32KEY);
    std::vector<std::wstring> names;
    RegistryStatus status = RegistryStatus::Ok;
    registry.enumSubKeys(NamespacesKey, names, &status);
    if (status != RegistryStatus::Ok && status != RegistryStatus::NotFound) {
        noteProblem(L"cannot list the keys of HKLM\\" + std::wstring(NamespacesKey) +
                    L" (32-bit view), error = " + std::to_wstring(registry.lastError()));
    }
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
        if (!name.empty()) {
            nameSource_ = current + L"\\" + NamespaceFileName;
        }
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
        // Most directories of the search have no namespace file: only other errors count.
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
            noteProblem(L"cannot open " + path + L", error = " + std::to_wstring(error));
        }
        return std::wstring();
    }
    unsigned char buffer[NamespaceFileReadLimit];
    DWORD read = 0;
    if (!ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr)) {
        noteProblem(L"cannot read " + path + L", error = " + std::to_wstring(GetLastError()));
        return std::wstring();
    }
    std::wstring name;
    if (read >= 3 && buffer[0] == 0xFF && buffer[1] == 0xFE) {
        name.resize((read - 2) / 2);
        std::copy(buffer + 2, buffer + 2 + name.size() * sizeof(wchar_t),
                  reinterpret_cast<unsigned char*>(name.data()));
    }
    if (name.empty()) {
        noteProblem(path + L" holds no UTF-16LE name after an FF FE mark");
    }
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
    problem_.clear();
    nameSource_.clear();
    std::wstring name = namespaceFromInstallPaths(path);
    if (name.empty()) {
        name = namespaceFromProgramFiles(path);
    }
    if (name.empty()) {
        return name;
    }
    if (!isUsableNamespace(name)) {
        noteProblem(L"the name \"" + printable(name) + L"\"" +
                    (nameSource_.empty() ? std::wstring() : L" of " + nameSource_) + L" is refused");
        return std::wstring();
    }
    // What stood in the way of other sources does not matter once a namespace is found.
    problem_.clear();
    return name;
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
    if (!bestName.empty()) {
        nameSource_ = L"HKLM\\" + std::wstring(NamespacesKey);
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

void NamespaceResolver::noteProblem(const std::wstring& text) {
    if (problem_.empty()) {
        problem_ = text;
    }
}

namespace {

struct NamespaceCache {
    std::mutex mutex;
    std::wstring name;
    std::wstring problem; // why the last resolution found none
};

NamespaceCache& namespaceCache() {
    static NamespaceCache cache;
    return cache;
}

} // namespace

std::wstring getCurrentNamespace(HMODULE module) {
    NamespaceCache& cache = namespaceCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    if (cache.name.empty()) {
        NamespaceResolver resolver;
        cache.name = resolver.resolveNamespace(module);
        cache.problem = resolver.problem();
    }
    return cache.name;
}

std::wstring getCurrentNamespaceProblem() {
    NamespaceCache& cache = namespaceCache();
    std::lock_guard<std::mutex> lock(cache.mutex);
    return cache.problem;
}
