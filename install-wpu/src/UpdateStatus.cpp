#include <windows.h>

#include "install-wpu/UpdateStatus.h"

#include "install-wpu/RegistryLayout.h"
#include "kvtl/Handle.h"
#include "logging/Log.h"
#include "winenv/Registry.h"

#include <exception>
#include <vector>

namespace {

constexpr wchar_t StatusValue[] = L"status";

std::wstring getEnvironmentVariable(const wchar_t* name) {
    try {
        const DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
        if (size == 0) {
            return std::wstring();
        }
        std::vector<wchar_t> buffer(size, L'\0');
        const DWORD length = GetEnvironmentVariableW(name, buffer.data(), size);
        // A value that grew between the two calls does not fit: that read failed.
        if (length == 0 || length >= size) {
            return std::wstring();
        }
        return std::wstring(buffer.data());
    } catch (const std::exception& e) {
        KvZarnLogging::log(KvZarnLogging::Error, "`anonymous-namespace'::getEnvironmentVariable",
                           L"Exception: %hs", e.what());
        return std::wstring();
    }
}

std::wstring moduleUpdatesKey(const std::wstring& module) {
    return wp::GetRegistryPath(wp::RegistryKey::Updates, module);
}

} // namespace

namespace kv::wpu {

std::wstring getModule() {
    return getEnvironmentVariable(L"wp_module");
}

std::wstring getVersion() {
    return getEnvironmentVariable(L"wp_version");
}

std::wstring getTitle() {
    std::wstring title = getEnvironmentVariable(L"wp_title");
    if (title.empty()) {
        title = getModule() + L" " + getVersion();
    }
    return title;
}

void set_reboot_requested(const std::wstring& reason) {
    const char* const function = "kv::wpu::set_reboot_requested";
    const std::wstring root = wp::GetRegistryPath(wp::RegistryKey::Root);
    const std::wstring path = wp::GetRegistryPath(wp::RegistryKey::RebootRequested);
    // The system would create a missing product root volatile along with the key,
    // and a volatile parent refuses every ordinary key later written below it.
    kv::UniqueHkey parent;
    LSTATUS result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, root.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_WOW64_64KEY | KEY_CREATE_SUB_KEY, nullptr, parent.put(), nullptr);
    kv::UniqueHkey key;
    if (result == ERROR_SUCCESS) {
        result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                                 KEY_WOW64_64KEY | KEY_CREATE_SUB_KEY | KEY_SET_VALUE, nullptr, key.put(),
                                 nullptr);
    }
    if (result != ERROR_SUCCESS) {
        KvZarnLogging::log(KvZarnLogging::Warning, function,
                           L"Failed to create 'RebootRequested' key %ls for WPU, error = %u", path.c_str(),
                           static_cast<unsigned>(result));
        return;
    }
    if (!reason.empty()) {
        RegSetValueExW(key.get(), L"reason", 0, REG_SZ, reinterpret_cast<const BYTE*>(reason.c_str()),
                       static_cast<DWORD>((reason.size() + 1) * sizeof(wchar_t)));
    }
    KvZarnLogging::log(KvZarnLogging::Info, function, L"Set reboot requested: '%ls' under %ls",
                       reason.c_str(), path.c_str());
}

} // namespace kv::wpu

namespace wp {

namespace {

// The installed versions of a module (the sub-keys of its updates key), in the
// registry's order; without a module a Warning and none.
std::vector<std::wstring> installedVersions(const char* function, const std::wstring& module,
                                            const std::wstring& version, Win32Registry& registry) {
    std::vector<std::wstring> versions;
    if (module.empty()) {
        KvZarnLogging::log(KvZarnLogging::Warning, function, L"Module is not specified: '%ls' '%ls'",
                           module.c_str(), version.c_str());
        return versions;
    }
    registry.setSamFlags(KEY_WOW64_64KEY);
    registry.enumSubKeys(moduleUpdatesKey(module), versions);
    return versions;
}

} // namespace

void markActiveVersion(const std::wstring& module, const std::wstring& version, bool keepPrevious) {
    const char* const function = "wp::markActiveVersion";
    LightWin32Registry registry;
    const std::wstring moduleKey = moduleUpdatesKey(module);
    for (const std::wstring& name : installedVersions(function, module, version, registry)) {
        const std::wstring versionKey = moduleKey + L"\\" + name;
        if (name == version) {
            KvZarnLogging::log(KvZarnLogging::Info, function, L"Activating update %ls", name.c_str());
            registry.setString(versionKey, StatusValue, std::wstring(L"active"));
            continue;
        }
        std::wstring current;
        registry.getString(versionKey, StatusValue, current);
        const std::wstring next = keepPrevious && current == L"active" ? L"previous" : L"inactive";
        KvZarnLogging::log(KvZarnLogging::Info, function,
                           L"Deactivating update %ls, current old status=%ls new status=%ls", name.c_str(),
                           current.c_str(), next.c_str());
        registry.setString(versionKey, StatusValue, next);
    }
}

void markToTryAgain(const std::wstring& module, const std::wstring& version) {
    const char* const function = "wp::markToTryAgain";
    LightWin32Registry registry;
    const std::wstring moduleKey = moduleUpdatesKey(module);
    for (const std::wstring& name : installedVersions(function, module, version, registry)) {
        if (name == version) {
            KvZarnLogging::log(KvZarnLogging::Info, function, L"Set to try again under %ls", name.c_str());
            registry.setString(moduleKey + L"\\" + name, StatusValue, std::wstring(L"failed-will-retry"));
        }
    }
}

} // namespace wp
