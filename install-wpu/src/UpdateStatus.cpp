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

void logRecordNotWritten(const char* function, const wchar_t* record, const std::wstring& key,
                         unsigned long error) {
    KvZarnLogging::log(KvZarnLogging::Error, function, L"Record '%ls' not written under %ls, error = %lu",
                       record, key.c_str(), error);
}

bool set_reboot_requested(const std::wstring& reason) {
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
        logRecordNotWritten(function, L"RebootRequested", path, static_cast<unsigned long>(result));
        return false;
    }
    if (!reason.empty()) {
        result =
            RegSetValueExW(key.get(), L"reason", 0, REG_SZ, reinterpret_cast<const BYTE*>(reason.c_str()),
                           static_cast<DWORD>((reason.size() + 1) * sizeof(wchar_t)));
        if (result != ERROR_SUCCESS) {
            logRecordNotWritten(function, L"reason", path, static_cast<unsigned long>(result));
        }
    }
    KvZarnLogging::log(KvZarnLogging::Info, function, L"Set reboot requested: '%ls' under %ls",
                       reason.c_str(), path.c_str());
    return result == ERROR_SUCCESS;
}

} // namespace kv::wpu

namespace wp {

namespace {

// The installed versions of a module (the sub-keys of its updates key), in the
// registry's order; without a module a Warning and none. A missing module key has
// none; a key that exists yet cannot be listed clears `written` after its Error line.
std::vector<std::wstring> installedVersions(const char* function, const std::wstring& module,
                                            const std::wstring& version, Win32Registry& registry,
                                            bool& written) {
    std::vector<std::wstring> versions;
    if (module.empty()) {
        KvZarnLogging::log(KvZarnLogging::Warning, function, L"Module is not specified: '%ls' '%ls'",
                           module.c_str(), version.c_str());
        return versions;
    }
    registry.setSamFlags(KEY_WOW64_64KEY);
    RegistryStatus status = RegistryStatus::Ok;
    registry.enumSubKeys(moduleUpdatesKey(module), versions, &status);
    if (status != RegistryStatus::Ok && status != RegistryStatus::NotFound) {
        kv::wpu::logRecordNotWritten(function, StatusValue, moduleUpdatesKey(module), registry.lastError());
        written = false;
    }
    return versions;
}

// Writes one status value; false after its Error line.
bool writeStatus(const char* function, Win32Registry& registry, const std::wstring& versionKey,
                 const std::wstring& status) {
    if (registry.setString(versionKey, StatusValue, status)) {
        return true;
    }
    kv::wpu::logRecordNotWritten(function, StatusValue, versionKey, registry.lastError());
    return false;
}

} // namespace

bool markActiveVersion(const std::wstring& module, const std::wstring& version, bool keepPrevious) {
    const char* const function = "wp::markActiveVersion";
    LightWin32Registry registry;
    const std::wstring moduleKey = moduleUpdatesKey(module);
    bool written = true;
    for (const std::wstring& name : installedVersions(function, module, version, registry, written)) {
        const std::wstring versionKey = moduleKey + L"\\" + name;
        if (name == version) {
            KvZarnLogging::log(KvZarnLogging::Info, function, L"Activating update %ls", name.c_str());
            written = writeStatus(function, registry, versionKey, L"active") && written;
            continue;
        }
        std::wstring current;
        registry.getString(versionKey, StatusValue, current);
        const std::wstring next = keepPrevious && current == L"active" ? L"previous" : L"inactive";
        KvZarnLogging::log(KvZarnLogging::Info, function,
                           L"Deactivating update %ls, current old status=%ls new status=%ls", name.c_str(),
                           current.c_str(), next.c_str());
        written = writeStatus(function, registry, versionKey, next) && written;
    }
    return written;
}

bool markToTryAgain(const std::wstring& module, const std::wstring& version) {
    const char* const function = "wp::markToTryAgain";
    LightWin32Registry registry;
    const std::wstring moduleKey = moduleUpdatesKey(module);
    bool written = true;
    for (const std::wstring& name : installedVersions(function, module, version, registry, written)) {
        if (name == version) {
            KvZarnLogging::log(KvZarnLogging::Info, function, L"Set to try again under %ls", name.c_str());
            written =
                writeStatus(function, registry, moduleKey + L"\\" + name, L"failed-will-retry") && written;
        }
    }
    return written;
}

} // namespace wp
