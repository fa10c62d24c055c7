#include <windows.h>

#include "hoster-api/DelayLoad.h"

#include "kvtl/Handle.h"

#include <cstring>
#include <new>
#include <mutex>
#include <vector>

namespace {

// LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32: a library's own
// dependencies come from its directory and the system directory (newer than the headers'
// target version, hence the number).
constexpr DWORD kLoadFlags = 0x900;

constexpr wchar_t kNamespaceBranch[] = L"SOFTWARE\\Korvane\\NS\\";
constexpr wchar_t kIdentifierBranch[] = L"SOFTWARE\\Korvane\\Zarn\\Delay loading\\";
constexpr char kDependencyHook[] = "ZarnDelayLoadDependencies";

struct NamespaceIdentifier {
    const wchar_t* name;
    unsigned int identifier;
};
constexpr NamespaceIdentifier kNamespaceIdentifiers[] = {
    {L"default", 100},
    {L"wp_default", 1400},
    {L"mvx_default", 1500},
};

// Process-wide, created on first use and deliberately never destroyed, so that a library
// bound by an exit-time handler still finds it.
struct ResolverState {
    std::mutex lock; // serialises try-loads
    // The namespace is also read by binds outside a try-load, which must not take `lock`.
    std::mutex nameLock;
    std::wstring namespaceName;

    void setNamespace(const wchar_t* name) {
        std::lock_guard<std::mutex> guard(nameLock);
        namespaceName = name == nullptr ? L"" : name;
    }
    std::wstring currentNamespace() {
        std::lock_guard<std::mutex> guard(nameLock);
        return namespaceName;
    }
};

ResolverState& resolverState() {
    static ResolverState* const state = new ResolverState();
    return *state;
}

std::wstring ansiToWide(const char* text) {
    const int size = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (size <= 1) {
        return {};
    }
    std::wstring result(static_cast<size_t>(size), L'\0');
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, result.data(), size) == 0) {
        return {};
    }
    result.resize(static_cast<size_t>(size - 1));
    return result;
}

std::wstring systemDirectory() {
    std::vector<wchar_t> buffer(MAX_PATH);
    UINT length = GetSystemDirectoryW(buffer.data(), static_cast<UINT>(buffer.size()));
    if (length >= buffer.size()) {
        buffer.resize(length);
        length = GetSystemDirectoryW(buffer.data(), static_cast<UINT>(buffer.size()));
        if (length >= buffer.size()) {
            return {};
        }
    }
    return std::wstring(buffer.data(), length);
}

// Only a local absolute path, "C:\...". Refused: UNC ("\\server\share\..."), the device
// forms ("\\?\...", "\\.\..."), which skip the checks of ordinary paths, and every
// path resolved against the current drive or directory ("C:dir\...", "\dir\...", "dir\...").
bool isLocalAbsolutePath(const std::wstring& path) {
    return path.size() > 3 &&
           ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
           path[1] == L':' && path[2] == L'\\';
}

HMODULE loadFromRegistry(const std::wstring& subkey, const std::wstring& valueName, REGSAM view) {
    const std::wstring path = readRegistryPath(HKEY_LOCAL_MACHINE, subkey, valueName, view);
    if (path.empty()) {
        return nullptr;
    }
    // A multi-string value loads its first string: the path ends at the first NUL.
    const std::wstring first(path.c_str());
    if (!isLocalAbsolutePath(first)) {
        SetLastError(ERROR_BAD_PATHNAME);
        return nullptr;
    }
    return LoadLibraryExW(first.c_str(), nullptr, kLoadFlags);
}

const unsigned int* identifierOf(const std::wstring& namespaceName) {
    for (const NamespaceIdentifier& row : kNamespaceIdentifiers) {
        if (namespaceName == row.name) {
            return &row.identifier;
        }
    }
    return nullptr;
}

HMODULE searchCandidates(const std::wstring& name, const std::wstring& namespaceName) {
    if (!namespaceName.empty()) {
        const std::wstring zarn = kNamespaceBranch + namespaceName + L"\\Zarn";
        const struct {
            const wchar_t* key;
            REGSAM view;
        } namespaced[] = {
            {L"\\DelayLoad", 0},
            {L"\\DelayLoadArm64", KEY_WOW64_32KEY},
            {L"\\DelayLoad", KEY_WOW64_32KEY},
        };
        for (const auto& candidate : namespaced) {
            if (HMODULE module = loadFromRegistry(zarn + candidate.key, name, candidate.view)) {
                return module;
            }
        }
    }
    if (const unsigned int* identifier = identifierOf(namespaceName)) {
        const std::wstring key = kIdentifierBranch + std::to_wstring(*identifier);
        for (REGSAM view : {REGSAM{0}, REGSAM{KEY_WOW64_32KEY}}) {
            if (HMODULE module = loadFromRegistry(key, name, view)) {
                return module;
            }
        }
    }
    // A library missing from the system directory must not hide why the registry
    // candidates failed: that error is the one worth reporting.
    const DWORD registryError = GetLastError();
    std::wstring directory = systemDirectory();
    if (directory.empty()) {
        return nullptr;
    }
    if (directory.back() != L'\\') {
        directory += L'\\';
    }
    HMODULE module = LoadLibraryExW((directory + name).c_str(), nullptr, kLoadFlags);
    if (module == nullptr && GetLastError() == ERROR_MOD_NOT_FOUND && registryError != 0) {
        SetLastError(registryError);
    }
    return module;
}

void callDependencyHook(HMODULE module, const std::wstring& namespaceName) {
    using Hook = DWORD (*)(const DelayLoadDependencies*);
    const auto hook =
        reinterpret_cast<Hook>(reinterpret_cast<void*>(GetProcAddress(module, kDependencyHook)));
    if (hook == nullptr) {
        return;
    }
    DelayLoadDependencies descriptor = {};
    descriptor.size = sizeof(DelayLoadDependencies);
    descriptor.flags = 0;
    descriptor.namespaceName = namespaceName.empty() ? nullptr : namespaceName.c_str();
    descriptor.directory = nullptr;
    hook(&descriptor);
}

void copyName(char (&target)[260], const char* name) {
    size_t length = 0;
    if (name != nullptr) {
        while (length < sizeof(target) - 1 && name[length] != '\0') {
            ++length;
        }
        std::memcpy(target, name, length);
    }
    target[length] = '\0';
}

std::uint32_t resultCodeOf(DWORD fault) {
    switch (fault) {
        case DelayLoadModuleNotFound:
            return 1;
        case DelayLoadProcNotFound:
            return 2;
        default:
            return 3;
    }
}

} // namespace

HMODULE DelayImportModule::load(DelayLoadFault& fault) noexcept {
    if (HMODULE module = module_.load(std::memory_order_acquire)) {
        return module;
    }
    fault.dllName = dllName_;
    if (dllName_ == nullptr || *dllName_ == '\0') {
        fault.code = DelayLoadInvalidParameter;
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HMODULE loaded = nullptr;
    try {
        loaded = loadDelayLoadedModule(dllName_);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    } catch (...) {
        // Only a failing lock can get here; the bind reports "not found" rather than end the process.
        SetLastError(ERROR_INVALID_FUNCTION);
    }
    if (loaded == nullptr) {
        fault.code = DelayLoadModuleNotFound;
        return nullptr;
    }
    HMODULE published = nullptr;
    if (!module_.compare_exchange_strong(published, loaded, std::memory_order_acq_rel)) {
        // Another thread published first: keep its handle and drop our extra reference.
        kv::UniqueModule extra(loaded);
        return published;
    }
    return loaded;
}

FARPROC DelayImportProc::bind(DelayLoadFault& fault) noexcept {
    if (FARPROC address = address_.load(std::memory_order_acquire)) {
        return address;
    }
    fault.dllName = module_->dllName();
    fault.procName = name_;
    if (name_ == nullptr || *name_ == '\0') {
        fault.code = DelayLoadInvalidParameter;
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HMODULE module = module_->load(fault);
    if (module == nullptr) {
        return nullptr;
    }
    FARPROC address = GetProcAddress(module, name_);
    if (address == nullptr) {
        fault.code = DelayLoadProcNotFound;
        return nullptr;
    }
    address_.store(address, std::memory_order_release);
    fault = DelayLoadFault{};
    return address;
}

std::uint32_t tryLoad(const wchar_t* namespaceName, DelayImportProc* probe, TryLoadResult& result) {
    if (probe == nullptr) {
        result.code = 3;
        result.dllName[0] = '\0';
        return result.code;
    }
    ResolverState& state = resolverState();
    DWORD error = 0;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        state.setNamespace(namespaceName);
        DelayLoadFault fault;
        if (FARPROC address = probe->bind(fault)) {
            // The library's initialisation entry takes no arguments; its result is ignored.
            reinterpret_cast<int (*)()>(reinterpret_cast<void*>(address))();
            result.code = 0;
            result.dllName[0] = '\0';
        } else {
            result.code = resultCodeOf(fault.code);
            copyName(result.dllName, fault.dllName);
        }
        error = GetLastError();
    }
    // The caller reports the failure with the error the search left, not the unlock's.
    SetLastError(error);
    return result.code;
}

HMODULE loadDelayLoadedModule(const char* dllName) {
    const std::wstring name = dllName == nullptr ? std::wstring() : ansiToWide(dllName);
    if (name.empty()) {
        // An empty value name would read the keys' default values: never a library path.
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    const std::wstring namespaceName = resolverState().currentNamespace();
    HMODULE module = searchCandidates(name, namespaceName);
    if (module != nullptr) {
        callDependencyHook(module, namespaceName);
    }
    return module;
}

std::wstring readRegistryPath(HKEY root, const std::wstring& subkey, const std::wstring& valueName,
                              REGSAM viewFlags) {
    std::wstring result;
    kv::UniqueHkey key;
    if (RegOpenKeyExW(root, subkey.c_str(), 0, KEY_QUERY_VALUE | viewFlags, key.put()) != ERROR_SUCCESS) {
        SetLastError(ERROR_BADKEY);
        return result;
    }
    const auto isString = [](DWORD type) {
        return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
    };
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key.get(), valueName.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        !isString(type)) {
        SetLastError(ERROR_INVALID_NAME);
        return result;
    }
    result.resize((static_cast<size_t>(size) + 1) / 2);
    size = static_cast<DWORD>(result.size() * sizeof(wchar_t));
    if (RegQueryValueExW(key.get(), valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(result.data()),
                         &size) != ERROR_SUCCESS ||
        !isString(type)) {
        SetLastError(ERROR_INVALID_DATA);
        result.clear();
        return result;
    }
    result.resize(size / sizeof(wchar_t));
    if (!result.empty() && result.back() == L'\0') {
        result.pop_back();
    }
    return result;
}
